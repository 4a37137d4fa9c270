#include "store/prepare_chunks.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <set>

#include "store/format.h"
#include "store/store_fixtures.h"
#include "store/wave.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;
using testing::errorOf;
using testing::readBytes;
using testing::sampleAt;
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

  ChunkList prepared() {
    auto chunks = prepareChunks(folder_);
    EXPECT_TRUE(chunks.ok()) << chunks.error().description();
    return chunks.ok() ? *chunks : ChunkList{};
  }
  // The failure of prepareChunks, after checking that it wrote nothing.
  std::string refusal() {
    const Error error = errorOf(prepareChunks(folder_));
    EXPECT_FALSE(fs::exists(folder_ / "chunk-000.wav"));
    EXPECT_FALSE(fs::exists(folder_ / "chunks.json"));
    return error.description();
  }
  fs::path chunkPath(std::size_t index) const { return folder_ / chunkFileName(index); }
  Bytes chunk(std::size_t index) const { return readBytes(chunkPath(index)); }

  TempFolder temp_;
  fs::path folder_ = temp_.folder("meeting");
};

TEST_F(PrepareChunksTest, ChunkBoundariesLoseNoFrame) {
  struct Case {
    int64_t frames;
    std::vector<std::size_t> sizes;
  };
  for (const Case& c : {Case{960'000, {1'920'044}}, Case{960'001, {1'920'044, 46}},
                        Case{976'000, {1'920'044, 32'044}}, Case{1, {46}}}) {
    SCOPED_TRACE(c.frames);
    folder_ = temp_.folder("meeting-" + std::to_string(c.frames));
    writeTrack(microphone(), c.frames, 0.2f);  // and no timing.json: it starts at zero
    const ChunkList chunks = prepared();
    ASSERT_EQ(chunks.size(), c.sizes.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i], folder_ / chunkFileName(i));
      EXPECT_EQ(fs::file_size(chunks[i]), c.sizes[i]);
    }
    EXPECT_NE(sampleAt(chunk(0), 0), 0);
    EXPECT_NE(sampleAt(chunk(chunks.size() - 1), (c.sizes.back() - 44) / 2 - 1), 0);
  }
}

