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

const std::string invalidFile(invalidFileMessage);
const std::string noAudio =
    "No audio was captured. Check microphone and screen recording permissions.";
const std::string fourHours =
    "This recording exceeds the four-hour limit. The original audio remains saved on your Mac.";
const std::string timingLimit = "The recording timing data exceeds the meeting limit.";
const std::string badFormat = "The saved recording format is invalid.";
const std::string damagedTiming =
    "The recording timing data is damaged. The source audio has been kept.";

class PrepareChunksTest : public ::testing::Test {
 protected:
  fs::path system() const { return folder_ / "system.caf"; }
  fs::path microphone() const { return folder_ / "microphone.caf"; }
  void writeTiming(const std::string& json) { writeBytes(folder_ / "timing.json", json); }

  ChunkList prepared() {
    auto chunks = prepareChunks(folder_);
    EXPECT_TRUE(chunks.ok()) << chunks.error().description();
    return chunks.ok() ? *chunks : ChunkList{};
  }
  // The failure of prepareChunks, after checking that it wrote nothing.
  std::string refusal() {
    auto chunks = prepareChunks(folder_);
    EXPECT_FALSE(chunks.ok());
    EXPECT_FALSE(fs::exists(folder_ / "chunk-000.wav"));
    EXPECT_FALSE(fs::exists(folder_ / "chunks.json"));
    return chunks.ok() ? "" : chunks.error().description();
  }
  Bytes chunk(std::size_t index) { return readBytes(folder_ / chunkFileName(index)); }

  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

TEST_F(PrepareChunksTest, MicrophoneHalfSecondLateKeepsBothClockPositions) {
  writeTrack(system(), 16000, 0.2f, TrackEncoding::float32);
  writeTrack(microphone(), 16000, 0.2f, TrackEncoding::float32);
  writeTiming(R"({"system":10.0,"microphone":10.5})");

  const ChunkList chunks = prepared();
  ASSERT_EQ(chunks, ChunkList{folder_ / "chunk-000.wav"});
  auto bytes = validateChunk(chunks[0], folder_);
  ASSERT_TRUE(bytes.ok());
  ASSERT_EQ(bytes->size(), 48044u);
  EXPECT_EQ(sampleAt(*bytes, 1000), 4587);  // 0.14 x 32767 = 4587.38
  EXPECT_EQ(sampleAt(*bytes, 7999), 4587);
  EXPECT_EQ(sampleAt(*bytes, 8000), 9174);  // 0.28 x 32767 = 9174.76
  EXPECT_EQ(sampleAt(*bytes, 15999), 9174);
  EXPECT_EQ(sampleAt(*bytes, 16000), 4587);  // the system track has ended
  EXPECT_EQ(sampleAt(*bytes, 23999), 4587);
}

TEST_F(PrepareChunksTest, RecordedSixteenBitTracksMixAlike) {
  writeTrack(system(), 16000, 0.2f);
  writeTrack(microphone(), 16000, 0.2f);
  writeTiming(R"({"system":10.0,"microphone":10.5})");
  const ChunkList chunks = prepared();
  ASSERT_EQ(chunks.size(), 1u);
  const Bytes bytes = chunk(0);
  ASSERT_EQ(bytes.size(), 48044u);
  EXPECT_NEAR(sampleAt(bytes, 1000), 4587, 2);
  EXPECT_NEAR(sampleAt(bytes, 10000), 2 * sampleAt(bytes, 1000), 2);
}

TEST_F(PrepareChunksTest, LaterTrackStartsAtItsOffsetToTheFrame) {
  writeTrack(system(), 40000, 0.25f, TrackEncoding::float32);
  writeTrack(microphone(), 16000, 0.5f, TrackEncoding::float32);
  writeTiming(R"({"microphone":101.5,"system":100.0})");
  ASSERT_EQ(prepared().size(), 1u);
  const Bytes bytes = chunk(0);
  ASSERT_EQ(bytes.size(), 44u + 2 * 40000);
  EXPECT_EQ(sampleAt(bytes, 0), 5734);       // 0.175 x 32767 = 5734.2
  EXPECT_EQ(sampleAt(bytes, 23999), 5734);   // only the earlier track
  EXPECT_EQ(sampleAt(bytes, 24000), 17202);  // 0.525 x 32767 = 17202.7
  EXPECT_EQ(sampleAt(bytes, 39999), 17202);
}

TEST_F(PrepareChunksTest, FullScaleTracksSaturateWithoutWrapping) {
  writeTrack(system(), 1000, 1.0f, TrackEncoding::float32);
  writeTrack(microphone(), 2000, -1.0f, TrackEncoding::float32);
  writeTiming(R"({"system":0,"microphone":0})");
  ASSERT_TRUE(prepareChunks(folder_).ok());
  EXPECT_EQ(sampleAt(chunk(0), 100), 0);  // 0.7 - 0.7

  fs::remove_all(folder_);
  fs::create_directory(folder_);
  writeTrack(system(), 1000, 1.0f, TrackEncoding::float32);
  writeTrack(microphone(), 1000, 1.0f, TrackEncoding::float32);
  ASSERT_TRUE(prepareChunks(folder_).ok());
  EXPECT_EQ(sampleAt(chunk(0), 100), 32767);

  fs::remove_all(folder_);
  fs::create_directory(folder_);
  writeTrack(system(), 1000, -1.0f);
  writeTrack(microphone(), 1000, -1.0f);
  ASSERT_TRUE(prepareChunks(folder_).ok());
  EXPECT_EQ(sampleAt(chunk(0), 100), -32767);
}

TEST_F(PrepareChunksTest, ChunkBoundariesLoseNoFrame) {
  struct Case {
    int64_t frames;
    std::vector<std::size_t> sizes;
  };
  for (const Case& c : {Case{960'000, {1'920'044}}, Case{960'001, {1'920'044, 46}},
                        Case{976'000, {1'920'044, 32'044}}, Case{1, {46}}}) {
    fs::remove_all(folder_);
    fs::create_directory(folder_);
    writeTrack(microphone(), c.frames, 0.2f);  // and no timing.json
    const ChunkList chunks = prepared();
    ASSERT_EQ(chunks.size(), c.sizes.size()) << c.frames;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i], folder_ / chunkFileName(i));
      EXPECT_EQ(fs::file_size(chunks[i]), c.sizes[i]) << c.frames;
    }
    EXPECT_NE(sampleAt(chunk(chunks.size() - 1), (c.sizes.back() - 44) / 2 - 1), 0);
  }
}

