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

// An absent file means no timing at all. What the writer gives back is read
// back unchanged: fuzz_timing's invariant. One refusal per check; a number
// beyond a double is never read as infinite.
TEST(ReadTiming, ReadsEveryJsonNumberUpToTheSizeLimitAndRefusesAnythingElse) {
  testing::TempFolder temp;
  const fs::path folder = temp.folder("meeting"), file = folder / "timing.json";
  const auto timingOf = [&](const std::string& content) {
    writeBytes(file, content);
    return readTiming(folder);
  };
  EXPECT_EQ(readTiming(folder).value(), TimingMap{});
  EXPECT_EQ(timingOf(R"( { "system" : 10 , "microphone": -2.5e1, "other": 1e-999 } )").value(),
            (TimingMap{{"system", 10.0}, {"microphone", -25.0}, {"other", 0.0}}));
  std::string padded = R"({"system":10.5})";
  padded.resize(4096, ' ');
  EXPECT_EQ(timingOf(padded).value(), (TimingMap{{"system", 10.5}}));

  for (const std::string& content :
       std::vector<std::string>{"", "[]", R"({"system":true})", R"({"system":1e999})", padded + " ",
                                // The parser alone would take a NUL for the end of the text.
                                std::string("{\"system\":10.5}\0junk", 20)}) {
    EXPECT_EQ(errorOf(timingOf(content)),
              failure("The recording timing data is damaged. The source audio has been kept."))
        << content.substr(0, 40);
  }
  // A dangling link is not an absent file: it must not mean "start together".
  fs::remove(file);
  fs::create_symlink("missing", file);
  EXPECT_EQ(errorOf(readTiming(folder)), failure(std::string(invalidFileMessage)));
}

}  // namespace
}  // namespace halden
