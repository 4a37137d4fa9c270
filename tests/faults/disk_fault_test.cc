// Real write failures at every step of a recording, a preparation and a
// manifest update: a small tmpfs filled so that only a chosen number of bytes
// is left, and a file size limit (RLIMIT_FSIZE).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
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
#include "testing/file_size_limit.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;

using Files = std::map<std::string, Bytes>;

constexpr std::uintmax_t pageSize = 4096;
const std::string meetingJson = R"({"meetingId":"m","origin":"https://halden.test"})";
const Files meetingOnly = {
    {std::string(meetingFileName), Bytes(meetingJson.begin(), meetingJson.end())}};

// One row of a table: while it holds, writes fail because the small disk has
// only `bytes` (whole pages) left, or because every file the process writes
// is capped at `bytes`.
struct Fault {
  bool fullDisk;
  std::uintmax_t bytes;

  std::string error() const { return fullDisk ? "No space left on device" : "File too large"; }
  std::string name() const { return (fullDisk ? "free " : "capped at ") + std::to_string(bytes); }
};
Fault fullDisk(std::uintmax_t pages) { return {true, pages * pageSize}; }
Fault capped(std::uintmax_t bytes) { return {false, bytes}; }

// Runs a table of faults, each row in a fresh folder, on a tmpfs of the
// fixture's own when the row fills it. Mounting needs CAP_SYS_ADMIN (CI runs
// the tests as root); without it the full-disk rows are left out, and the
// test ends skipped once the other rows have run.
class DiskFaultTest : public ::testing::Test {
 protected:
  // `size` in tmpfs's terms ("8m"), room for every row's files.
  explicit DiskFaultTest(const std::string& size) {
    const std::string options = "size=" + size + ",mode=0700";
    mounted_ = ::mount("tmpfs", disk_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~DiskFaultTest() override {
    if (mounted_) ::umount2(disk_.c_str(), MNT_DETACH);
  }

  // For each row: writes `files` into an empty folder, calls `act` on it
  // while the row's fault holds, then `check` with the row, the folder and
  // what `act` returned, once there is room again.
  template <typename Act, typename Check>
  void runRows(const std::vector<Fault>& rows, const Files& files, Act act, Check check) {
    for (const Fault& fault : rows) {
      if (fault.fullDisk && !mounted_) continue;
      SCOPED_TRACE(fault.name());
      const fs::path folder = (fault.fullDisk ? disk_ : temp_.path()) / "meeting";
      fs::remove_all(folder);
      fs::create_directory(folder);
      for (const auto& [name, bytes] : files) testing::writeBytes(folder / name, bytes);
      inject(fault);
      const auto outcome = act(folder);
      cap_.reset();
      fs::remove(disk_ / "filler");
      check(fault, folder, outcome);
    }
    if (!mounted_) GTEST_SKIP() << "cannot mount a tmpfs here: only the file size limits ran";
  }

  testing::TempFolder temp_;

 private:
  // A full disk is a filler file that leaves only fault.bytes free.
  void inject(const Fault& fault) {
    if (!fault.fullDisk) {
      cap_.emplace(static_cast<rlim_t>(fault.bytes));
      return;
    }
    const std::uintmax_t available = freeBytes();
    ASSERT_GE(available, fault.bytes);
    const int fd = ::open((disk_ / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(available - fault.bytes)), 0);
    ::close(fd);
    ASSERT_EQ(freeBytes(), fault.bytes);
  }
  std::uintmax_t freeBytes() const {
    struct statvfs info {};
    ::statvfs(disk_.c_str(), &info);
    return static_cast<std::uintmax_t>(info.f_bavail) * info.f_frsize;
  }

  const fs::path disk_ = temp_.folder("tmpfs");
  bool mounted_ = false;
  std::optional<testing::FileSizeLimit> cap_;
};

Files folderBytes(const fs::path& folder) {
  Files files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      files[entry.path().filename().string()] = testing::readBytes(entry.path());
    }
  }
  return files;
}

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
  recorder.onError = [&](const std::string& message) { outcome.messages.push_back(message); };
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
                                         {SampleFormat::float32, 16000, 1}, 320, t - 0.01, 300, 0.4,
                                         320 * (i - 13)));
    }
  }
  stream.drain();
  outcome.stopped = runToCompletion(recorder.stop());
  return outcome;
}

class RecordingFaultTest : public DiskFaultTest {
 protected:
  RecordingFaultTest() : DiskFaultTest("1m") {}

