#include "store/timing.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "store/store_fixtures.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::errorOf;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

class TimingTest : public ::testing::Test {
 protected:
  Result<TimingMap> read(const std::string& content) {
    writeBytes(file_, content);
    return readTiming(folder_);
  }
  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
  fs::path file_ = folder_ / "timing.json";
};

// An absent file means no timing at all.
TEST_F(TimingTest, ReadsWhatItWritesAndEveryJsonNumberUpToTheSizeLimit) {
  EXPECT_EQ(readTiming(folder_).value(), TimingMap{});
  const TimingMap timing = {{"system", 12345.678901234567}, {"microphone", 0.1}};
  ASSERT_TRUE(writeTiming(timing, folder_).ok());
  EXPECT_EQ(readTiming(folder_).value(), timing);

  EXPECT_EQ(read(R"( { "system" : 10 , "microphone": -2.5e1, "other": 1e-999 } )").value(),
            (TimingMap{{"system", 10.0}, {"microphone", -25.0}, {"other", 0.0}}));
  std::string padded = R"({"system":10.5})";
  padded.resize(4096, ' ');
  EXPECT_EQ(read(padded).value(), (TimingMap{{"system", 10.5}}));
}

// A number beyond a double is never read as infinite.
TEST_F(TimingTest, RefusesDamagedContentAndAnythingButARegularFile) {
  std::string oversized = R"({"system":10.5})";
  oversized.resize(4097, ' ');
  for (const std::string& content : std::vector<std::string>{
           "broken json", "", "[]", "10.5", R"({"system":"10.5"})", R"({"system":true})",
           R"({"system":null})", R"({"system":[10.5]})", R"({"system":10.5,"microphone":false})",
           R"({"system":1e999})", R"({"system":-1e999})", R"({"system":NaN})",
           R"({"system":10.5}x)", "{\"syst\xff\":10.5}", oversized,
           // The parser alone would take a NUL for the end of the text.
           std::string("{\"system\":10.5}\0junk", 20), std::string("{\"sys\0tem\":10.5}", 16),
           std::string(1, '\0')}) {
    EXPECT_EQ(errorOf(read(content)),
              failure("The recording timing data is damaged. The source audio has been kept."))
        << content.substr(0, 40);
  }
  // A dangling link is not an absent file: it must not mean "start together".
  for (const std::string& kind : testing::irregularKinds) {
    fs::remove_all(file_);
    writeBytes(file_, R"({"system":10.5})");
    testing::makeIrregular(file_, kind);
    EXPECT_EQ(errorOf(readTiming(folder_)), failure(std::string(invalidFileMessage))) << kind;
  }
}

TEST(EarliestStart, IsTheSmallestFiniteValueOrZero) {
  EXPECT_EQ(earliestStart({}).value(), 0.0);
  EXPECT_EQ(earliestStart({{"system", 10.5}, {"microphone", -3.0}}).value(), -3.0);

  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (const TimingMap& timing : {TimingMap{{"system", nan}}, TimingMap{{"microphone", inf}},
                                  TimingMap{{"microphone", 1.0}, {"system", -inf}}}) {
    EXPECT_EQ(errorOf(earliestStart(timing)), failure("The recording timing data is invalid."));
  }
}

}  // namespace
}  // namespace halden
