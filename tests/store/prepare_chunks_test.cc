#include "store/prepare_chunks.h"

#include <gtest/gtest.h>

#include "store/format.h"
#include "store/store_fixtures.h"
#include "store/timing.h"
#include "store/wave.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::readBytes;
using testing::sampleAt;
using testing::TempFolder;
using testing::writeBytes;
using testing::writeTrack;

class PrepareChunksTest : public ::testing::Test {
 protected:
  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

TEST_F(PrepareChunksTest, MicrophoneHalfSecondLateKeepsBothClockPositions) {
  writeTrack(folder_ / "system.caf", 16000, 0.2f, TrackEncoding::float32);
  writeTrack(folder_ / "microphone.caf", 16000, 0.2f, TrackEncoding::float32);
  writeBytes(folder_ / "timing.json", R"({"system":10.0,"microphone":10.5})");

  auto chunks = prepareChunks(folder_);
  ASSERT_TRUE(chunks.ok()) << chunks.error().description();
  ASSERT_EQ(chunks->size(), 1u);
  EXPECT_EQ((*chunks)[0], folder_ / "chunk-000.wav");
  auto bytes = validateChunk((*chunks)[0], folder_);
  ASSERT_TRUE(bytes.ok());
  ASSERT_EQ(bytes->size(), 48044u);
  EXPECT_EQ(sampleAt(*bytes, 1000), 4587);   // 0.14 x 32767 = 4587.38
  EXPECT_EQ(sampleAt(*bytes, 10000), 9174);  // 0.28 x 32767 = 9174.76
  EXPECT_EQ(sampleAt(*bytes, 20000), 4587);
}

}  // namespace
}  // namespace halden