  void SetUp() override {
    const fs::path folder = temp_.folder("reference");
    testing::writeBytes(folder / meetingFileName, meetingJson);
    RecordingOutcome outcome = record(folder);
    ASSERT_TRUE(outcome.stopped.ok());
    ASSERT_TRUE(outcome.messages.empty());
    for (std::string_view track : {systemTrackName, microphoneTrackName}) {
      reference_[std::string(track)] = testing::readTrack(folder / trackFileName(track));
    }
    referenceTiming_ = *readTiming(folder);
    std::uintmax_t bytes = 0;
    for (const auto& [name, content] : folderBytes(folder)) bytes += content.size();
    referencePages_ = bytes / pageSize + 1;
  }

  // A failed recording reports once and keeps what it wrote: meeting.json,
  // a readable prefix of each track, timing.json's values for the tracks
  // there, no temporary file; with room again the folder prepares unless no
  // audio was kept. Returns the frames kept of each track there.
  std::map<std::string, std::size_t> checkFailedRecording(const RecordingOutcome& outcome,
                                                          const fs::path& folder,
                                                          const std::string& description) {
    EXPECT_EQ(outcome.messages.size(), 1u);
    EXPECT_EQ(testing::errorOf(outcome.stopped).description(), description);
    EXPECT_EQ(testing::readBytes(folder / meetingFileName), meetingOnly.begin()->second);
    std::map<std::string, std::size_t> kept;
    for (const auto& [track, whole] : reference_) {
      if (!fs::exists(folder / trackFileName(track))) continue;
      const std::vector<float> part = testing::readTrack(folder / trackFileName(track));
      EXPECT_TRUE(part.size() <= whole.size() &&
                  std::equal(part.begin(), part.end(), whole.begin()))
          << track << " is no prefix of what was captured";
      kept[track] = part.size();
    }
    const bool timed = fs::exists(folder / timingFileName);
    const Result<TimingMap> timing = timed ? readTiming(folder) : Result<TimingMap>(TimingMap{});
    EXPECT_TRUE(timing.ok());
    for (const auto& [track, start] : timing.ok() ? *timing : TimingMap{}) {
      EXPECT_EQ(start, referenceTiming_.at(track)) << track;
      EXPECT_TRUE(kept.contains(track)) << "timing names a track that is not there";
    }
    for (const auto& [name, bytes] : folderBytes(folder)) EXPECT_FALSE(name.starts_with("."));
    const bool silent = std::ranges::all_of(kept, [](const auto& t) { return t.second == 0; });
    EXPECT_EQ(prepareChunks(folder).ok(), !silent);
    return kept;
  }

  std::map<std::string, std::vector<float>> reference_;
  TimingMap referenceTiming_;
  std::uintmax_t referencePages_ = 0;
};

TEST_F(RecordingFaultTest, AFailedWriteAnywhereEndsTheRecordingAndKeepsWhatWasWritten) {
  std::vector<Fault> rows;
  for (std::uintmax_t pages = 0; pages <= referencePages_ + 2; ++pages) {
    rows.push_back(fullDisk(pages));
  }
  // A track's header takes its first 4096 bytes.
  for (std::uintmax_t bytes : {0u, 30u, 4095u, 4097u, 10001u, 20000u, 30000u, 47000u}) {
    rows.push_back(capped(bytes));
  }
  std::map<bool, std::set<std::map<std::string, std::size_t>>> keptLengths;
  int completed = 0;
  runRows(
      rows, meetingOnly, record,
      [&](const Fault& fault, const fs::path& folder, const RecordingOutcome& outcome) {
        if (!outcome.stopped.ok() || !outcome.messages.empty()) {
          keptLengths[fault.fullDisk].insert(checkFailedRecording(outcome, folder, fault.error()));
          return;
        }
        EXPECT_TRUE(fault.fullDisk) << "a capped recording completed";
        ++completed;
        for (const auto& [track, samples] : reference_) {
          EXPECT_EQ(testing::readTrack(folder / trackFileName(track)), samples);
        }
      });
  // The rows met the failure at the first track, at the second, and while
  // each grew, and the sweep's last steps had room for everything.
  EXPECT_GE(keptLengths[false].size(), 5u);
  if (IsSkipped()) return;
  EXPECT_GE(keptLengths[true].size(), referencePages_ / 2);
  EXPECT_GE(completed, 1);
}

constexpr std::uintmax_t firstChunkBytes = 1920044, secondChunkBytes = 32044;

