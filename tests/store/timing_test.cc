#include "store/timing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;

const std::string damagedMessage =
    "The recording timing data is damaged. The source audio has been kept.";

class TimingTest : public ::testing::Test {
 protected:
  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

TEST_F(TimingTest, WrittenMapReadsBackExactly) {
  const TimingMap timing = {{"system", 12345.678901234567}, {"microphone", 0.1}};
  ASSERT_TRUE(writeTiming(timing, folder_).ok());
  auto read = readTiming(folder_);
  ASSERT_TRUE(read.ok()) << read.error().description();
  EXPECT_EQ(*read, timing);
  const Bytes bytes = readBytes(folder_ / "timing.json");
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.find_first_of(" \n"), std::string::npos) << text;  // compact
}

TEST_F(TimingTest, AbsentFileIsAnEmptyMap) {
  auto read = readTiming(folder_);
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read->empty());
}

TEST_F(TimingTest, AcceptsNumbersOfEveryJsonForm) {
  writeBytes(folder_ / "timing.json",
             R"( { "system" : 10 , "microphone": -2.5e1, "other": 1e-999 } )");
  auto read = readTiming(folder_);
  ASSERT_TRUE(read.ok()) << read.error().description();
  EXPECT_EQ(*read, (TimingMap{{"system", 10.0}, {"microphone", -25.0}, {"other", 0.0}}));
}

TEST_F(TimingTest, FileOfExactlyTheLimitIsRead) {
  std::string text = R"({"system":10.5})";
  text.resize(4096, ' ');
  writeBytes(folder_ / "timing.json", text);
  auto read = readTiming(folder_);
  ASSERT_TRUE(read.ok()) << read.error().description();
  EXPECT_EQ(read->at("system"), 10.5);
}

TEST_F(TimingTest, RefusesDamagedContent) {
  std::string oversized = R"({"system":10.5})";
  oversized.resize(4097, ' ');
  for (const std::string& content : {
           std::string("broken json"),
           std::string(""),
           std::string("[]"),
           std::string("10.5"),
           std::string("null"),
           std::string(R"({"system":"10.5"})"),
           std::string(R"({"system":true})"),
           std::string(R"({"system":null})"),
           std::string(R"({"system":[10.5]})"),
           std::string(R"({"system":{"seconds":10.5}})"),
           std::string(R"({"system":10.5,"microphone":false})"),
           std::string(R"({"system":1e999})"),  // beyond a double: never read as infinite
           std::string(R"({"system":-1e999})"),
           std::string(R"({"system":NaN})"),
           std::string(R"({"system":10.5})") + "x",
           std::string("{\"syst\xff\":10.5}"),
           oversized,
       }) {
    writeBytes(folder_ / "timing.json", content);
    auto read = readTiming(folder_);
    ASSERT_FALSE(read.ok()) << content;
    EXPECT_EQ(read.error().description(), damagedMessage) << content;
  }
}

TEST_F(TimingTest, RefusesLinksEvenToAFileOfTheSameFolder) {
  writeBytes(folder_ / "other.json", R"({"system":10.5})");
  fs::create_symlink("other.json", folder_ / "timing.json");
  auto linked = readTiming(folder_);
  ASSERT_FALSE(linked.ok());
  EXPECT_EQ(linked.error().description(), std::string(invalidFileMessage));

  // A dangling link is not an absent file: it must not mean "start together".
  fs::remove(folder_ / "timing.json");
  fs::create_symlink("missing.json", folder_ / "timing.json");
  auto dangling = readTiming(folder_);
  ASSERT_FALSE(dangling.ok());
  EXPECT_EQ(dangling.error().description(), std::string(invalidFileMessage));

  fs::remove(folder_ / "timing.json");
  fs::create_directory(folder_ / "timing.json");
  auto directory = readTiming(folder_);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().description(), std::string(invalidFileMessage));
}

TEST(EarliestStart, IsTheSmallestValueOrZero) {
  EXPECT_EQ(earliestStart({}).value(), 0.0);
  EXPECT_EQ(earliestStart({{"system", 10.5}}).value(), 10.5);
  EXPECT_EQ(earliestStart({{"system", 10.5}, {"microphone", -3.0}}).value(), -3.0);
}

TEST(EarliestStart, RefusesNonFiniteValues) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (const TimingMap& timing : {TimingMap{{"system", nan}}, TimingMap{{"microphone", inf}},
                                  TimingMap{{"microphone", 1.0}, {"system", -inf}}}) {
    auto earliest = earliestStart(timing);
    ASSERT_FALSE(earliest.ok());
    EXPECT_EQ(earliest.error().description(), "The recording timing data is invalid.");
  }
}

}  // namespace
}  // namespace halden
