#include "store/prepare_chunks.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <random>

#include "store/format.h"
#include "store/store_fixtures.h"
#include "testing/reference_mix.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::errorOf;
using testing::readBytes;
using testing::TempFolder;
using testing::writeBytes;
using testing::writeTrack;

const std::string noAudio =
    "No audio was captured. Check microphone and screen recording permissions.";

class PrepareChunksTest : public ::testing::Test {
 protected:
  fs::path system() const { return folder_ / "system.caf"; }
  fs::path microphone() const { return folder_ / "microphone.caf"; }
  void writeTiming(const std::string& json) { writeBytes(folder_ / "timing.json", json); }

  // The failure of prepareChunks, after checking that it wrote nothing.
  std::string refusal() {
    const Error error = errorOf(prepareChunks(folder_));
    EXPECT_FALSE(fs::exists(folder_ / "chunk-000.wav"));
    EXPECT_FALSE(fs::exists(folder_ / "chunks.json"));
    return error.description();
  }
  fs::path chunkPath(std::size_t index) const { return folder_ / chunkFileName(index); }

  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

// Noise of `level`; with `pcm16`, of values n / 32768, which a 16-bit track
// stores exactly.
std::vector<float> noise(std::size_t frames, uint32_t seed, float level, bool pcm16) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> sample(-level, level);
  std::vector<float> samples(frames);
  for (float& x : samples) x = pcm16 ? std::trunc(sample(random) * 32767) / 32768 : sample(random);
  return samples;
}

// The chunks are the reference mix cut every minute: no frame lost at a
// boundary; tracks placed by timing, at an offset that is not a whole frame,
// from the start an absent track's member sets, or at the earliest time
// (which may be negative) for a track without a member; 16-bit and float
// tracks; saturation, infinity and NaN.
TEST_F(PrepareChunksTest, ChunksAreTheReferenceMixCutIntoMinutes) {
  std::vector<float> loud = noise(1'900'000, 2, 1.3f, false);
  loud[12] = std::numeric_limits<float>::quiet_NaN();
  loud[950'000] = std::numeric_limits<float>::infinity();
  const std::vector<float> none, quiet = noise(1000, 3, 0.5f, false);
  const struct {
    std::string name;
    std::vector<float> system, microphone;  // 16-bit and float tracks; empty: absent
    const char* timing;                     // nullptr: no timing.json
    int64_t microphoneOffset;               // the system track's is 0 in every case
  } cases[] = {
      {"a minute", noise(960'000, 1, 0.5f, true), {}, nullptr, 0},
      {"a minute and a frame", noise(960'001, 1, 0.5f, true), {}, nullptr, 0},
      {"both tracks", noise(1'500'000, 1, 1.0f, true), loud,
       R"({"system":7.25,"microphone":8.0154321})", 12246},  // trunc(0.7654321 x 16000)
      {"after an absent track", none, quiet, R"({"system":5.0,"microphone":15.0})", 160'000},
      {"far before an absent track", none, quiet, R"({"system":20000.0,"microphone":0.0})", 0},
      {"without a member", none, quiet, R"({"system":-2.0})", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder_ = temp_.folder(c.name);
    if (!c.system.empty()) writeTrack(system(), c.system);
    if (!c.microphone.empty()) writeTrack(microphone(), c.microphone, TrackEncoding::float32);
    if (c.timing) writeTiming(c.timing);
    const auto expected = testing::referenceChunks(
        testing::referenceMix({{c.system, 0}, {c.microphone, c.microphoneOffset}}));
    const Result<ChunkList> chunks = prepareChunks(folder_);
    ASSERT_TRUE(chunks.ok()) << chunks.error().description();
    ASSERT_EQ(chunks->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ((*chunks)[i], chunkPath(i));
      EXPECT_TRUE(readBytes(chunkPath(i)) == expected[i]) << "chunk " << i;
    }
  }
}

// A prepared folder is returned as it is (so its manifest matches its chunks),
// and a manifest that stops matching is never replaced by preparing again.
// The folder is reached through a link, which is fine.
TEST_F(PrepareChunksTest, PreparedChunksAreReusedUntouched) {
  writeTrack(system(), std::vector<float>(970'000, 0.3f));
  const fs::path linked = temp_ / "linked";
  fs::create_directory_symlink(folder_, linked);
  auto first = prepareChunks(linked);
  ASSERT_TRUE(first.ok()) << first.error().description();
  EXPECT_EQ(*first, (ChunkList{linked / "chunk-000.wav", linked / "chunk-001.wav"}));
  const Bytes manifestBefore = readBytes(folder_ / "chunks.json");
  const auto identity = [&] {  // of a chunk file: rewritten or replaced, it changes
    struct stat info {};
    ::stat(chunkPath(1).c_str(), &info);
    return std::pair(info.st_ino, info.st_mtim.tv_nsec);
  };
  const auto before = identity();

  EXPECT_EQ(prepareChunks(linked).value(), *first);
  EXPECT_EQ(identity(), before);
  EXPECT_EQ(readBytes(folder_ / "chunks.json"), manifestBefore);

  fs::remove(chunkPath(0));
  EXPECT_EQ(errorOf(prepareChunks(folder_)), Error::fromErrno(ENOENT));
  EXPECT_FALSE(fs::exists(chunkPath(0)));
}

// Damaged timing is never taken as missing, nor a dangling link as an absent
// track.
TEST_F(PrepareChunksTest, RefusesFoldersWithoutFramesOrWithDamagedTimingOrTracks) {
  EXPECT_EQ(refusal(), noAudio);
  writeTrack(system(), {});
  writeTrack(microphone(), {});
  EXPECT_EQ(refusal(), noAudio);
  writeTrack(microphone(), std::vector<float>(1000, 0.5f));
  writeTiming("broken json");
  EXPECT_EQ(refusal(), "The recording timing data is damaged. The source audio has been kept.");
  // Timing of an absent track sets the earliest time, and a present track may
  // start at most 14,400 s after it.
  writeTiming(R"({"system":0.0,"microphone":14400.001})");
  EXPECT_EQ(refusal(), "The recording timing data exceeds the meeting limit.");
  // Exactly 14,400 s passes; its first frame then lies beyond the four hours.
  writeTiming(R"({"system":0.0,"microphone":14400.0})");
  EXPECT_EQ(refusal(),
            "This recording exceeds the four-hour limit. The original audio remains saved on "
            "your Mac.");
  fs::remove(folder_ / "timing.json");

  fs::remove(system());
  fs::create_symlink("missing", system());
  EXPECT_EQ(refusal(), invalidFileMessage);
  fs::remove(system());
  for (auto [rate, channels] : {std::pair{8000, 1}, std::pair{16000, 2}}) {
    SF_INFO info{0, rate, channels, SF_FORMAT_CAF | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(microphone().c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<short> frames(static_cast<std::size_t>(100 * channels), 1000);
    sf_writef_short(file, frames.data(), 100);
    sf_close(file);
    EXPECT_EQ(refusal(), "The saved recording format is invalid.") << rate << " Hz, " << channels;
  }
  fs::remove(microphone());
  writeBytes(system(), "not a CAF file");
  EXPECT_FALSE(errorOf(prepareChunks(folder_)).isFailure());
}

}  // namespace
}  // namespace halden