// 61 s of audio: two chunks, of firstChunkBytes and secondChunkBytes.
class PreparationFaultTest : public DiskFaultTest {
 protected:
  PreparationFaultTest() : DiskFaultTest("12m") {}

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
    ASSERT_TRUE(
        writeTiming({{std::string(systemTrackName), 3.0}, {std::string(microphoneTrackName), 3.5}},
                    folder)
            .ok());
    testing::writeBytes(folder / meetingFileName, meetingJson);
    sources_ = folderBytes(folder);
    ASSERT_TRUE(prepareChunks(folder).ok());
    prepared_ = folderBytes(folder);
    ASSERT_EQ(prepared_.size(), sources_.size() + 3);
  }

  Files sources_, prepared_;
};

TEST_F(PreparationFaultTest, AFailedWriteOfAnyChunkOrTheManifestLosesNothing) {
  const std::uintmax_t first = firstChunkBytes / pageSize + 1;
  const std::uintmax_t second = secondChunkBytes / pageSize + 1;
  // Room for nothing, part of the first chunk, all but its last page, the
  // first chunk and nothing or part of the second, both chunks but no
  // manifest; caps that let no byte through, a chunk's 44-byte header alone,
  // all of the first chunk but its last byte, and exactly the first chunk.
  const std::vector<Fault> rows = {
      fullDisk(0),     fullDisk(1),         fullDisk(first / 2),          fullDisk(first - 1),
      fullDisk(first), fullDisk(first + 1), fullDisk(first + second - 1), fullDisk(first + second),
      capped(0),       capped(44),          capped(firstChunkBytes - 1),  capped(firstChunkBytes)};
  runRows(rows, sources_, prepareChunks,
          [&](const Fault& fault, const fs::path& folder, const Result<ChunkList>& chunks) {
            if (!fault.fullDisk && fault.bytes >= firstChunkBytes) {  // every file fits
              ASSERT_TRUE(chunks.ok()) << chunks.error().description();
              EXPECT_EQ(folderBytes(folder), prepared_);
              return;
            }
            // The platform's error, the sources as they were, no manifest, no
            // temporary file, every chunk left equal to its reference; and
            // with room again, the same prepared folder as the reference.
            EXPECT_EQ(testing::errorOf(chunks).description(), fault.error());
            const Files now = folderBytes(folder);
            EXPECT_FALSE(now.contains(std::string(manifestFileName)));
            for (const auto& [name, bytes] : now) {
              EXPECT_TRUE(prepared_.contains(name) && bytes == prepared_.at(name)) << name;
            }
            for (const auto& [name, bytes] : sources_) EXPECT_TRUE(now.contains(name)) << name;
            const Result<ChunkList> again = prepareChunks(folder);
            ASSERT_TRUE(again.ok()) << again.error().description();
            EXPECT_EQ(folderBytes(folder), prepared_);
          });
}

// The earlier form of the manifest is upgraded in place when it is read, and
// a new one is written after a preparation: neither may leave it damaged.
TEST_F(PreparationFaultTest, AManifestThatCannotBeRewrittenStaysAsItWas) {
  const std::string legacy = R"(["chunk-000.wav","chunk-001.wav"])";
  Files files = meetingOnly;
  for (const auto& [name, bytes] : prepared_) {
    if (name.starts_with("chunk-")) files[name] = bytes;
  }
  files[std::string(manifestFileName)] = Bytes(legacy.begin(), legacy.end());
  const auto readAndSave = [](const fs::path& folder) {
    return std::pair(
        savedChunks(folder),
        saveChunkManifest({folder / "chunk-000.wav", folder / "chunk-001.wav"}, folder));
  };
  runRows({fullDisk(0), capped(legacy.size())}, files, readAndSave,
          [&](const Fault& fault, const fs::path& folder, const auto& readAndSaved) {
            EXPECT_EQ(testing::errorOf(readAndSaved.first).description(), fault.error());
            EXPECT_EQ(testing::errorOf(readAndSaved.second).description(), fault.error());
            EXPECT_EQ(folderBytes(folder), files);
            const Result<std::optional<ChunkList>> upgraded = savedChunks(folder);
            ASSERT_TRUE(upgraded.ok()) << upgraded.error().description();
            EXPECT_EQ(testing::readBytes(folder / manifestFileName),
                      prepared_.at(std::string(manifestFileName)));
          });
}

}  // namespace
}  // namespace halden
