// Real write failures at every step of a recording, a preparation and a
// manifest update: a small tmpfs filled so that only a chosen number of bytes
// is left, and a file size limit (RLIMIT_FSIZE). Each failure must end with
// the message the user is shown, and leave every byte already on disk as it
// was: the tracks a prefix of what was captured, the folder's other files
// untouched, and the meeting preparable again once there is room.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/main_context.h"
#include "capture/audio_recorder.h"
#include "capture/scripted_capture.h"
#include "store/chunk_manifest.h"
#include "store/format.h"
#include "store/prepare_chunks.h"
#include "store/store_fixtures.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "testing/file_size_limit.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;

constexpr std::uintmax_t pageSize = 4096;
const std::string noSpace = "No space left on device";
const std::string tooLarge = "File too large";

// A tmpfs of `bytes` on a folder of its own, for the fixture's lifetime.
// Mounting needs CAP_SYS_ADMIN (CI runs the tests as root); without it the
// tests skip.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(std::uintmax_t bytes) : folder_(temp_.folder("tmpfs")) {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                       options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const fs::path& folder() const { return folder_; }

  std::uintmax_t freeBytes() const {
    struct statvfs info {};
    ::statvfs(folder_.c_str(), &info);
    return static_cast<std::uintmax_t>(info.f_bavail) * info.f_frsize;
  }
  // Grows a filler file until `bytes` (whole pages) are left.
  void leaveFree(std::uintmax_t bytes) {
    const std::uintmax_t available = freeBytes();
    ASSERT_GE(available, bytes);
    const int fd = ::open((folder_ / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    struct stat info {};
    ::fstat(fd, &info);
    const off_t size = info.st_size + static_cast<off_t>(available - bytes);
    ASSERT_EQ(::posix_fallocate(fd, 0, size), 0);
    ::close(fd);
    ASSERT_EQ(freeBytes(), bytes);
  }
  void release() { fs::remove(folder_ / "filler"); }

 private:
  testing::TempFolder temp_;
  fs::path folder_;
  bool mounted_ = false;
};

using testing::FileSizeLimit;

// The bytes of every regular file directly in `folder`, by name.
std::map<std::string, Bytes> folderBytes(const fs::path& folder) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[entry.path().filename().string()] = testing::readBytes(entry.path());
    }
  }
  return files;
}

std::vector<int16_t> trackSamples(const fs::path& file) {
  auto reader = TrackReader::open(file);
  EXPECT_TRUE(reader.ok()) << file << ": " << reader.error().description();
  if (!reader.ok()) return {};
  std::vector<int16_t> samples(static_cast<std::size_t>((*reader)->length()));
  auto read = (*reader)->readPcm16(0, samples);
  EXPECT_TRUE(read.ok());
  samples.resize(read.ok() ? *read : 0);
  return samples;
}