// The whole meeting, mixed the plain way from float reads: each frame is
// track sample x 0.7 plus what the frame holds, in float, tracks in order.
Bytes plainMix(const fs::path& folder, const std::vector<std::pair<std::string, int64_t>>& tracks,
               int64_t total) {
  std::vector<float> mix(static_cast<std::size_t>(total), 0.0f);
  for (const auto& [name, offset] : tracks) {
    auto reader = TrackReader::open(folder / (name + ".caf"));
    EXPECT_TRUE(reader.ok());
    if (!reader.ok()) return {};
    std::vector<float> samples(static_cast<std::size_t>((*reader)->length()));
    EXPECT_EQ((*reader)->read(0, samples).value(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const float product = samples[i] * 0.7f;
      mix[static_cast<std::size_t>(offset) + i] =
          product + mix[static_cast<std::size_t>(offset) + i];
    }
  }
  Bytes pcm;
  for (float x : mix) {
    int sample = 32767;
    if (!(x >= 1.0f || std::isnan(x))) sample = static_cast<int>(std::max(x, -1.0f) * 32767.0f);
    pcm.push_back(static_cast<unsigned char>(sample & 0xff));
    pcm.push_back(static_cast<unsigned char>((sample >> 8) & 0xff));
  }
  return pcm;
}

std::vector<float> noise(std::size_t frames, uint32_t seed, float level) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> sample(-level, level);
  std::vector<float> samples(frames);
  for (float& x : samples) x = sample(random);
  return samples;
}

// 16-bit and float tracks, an offset that is not a whole frame, saturation
// and NaN: the chunks' bytes are those of the plain mix, cut every minute.
TEST_F(PrepareChunksTest, ChunksAreThePlainMixCutIntoMinutes) {
  std::vector<float> microphoneSamples = noise(1'900'000, 2, 1.3f);
  microphoneSamples[12] = std::numeric_limits<float>::quiet_NaN();
  microphoneSamples[950'000] = std::numeric_limits<float>::infinity();
  writeTrack(system(), noise(1'500'000, 1, 1.0f));
  writeTrack(microphone(), microphoneSamples, TrackEncoding::float32);
  writeTiming(R"({"system":7.25,"microphone":8.0154321})");
  const int64_t offset = 12246;  // trunc(0.7654321 x 16000)
  const int64_t total = 1'900'000 + offset;

  const ChunkList chunks = prepared();
  ASSERT_EQ(chunks.size(), 2u);
  const Bytes expected = plainMix(folder_, {{"system", 0}, {"microphone", offset}}, total);
  ASSERT_EQ(expected.size(), 2u * total);
  Bytes got;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const Bytes bytes = chunk(i);
    got.insert(got.end(), bytes.begin() + 44, bytes.end());
  }
  EXPECT_TRUE(got == expected);
}