// The whole meeting, mixed the plain way from float reads: each frame is
// track sample x 0.7 plus what the frame holds, in float, tracks in order.
Bytes plainMix(const fs::path& folder, const std::vector<std::pair<std::string, int64_t>>& tracks,
               int64_t total) {
  std::vector<float> mix(static_cast<std::size_t>(total), 0.0f);
  for (const auto& [name, offset] : tracks) {
    const std::unique_ptr<TrackReader> reader = TrackReader::open(folder / (name + ".caf")).value();
    std::vector<float> samples(static_cast<std::size_t>(reader->length()));
    EXPECT_EQ(reader->read(0, samples).value(), samples.size());
    float* frames = mix.data() + offset;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const float product = samples[i] * 0.7f;
      frames[i] = product + frames[i];
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

// A prepared folder is returned as it is (so its manifest matches its chunks),
// and a manifest that stops matching is never replaced by preparing again.
// The folder is reached through a link, which is fine.
TEST_F(PrepareChunksTest, PreparedChunksAreReusedUntouched) {
  writeTrack(system(), 970'000, 0.3f);
  const fs::path linked = temp_ / "linked";
  fs::create_directory_symlink(folder_, linked);
  auto first = prepareChunks(linked);
  ASSERT_TRUE(first.ok()) << first.error().description();
  EXPECT_EQ(*first, (ChunkList{linked / "chunk-000.wav", linked / "chunk-001.wav"}));
  const Bytes manifestBefore = readBytes(folder_ / "chunks.json");
  struct stat before;
  ASSERT_EQ(::stat(chunkPath(1).c_str(), &before), 0);

  EXPECT_EQ(prepareChunks(linked).value(), *first);
  struct stat after;
  ASSERT_EQ(::stat(chunkPath(1).c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(readBytes(folder_ / "chunks.json"), manifestBefore);

  fs::remove(chunkPath(0));
  EXPECT_EQ(errorOf(prepareChunks(folder_)), Error::fromErrno(ENOENT));
  EXPECT_FALSE(fs::exists(chunkPath(0)));
  EXPECT_EQ(readBytes(folder_ / "chunks.json"), manifestBefore);
}

TEST_F(PrepareChunksTest, FailedChunkWriteLeavesNoManifestAndIsRepeatable) {
  writeTrack(system(), 2'000'000, 0.3f);
  fs::create_directories(folder_ / "chunk-001.wav" / "occupied");
  EXPECT_FALSE(errorOf(prepareChunks(folder_)).isFailure());  // the platform's rename error
  // No manifest, no chunk after the failed one, no temporary file left.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder_)) names.insert(entry.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{"chunk-000.wav", "chunk-001.wav", "system.caf"}));

  // Prepared again in full, over whatever the failed attempt left.
  fs::remove_all(folder_ / "chunk-001.wav");
  writeBytes(folder_ / "chunk-000.wav", "left over");
  EXPECT_EQ(prepared().size(), 3u);
  EXPECT_TRUE(validateChunk(folder_ / "chunk-000.wav", folder_).ok());
}

// Timing of an absent track still sets the earliest time, but a present track
// may start at most 14,400 s after it.
TEST_F(PrepareChunksTest, TimingOfAnAbsentTrackSetsTheStartButNotTheLimit) {
  writeTrack(microphone(), 1000, 0.5f);
  writeTiming(R"({"system":0.0,"microphone":14400.001})");
  EXPECT_EQ(refusal(), "The recording timing data exceeds the meeting limit.");
  // Exactly 14,400 s passes; its first frame then lies beyond the four hours.
  writeTiming(R"({"system":0.0,"microphone":14400.0})");
  EXPECT_EQ(refusal(),
            "This recording exceeds the four-hour limit. The original audio remains saved on "
            "your Mac.");

  writeTiming(R"({"system":5.0,"microphone":15.0})");
  ASSERT_EQ(prepared().size(), 1u);
  const Bytes bytes = chunk(0);
  ASSERT_EQ(bytes.size(), 44u + 2 * 161'000);
  EXPECT_EQ(sampleAt(bytes, 159'999), 0);
  EXPECT_NE(sampleAt(bytes, 160'000), 0);

  // An absent track far from the others brings no limit into play.
  fs::remove(folder_ / "chunks.json");
  fs::remove(chunkPath(0));
  writeTiming(R"({"system":20000.0,"microphone":0.0})");
  EXPECT_EQ(prepared().size(), 1u);

  // A present track without a member starts at the earliest time, which may
  // be negative: not at 0.
  fs::remove(folder_ / "chunks.json");
  fs::remove(chunkPath(0));
  writeTiming(R"({"system":-2.0})");
  ASSERT_EQ(prepared().size(), 1u);
  EXPECT_EQ(chunk(0).size(), 44u + 2 * 1000);
}

// Damaged timing is never taken as missing.
TEST_F(PrepareChunksTest, RefusesAFolderWithoutFramesOrWithDamagedTiming) {
  EXPECT_EQ(refusal(), noAudio);
  writeTrack(system(), 0, 0.0f);
  writeTrack(microphone(), 0, 0.0f);
  EXPECT_EQ(refusal(), noAudio);
  writeTrack(microphone(), 1000, 0.5f);
  writeTiming("broken json");
  EXPECT_EQ(refusal(), "The recording timing data is damaged. The source audio has been kept.");
}

TEST_F(PrepareChunksTest, RefusesUnreadableTracksAndFormatsOtherThanSixteenKilohertzMono) {
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
    EXPECT_EQ(refusal(), "The saved recording format is invalid.") << rate << " Hz, " << channels;
  }
  fs::remove(microphone());
  writeBytes(system(), "not a CAF file");
  EXPECT_FALSE(errorOf(prepareChunks(folder_)).isFailure());
}

// A dangling link is not an absent track.
TEST_F(PrepareChunksTest, RefusesLinkedOrIrregularTracks) {
  writeTrack(microphone(), 1000, 0.5f);
  for (const std::string& kind : testing::irregularKinds) {
    fs::remove_all(system());
    writeTrack(system(), 1000, 0.5f);
    testing::makeIrregular(system(), kind);
    EXPECT_EQ(refusal(), invalidFileMessage) << kind;
  }
}

}  // namespace
}  // namespace halden