bool isPrefix(const std::vector<int16_t>& part, const std::vector<int16_t>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// ---------------------------------------------------------------------------
// Recording

const std::string meetingJson = R"({"meetingId":"m","origin":"https://halden.test"})";

// What one recording of the scripted audio left behind.
struct RecordingOutcome {
  Result<void> stopped = success();
  std::vector<std::string> messages;
};

// Records 1.5 s of both sources into `folder` (which holds meeting.json):
// 48 kHz stereo system audio from t = 20 and 16 kHz mono microphone audio
// from t = 20.25, in 20 ms buffers, as capture delivers them.
RecordingOutcome record(const fs::path& folder) {
  testing::PrivateMainContext context;
  auto service = std::make_shared<testing::ScriptedCaptureService::State>();
  AudioRecorder recorder(std::make_unique<testing::ScriptedCaptureService>(service));
  RecordingOutcome outcome;
  recorder.onError = [&outcome](const std::string& message) {
    outcome.messages.push_back(message);
  };
  Result<void> started = runToCompletion(recorder.start(folder));
  EXPECT_TRUE(started.ok());
  if (!started.ok()) return outcome;
  testing::ScriptedStreamEnd& stream = *service->streams.back();
  for (int i = 0; i < 75; ++i) {
    const double t = 20 + 0.02 * i;
    stream.deliver(testing::sineBuffer(CaptureSource::system, {SampleFormat::float32, 48000, 2},
                                       960, t, 440, 0.5, 960 * i));
    if (i >= 13) {
      stream.deliver(testing::sineBuffer(CaptureSource::microphone,
                                         {SampleFormat::float32, 16000, 1}, 320, t - 0.01, 300,
                                         0.4, 320 * (i - 13)));
    }
  }
  stream.drain();
  outcome.stopped = runToCompletion(recorder.stop());
  return outcome;
}

class RecordingFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path folder = temp_.folder("reference");
    testing::writeBytes(folder / meetingFileName, meetingJson);
    RecordingOutcome outcome = record(folder);
    ASSERT_TRUE(outcome.stopped.ok());
    ASSERT_TRUE(outcome.messages.empty());
    for (std::string_view track : {systemTrackName, microphoneTrackName}) {
      reference_[std::string(track)] = trackSamples(folder / trackFileName(track));
    }
    referenceTiming_ = *readTiming(folder);
    std::uintmax_t bytes = 0;
    for (const auto& [name, content] : folderBytes(folder)) bytes += content.size();
    referencePages_ = bytes / pageSize + 1;
  }

  // After a failed recording in `folder`: the message, the stop error, and
  // what is on disk: meeting.json untouched, every track a readable prefix of
  // the reference, timing.json (when there) the reference's values for the
  // tracks it names, and a meeting that prepares once there is room.
  // Returns the frames kept of each track.
  std::pair<std::size_t, std::size_t> checkFailedRecording(const RecordingOutcome& outcome,
                                                           const fs::path& folder,
                                                           const std::string& description) {
    EXPECT_THAT(outcome.messages,
                ::testing::ElementsAre("Audio could not be saved: " + description +
                                       ". End the meeting and check available disk space."));
    EXPECT_FALSE(outcome.stopped.ok());
    if (!outcome.stopped.ok()) {
      EXPECT_EQ(outcome.stopped.error().description(), description);
    }
    EXPECT_EQ(testing::readBytes(folder / meetingFileName), Bytes(meetingJson.begin(),
                                                                   meetingJson.end()));
    std::map<std::string, std::size_t> kept;
    for (std::string_view track : {systemTrackName, microphoneTrackName}) {
      const fs::path file = folder / trackFileName(track);
      if (!fs::exists(file)) continue;
      std::vector<int16_t> samples = trackSamples(file);
      EXPECT_TRUE(isPrefix(samples, reference_[std::string(track)])) << track;
      kept[std::string(track)] = samples.size();
    }
    if (fs::exists(folder / timingFileName)) {
      auto timing = readTiming(folder);
      EXPECT_TRUE(timing.ok());
      if (timing.ok()) {
        for (const auto& [track, start] : *timing) {
          EXPECT_EQ(start, referenceTiming_.at(track)) << track;
          EXPECT_TRUE(kept.contains(track)) << "timing names a track that is not there";
        }
      }
    }
    for (const auto& entry : fs::directory_iterator(folder)) {
      EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
    }
    return {kept[std::string(systemTrackName)], kept[std::string(microphoneTrackName)]};
  }

  // Once there is room again, what a failed recording kept is a meeting:
  // it prepares, or (with no audio at all) says that nothing was captured.
  void checkPreparesAfterwards(const fs::path& folder, std::pair<std::size_t, std::size_t> kept) {
    Result<ChunkList> chunks = prepareChunks(folder);
    if (kept.first == 0 && kept.second == 0) {
      ASSERT_FALSE(chunks.ok());
      EXPECT_EQ(chunks.error().description(),
                "No audio was captured. Check microphone and screen recording permissions.");
    } else {
      EXPECT_TRUE(chunks.ok()) << chunks.error().description();
    }
  }

  testing::TempFolder temp_;
  std::map<std::string, std::vector<int16_t>> reference_;
  TimingMap referenceTiming_;
  std::uintmax_t referencePages_ = 0;
};