TEST_F(PrepareChunksTest, SecondCallReturnsTheSameUntouchedChunks) {
  writeTrack(system(), 970'000, 0.3f);
  const ChunkList first = prepared();
  ASSERT_EQ(first.size(), 2u);
  struct stat before;
  ASSERT_EQ(::stat(first[1].c_str(), &before), 0);
  const Bytes chunkBefore = chunk(1);
  const Bytes manifestBefore = readBytes(folder_ / "chunks.json");

  EXPECT_EQ(prepared(), first);
  struct stat after;
  ASSERT_EQ(::stat(first[1].c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(chunk(1), chunkBefore);
  EXPECT_EQ(readBytes(folder_ / "chunks.json"), manifestBefore);
}

TEST_F(PrepareChunksTest, ManifestListsTheChunksWithTheirIdentities) {
  writeTrack(microphone(), 970'000, 0.3f);
  const ChunkList chunks = prepared();
  const Bytes json = readBytes(folder_ / "chunks.json");
  auto manifest = ChunkManifest::fromJson(std::string(json.begin(), json.end()));
  ASSERT_TRUE(manifest.ok());
  EXPECT_EQ(manifest->version, 1);
  ASSERT_EQ(manifest->chunks.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(manifest->chunks[i].name, chunkFileName(i));
    EXPECT_EQ(manifest->chunks[i].sha256, audioHash(chunk(i)));
  }
}

TEST_F(PrepareChunksTest, PartlyPreparedFolderIsPreparedAgain) {
  writeTrack(system(), 16000, 0.3f);
  writeBytes(folder_ / "chunk-000.wav", "left over");
  const ChunkList chunks = prepared();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(validateChunk(chunks[0], folder_).ok());
  EXPECT_TRUE(fs::exists(folder_ / "chunks.json"));
}

TEST_F(PrepareChunksTest, FailedChunkWriteLeavesNoManifestAndIsRepeatable) {
  writeTrack(system(), 2'000'000, 0.3f);
  fs::create_directories(folder_ / "chunk-001.wav" / "occupied");
  auto failed = prepareChunks(folder_);
  ASSERT_FALSE(failed.ok());
  EXPECT_FALSE(failed.error().isFailure());  // the platform's rename error
  EXPECT_FALSE(fs::exists(folder_ / "chunks.json"));
  EXPECT_TRUE(fs::exists(folder_ / "chunk-000.wav"));
  EXPECT_FALSE(fs::exists(folder_ / "chunk-002.wav")) << "written after a failure";
  for (const auto& entry : fs::directory_iterator(folder_)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }

  fs::remove_all(folder_ / "chunk-001.wav");
  EXPECT_EQ(prepared().size(), 3u);
}

TEST_F(PrepareChunksTest, ManifestThatFailsIsNeverReplaced) {
  writeTrack(system(), 970'000, 0.3f);
  const ChunkList chunks = prepared();
  const Bytes manifest = readBytes(folder_ / "chunks.json");
  fs::remove(chunks[0]);
  auto again = prepareChunks(folder_);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), Error::fromErrno(ENOENT));
  EXPECT_FALSE(fs::exists(chunks[0]));
  EXPECT_EQ(readBytes(folder_ / "chunks.json"), manifest);
}

TEST_F(PrepareChunksTest, SingleMicrophoneTrackWithoutTimingStartsAtZero) {
  writeTrack(microphone(), 3000, 0.5f);
  ASSERT_EQ(prepared().size(), 1u);
  const Bytes bytes = chunk(0);
  EXPECT_EQ(bytes.size(), 44u + 6000);
  EXPECT_NE(sampleAt(bytes, 0), 0);
}

TEST_F(PrepareChunksTest, TimingOfAnAbsentTrackStillSetsTheEarliestTime) {
  writeTrack(microphone(), 1000, 0.5f);
  writeTiming(R"({"system":5.0,"microphone":15.0})");
  ASSERT_EQ(prepared().size(), 1u);
  const Bytes bytes = chunk(0);
  ASSERT_EQ(bytes.size(), 44u + 2 * 161'000);
  EXPECT_EQ(sampleAt(bytes, 159'999), 0);
  EXPECT_NE(sampleAt(bytes, 160'000), 0);
}

TEST_F(PrepareChunksTest, MeetingLimitAppliesOnlyToPresentTracks) {
  // The absent system track is far from the microphone: no limit applies.
  writeTrack(microphone(), 1000, 0.5f);
  writeTiming(R"({"system":20000.0,"microphone":0.0})");
  EXPECT_EQ(prepared().size(), 1u);

  fs::remove(folder_ / "chunks.json");
  fs::remove(folder_ / "chunk-000.wav");
  writeTiming(R"({"system":0.0,"microphone":14400.001})");
  EXPECT_EQ(refusal(), timingLimit);

  // Exactly 14,400 s passes the timing check; its first frame then lies
  // beyond the four-hour meeting.
  writeTiming(R"({"system":0.0,"microphone":14400.0})");
  EXPECT_EQ(refusal(), fourHours);
}

TEST_F(PrepareChunksTest, DamagedTimingIsNeverTakenAsMissing) {
  writeTrack(system(), 1000, 0.5f);
  writeTrack(microphone(), 1000, 0.5f);
  std::string oversized = R"({"system":1.0,"microphone":1.0})";
  oversized.resize(4097, ' ');
  for (const std::string& json :
       {std::string("broken json"), oversized, std::string(R"({"system":1.0,"microphone":"1.0"})"),
        std::string(R"({"system":1e999,"microphone":1.0})")}) {
    writeTiming(json);
    EXPECT_EQ(refusal(), damagedTiming) << json.substr(0, 40);
  }
}

TEST_F(PrepareChunksTest, NoFramesMeansNoAudio) {
  EXPECT_EQ(refusal(), noAudio);
  writeTrack(system(), 0, 0.0f);
  writeTrack(microphone(), 0, 0.0f);
  EXPECT_EQ(refusal(), noAudio);
}

TEST_F(PrepareChunksTest, RefusesTrackFormatsOtherThanSixteenKilohertzMono) {
  for (auto [rate, channels] : {std::pair{8000, 1}, std::pair{16000, 2}, std::pair{48000, 1}}) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_CAF | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(microphone().c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    std::vector<short> frames(static_cast<std::size_t>(100 * channels), 1000);
    sf_writef_short(file, frames.data(), 100);
    sf_close(file);
    EXPECT_EQ(refusal(), badFormat) << rate << " Hz, " << channels << " channels";
  }
}

TEST_F(PrepareChunksTest, UnreadableTrackGivesThePlatformError) {
  writeBytes(system(), "not a CAF file");
  auto chunks = prepareChunks(folder_);
  ASSERT_FALSE(chunks.ok());
  EXPECT_FALSE(chunks.error().isFailure());
}

// Links are refused wherever they point, a file of the same folder included.
TEST_F(PrepareChunksTest, RefusesLinkedOrIrregularFiles) {
  writeTrack(microphone(), 1000, 0.5f);
  fs::create_symlink("microphone.caf", system());
  EXPECT_EQ(refusal(), invalidFile);

  fs::remove(system());
  const fs::path other = temp_.folder("other");
  writeTrack(other / "system.caf", 1000, 0.5f);
  fs::create_symlink(other / "system.caf", system());
  EXPECT_EQ(refusal(), invalidFile);

  fs::remove(system());
  fs::create_symlink("nowhere.caf", system());
  EXPECT_EQ(refusal(), invalidFile);

  fs::remove(system());
  fs::create_directory(system());
  EXPECT_EQ(refusal(), invalidFile);

  fs::remove(system());
  writeBytes(other / "timing.json", R"({"microphone":1.0})");
  fs::create_symlink(other / "timing.json", folder_ / "timing.json");
  EXPECT_EQ(refusal(), invalidFile);
}

TEST_F(PrepareChunksTest, FolderReachedThroughALinkIsFine) {
  writeTrack(microphone(), 1000, 0.5f);
  writeTiming(R"({"microphone":1.0})");
  const fs::path linked = temp_ / "linked";
  fs::create_directory_symlink(folder_, linked);
  auto chunks = prepareChunks(linked);
  ASSERT_TRUE(chunks.ok()) << chunks.error().description();
  EXPECT_EQ(*chunks, ChunkList{linked / "chunk-000.wav"});
  EXPECT_EQ(prepareChunks(linked).value(), *chunks);
}

}  // namespace
}  // namespace halden
