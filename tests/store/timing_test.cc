#include "store/timing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/store_fixtures.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::errorOf;
using testing::writeBytes;

class TimingTest : public ::testing::Test {
 protected:
  Result<TimingMap> read(const std::string& content) {
    writeBytes(file_, content);
    return readTiming(folder_);
  }
  testing::TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
  fs::path file_ = folder_ / "timing.json";
};

// An absent file means no timing at all. What the writer gives back is read
// back unchanged: fuzz_timing's invariant.
TEST_F(TimingTest, ReadsEveryJsonNumberUpToTheSizeLimit) {
  EXPECT_EQ(readTiming(folder_).value(), TimingMap{});
  EXPECT_EQ(read(R"( { "system" : 10 , "microphone": -2.5e1, "other": 1e-999 } )").value(),
            (TimingMap{{"system", 10.0}, {"microphone", -25.0}, {"other", 0.0}}));
  std::string padded = R"({"system":10.5})";
  padded.resize(4096, ' ');
  EXPECT_EQ(read(padded).value(), (TimingMap{{"system", 10.5}}));
}

// One row per check. A number beyond a double is never read as infinite.
TEST_F(TimingTest, RefusesDamagedContentAndAnythingButARegularFile) {
  std::string oversized = R"({"system":10.5})";
  oversized.resize(4097, ' ');
  for (const std::string& content :
       std::vector<std::string>{"", "[]", R"({"system":true})", R"({"system":1e999})", oversized,
                                // The parser alone would take a NUL for the end of the text.
                                std::string("{\"system\":10.5}\0junk", 20)}) {
    EXPECT_EQ(errorOf(read(content)),
              failure("The recording timing data is damaged. The source audio has been kept."))
        << content.substr(0, 40);
  }
  // A dangling link is not an absent file: it must not mean "start together".
  fs::remove(file_);
  fs::create_symlink("missing", file_);
  EXPECT_EQ(errorOf(readTiming(folder_)), failure(std::string(invalidFileMessage)));
}

}  // namespace
}  // namespace halden