TEST_F(RecordingFaultTest, AFullDiskAtAnyWriteEndsTheRecordingAndKeepsWhatWasWritten) {
  SmallFileSystem disk((referencePages_ + 64) * pageSize);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  std::set<std::pair<std::size_t, std::size_t>> keptLengths;
  int completed = 0;
  for (std::uintmax_t pages = 0; pages <= referencePages_ + 2; ++pages) {
    SCOPED_TRACE(::testing::Message() << pages << " pages free");
    const fs::path folder = disk.folder() / ("meeting-" + std::to_string(pages));
    fs::create_directory(folder);
    testing::writeBytes(folder / meetingFileName, meetingJson);
    disk.leaveFree(pages * pageSize);
    RecordingOutcome outcome = record(folder);
    if (outcome.stopped.ok() && outcome.messages.empty()) {
      ++completed;
      for (std::string_view track : {systemTrackName, microphoneTrackName}) {
        EXPECT_EQ(trackSamples(folder / trackFileName(track)), reference_[std::string(track)]);
      }
    } else {
      const auto kept = checkFailedRecording(outcome, folder, noSpace);
      keptLengths.insert(kept);
      disk.release();
      checkPreparesAfterwards(folder, kept);
    }
    fs::remove_all(folder);
    disk.release();
  }
  // The sweep met the failure at the first track, at the second, and while
  // each grew, and the last steps had room for everything.
  EXPECT_GE(keptLengths.size(), referencePages_ / 2);
  EXPECT_GE(completed, 1);
}

TEST_F(RecordingFaultTest, AFileSizeLimitAtAnyWriteEndsTheRecordingAndKeepsWhatWasWritten) {
  std::set<std::pair<std::size_t, std::size_t>> keptLengths;
  // A track's header takes its first 4096 bytes.
  for (rlim_t limit : {rlim_t{0}, rlim_t{30}, rlim_t{4095}, rlim_t{4097}, rlim_t{10001},
                       rlim_t{20000}, rlim_t{30000}, rlim_t{47000}}) {
    SCOPED_TRACE(::testing::Message() << "files capped at " << limit << " bytes");
    const fs::path folder = temp_.folder("limited-" + std::to_string(limit));
    testing::writeBytes(folder / meetingFileName, meetingJson);
    RecordingOutcome outcome;
    {
      FileSizeLimit cap(limit);
      outcome = record(folder);
    }
    const auto kept = checkFailedRecording(outcome, folder, tooLarge);
    keptLengths.insert(kept);
    checkPreparesAfterwards(folder, kept);
  }
  EXPECT_GE(keptLengths.size(), 5u);
}

// ---------------------------------------------------------------------------
// Preparation and manifest

// 61 s of audio: two chunks, of 1,920,044 and 32,044 bytes.
class PreparationFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path folder = temp_.folder("reference");
    std::vector<float> system(976000), microphone(968000);
    for (std::size_t i = 0; i < system.size(); ++i) {
      system[i] = static_cast<float>((static_cast<int>(i * 7919 % 20001) - 10000)) / 32768.0f;
    }
    for (std::size_t i = 0; i < microphone.size(); ++i) {
      microphone[i] = static_cast<float>((static_cast<int>(i * 104729 % 16001) - 8000)) / 32768.0f;
    }
    testing::writeTrack(folder / trackFileName(systemTrackName), system);
    testing::writeTrack(folder / trackFileName(microphoneTrackName), microphone);
    ASSERT_TRUE(writeTiming({{std::string(systemTrackName), 3.0},
                             {std::string(microphoneTrackName), 3.5}},
                            folder)
                    .ok());
    testing::writeBytes(folder / meetingFileName, meetingJson);
    sources_ = folderBytes(folder);
    ASSERT_TRUE(prepareChunks(folder).ok());
    prepared_ = folderBytes(folder);
    ASSERT_EQ(prepared_.size(), sources_.size() + 3);
  }

  // Copies the unprepared meeting into `folder`.
  void copySources(const fs::path& folder) {
    fs::create_directory(folder);
    for (const auto& [name, bytes] : sources_) testing::writeBytes(folder / name, bytes);
  }

  // After a failed preparation: the platform's error, the sources as they
  // were, no manifest, no temporary file, every chunk left equal to its
  // reference; and with room again, the same prepared folder as the
  // reference, byte for byte.
  void checkFailedPreparation(const Result<ChunkList>& chunks, const fs::path& folder,
                              const std::string& description,
                              const std::function<void()>& makeRoom) {
    ASSERT_FALSE(chunks.ok());
    EXPECT_EQ(chunks.error().description(), description);
    std::map<std::string, Bytes> now = folderBytes(folder);
    EXPECT_FALSE(now.contains(std::string(manifestFileName)));
    for (const auto& [name, bytes] : now) {
      EXPECT_FALSE(name.starts_with(".")) << name;
      EXPECT_EQ(bytes, prepared_.at(name)) << name;
    }
    for (const auto& [name, bytes] : sources_) EXPECT_TRUE(now.contains(name)) << name;
    makeRoom();
    Result<ChunkList> again = prepareChunks(folder);
    ASSERT_TRUE(again.ok()) << again.error().description();
    EXPECT_EQ(folderBytes(folder), prepared_);
  }

  testing::TempFolder temp_;
  std::map<std::string, Bytes> sources_, prepared_;
};

TEST_F(PreparationFaultTest, AFullDiskAtAnyChunkOrTheManifestFailsAndLosesNothing) {
  std::uintmax_t sourceBytes = 0;
  for (const auto& [name, bytes] : sources_) sourceBytes += bytes.size() / pageSize + 1;
  SmallFileSystem disk((sourceBytes + 1200) * pageSize);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::uintmax_t first = 1920044 / pageSize + 1, second = 32044 / pageSize + 1;
  // Nothing, part of the first chunk, all but its last page, the first chunk
  // and nothing or part of the second, the two chunks and no manifest.
  for (std::uintmax_t pages : {std::uintmax_t{0}, std::uintmax_t{1}, first / 2, first - 1, first,
                               first + 1, first + second - 1, first + second}) {
    SCOPED_TRACE(::testing::Message() << pages << " pages free");
    const fs::path folder = disk.folder() / "meeting";
    copySources(folder);
    disk.leaveFree(pages * pageSize);
    checkFailedPreparation(prepareChunks(folder), folder, noSpace, [&] { disk.release(); });
    fs::remove_all(folder);
  }
}

TEST_F(PreparationFaultTest, AFileSizeLimitFailsThePreparationAndLosesNothing) {
  for (rlim_t limit : {rlim_t{0}, rlim_t{44}, rlim_t{1920043}}) {
    SCOPED_TRACE(::testing::Message() << "files capped at " << limit << " bytes");
    const fs::path folder = temp_.folder("limited-" + std::to_string(limit));
    fs::remove_all(folder);
    copySources(folder);
    std::optional<FileSizeLimit> cap;
    cap.emplace(limit);
    checkFailedPreparation(prepareChunks(folder), folder, tooLarge, [&] { cap.reset(); });
  }
  // Exactly the size of the first chunk is enough.
  const fs::path folder = temp_.folder("limited-exact");
  fs::remove_all(folder);
  copySources(folder);
  Result<ChunkList> chunks = [&] {
    FileSizeLimit cap(1920044);
    return prepareChunks(folder);
  }();
  ASSERT_TRUE(chunks.ok()) << chunks.error().description();
  EXPECT_EQ(folderBytes(folder), prepared_);
}

TEST_F(PreparationFaultTest, AManifestThatCannotBeRewrittenStaysAsItWas) {
  SmallFileSystem disk(64 * pageSize + 2 * 1920044);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  const fs::path folder = disk.folder() / "meeting";
  fs::create_directory(folder);
  for (const auto& [name, bytes] : prepared_) {
    if (name.starts_with("chunk-") || name == meetingFileName) {
      testing::writeBytes(folder / name, bytes);
    }
  }
  const std::string legacy = R"(["chunk-000.wav","chunk-001.wav"])";
  testing::writeBytes(folder / manifestFileName, legacy);
  const std::map<std::string, Bytes> before = folderBytes(folder);

  // The earlier form is upgraded in place when it is read, and a new one is
  // written after a preparation: neither may leave a damaged manifest.
  disk.leaveFree(0);
  Result<std::optional<ChunkList>> read = savedChunks(folder);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().description(), noSpace);
  Result<void> saved = saveChunkManifest({folder / "chunk-000.wav", folder / "chunk-001.wav"},
                                         folder);
  ASSERT_FALSE(saved.ok());
  EXPECT_EQ(saved.error().description(), noSpace);
  EXPECT_EQ(folderBytes(folder), before);

  {
    FileSizeLimit cap(legacy.size());
    disk.release();
    read = savedChunks(folder);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().description(), tooLarge);
    EXPECT_EQ(folderBytes(folder), before);
  }
  read = savedChunks(folder);
  ASSERT_TRUE(read.ok()) << read.error().description();
  EXPECT_EQ(testing::readBytes(folder / manifestFileName), prepared_.at(std::string(manifestFileName)));
}

}  // namespace
}  // namespace halden
