#include "capture/audio_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <cmath>
#include <future>
#include <numbers>
#include <string>
#include <vector>

#include "base/main_context.h"
#include "capture/scripted_capture.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

using testing::CaptureScript;
using ::testing::ElementsAre;
using testing::ScriptedCaptureService;
using testing::sineBuffer;

const AudioFormat float48Stereo{SampleFormat::float32, 48000, 2};
const AudioFormat int16Mono44{SampleFormat::int16, 44100, 1};
const AudioFormat float16Mono{SampleFormat::float32, 16000, 1};

// A track output in memory whose appends can be made to fail; records when
// it is destroyed (the recorder closes a track by destroying it).
struct TrackLog {
  std::map<std::string, std::vector<float>> frames;
  std::map<std::string, bool> closed;
  std::map<std::string, int> failAfterAppends;  // by file name; -1: never
};

class MemoryTrack final : public TrackOutput {
 public:
  MemoryTrack(std::shared_ptr<TrackLog> log, std::string name)
      : log_(std::move(log)), name_(std::move(name)) {
    log_->frames[name_].clear();
    log_->closed[name_] = false;
  }
  ~MemoryTrack() override { log_->closed[name_] = true; }
  int64_t length() const override { return static_cast<int64_t>(log_->frames[name_].size()); }
  Result<void> append(std::span<const float> frames) override {
    auto limit = log_->failAfterAppends.find(name_);
    if (limit != log_->failAfterAppends.end() && limit->second-- == 0) {
      return Error(std::string(Error::posixDomain), 28, "No space left on device");
    }
    auto& track = log_->frames[name_];
    track.insert(track.end(), frames.begin(), frames.end());
    return success();
  }

 private:
  std::shared_ptr<TrackLog> log_;
  std::string name_;
};

class AudioRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { makeRecorder(/*inMemory=*/true); }

  void makeRecorder(bool inMemory) {
    recorder_.reset();
    service_ = std::make_shared<ScriptedCaptureService::State>();
    TrackFileFactory factory = defaultTrackFileFactory();
    if (inMemory) {
      factory =
          [log = log_](const std::filesystem::path& path) -> Result<std::unique_ptr<TrackOutput>> {
        return std::unique_ptr<TrackOutput>(new MemoryTrack(log, path.filename().string()));
      };
    }
    recorder_ = std::make_unique<AudioRecorder>(std::make_unique<ScriptedCaptureService>(service_),
                                                std::move(factory));
    recorder_->onError = [this](const std::string& message) {
      std::lock_guard lock(messagesMutex_);
      messages_.push_back(message);
    };
  }

  CaptureScript& script() { return service_->script; }
  testing::ScriptedStreamEnd& stream(std::size_t index = 0) { return *service_->streams.at(index); }
  std::size_t streamCount() const { return service_->streams.size(); }

  Result<void> start(const std::filesystem::path& folder) {
    return runToCompletion(recorder_->start(folder));
  }
  Result<void> stop() { return runToCompletion(recorder_->stop()); }

  // Waits until the sample queue has handled everything submitted so far.
  void settle() {
    std::promise<void> done;
    recorder_->sampleQueue().submit([&done] { done.set_value(); });
    done.get_future().wait();
  }

  std::vector<std::string> messages() {
    std::lock_guard lock(messagesMutex_);
    return messages_;
  }
  std::vector<float>& frames(std::string_view track) { return log_->frames[trackFileName(track)]; }
  bool hasTrack(std::string_view track) const {
    return log_->frames.contains(trackFileName(track));
  }
  TimingMap timing(const std::filesystem::path& folder) {
    auto read = readTiming(folder);
    EXPECT_TRUE(read.ok());
    return read.ok() ? *read : TimingMap{};
  }

  halden::testing::PrivateMainContext context_;
  halden::testing::TempFolder temp_;
  std::filesystem::path meeting_ = temp_.folder("meeting");
  std::shared_ptr<TrackLog> log_ = std::make_shared<TrackLog>();
  std::shared_ptr<ScriptedCaptureService::State> service_;
  std::unique_ptr<AudioRecorder> recorder_;
  std::mutex messagesMutex_;
  std::vector<std::string> messages_;
};

// Frames of 16 kHz mono float at `timestamp`: written unconverted.
CaptureBuffer plain(CaptureSource source, double timestamp, int64_t frames = 320) {
  return sineBuffer(source, float16Mono, frames, timestamp);
}

const Error diskFull(std::string(Error::posixDomain), 28, "No space left on device");
const Error connectionLost("PulseAudio", 10, "Connection terminated");

TEST_F(AudioRecorderTest, IgnoresBuffersThatAreNotTheRunningRecordingsAudio) {
  ASSERT_TRUE(start(temp_.folder("earlier")).ok());
  ASSERT_TRUE(stop().ok());
  ASSERT_TRUE(start(meeting_).ok());
  ASSERT_EQ(streamCount(), 2u);

  CaptureBuffer invalid = plain(CaptureSource::system, 10);
  invalid.samples.pop_back();
  CaptureBuffer formatless = plain(CaptureSource::system, 10);
  formatless.format.reset();
  stream(0).deliver(plain(CaptureSource::system, 10));  // the earlier recording's stream
  stream(1).deliver(plain(CaptureSource::microphone, 10, 0));
  stream(1).deliver(invalid);
  stream(1).deliver(formatless);
  settle();
  EXPECT_FALSE(hasTrack(systemTrackName));
  EXPECT_FALSE(hasTrack(microphoneTrackName));
  EXPECT_FALSE(std::filesystem::exists(meeting_ / timingFileName));
  EXPECT_THAT(messages(), ::testing::IsEmpty());

  // The same stream's well-formed audio is taken.
  stream(1).deliver(plain(CaptureSource::system, 10));
  settle();
  EXPECT_EQ(frames(systemTrackName).size(), 320u);
  EXPECT_TRUE(stop().ok());
}

TEST_F(AudioRecorderTest, FirstBufferOfEachSourceCreatesItsTrackAndRecordsItsTime) {
  ASSERT_TRUE(start(meeting_).ok());
  const double t0 = 5021.25;
  stream().deliver(sineBuffer(CaptureSource::system, float48Stereo, 960, t0));
  settle();
  EXPECT_TRUE(hasTrack(systemTrackName));
  EXPECT_FALSE(hasTrack(microphoneTrackName));
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", t0}}));

  stream().deliver(sineBuffer(CaptureSource::system, float48Stereo, 960, t0 + 0.02, 440, 0.5, 960));
  stream().deliver(plain(CaptureSource::microphone, t0 + 1.5));
  settle();
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", t0}, {"microphone", t0 + 1.5}}));

  // timing.json is written when a track starts, not for later buffers.
  std::filesystem::remove(meeting_ / timingFileName);
  stream().deliver(plain(CaptureSource::microphone, t0 + 1.52));
  stream().deliver(
      sineBuffer(CaptureSource::system, float48Stereo, 960, t0 + 0.04, 440, 0.5, 1920));
  settle();
  EXPECT_FALSE(std::filesystem::exists(meeting_ / timingFileName));

  EXPECT_TRUE(stop().ok());
  EXPECT_EQ(frames(microphoneTrackName).size(), 640u);
  // Three 48 kHz buffers of 20 ms, less what the resampler still holds.
  EXPECT_GT(frames(systemTrackName).size(), 400u);
  EXPECT_LE(frames(systemTrackName).size(), 960u);
  EXPECT_TRUE(log_->closed[trackFileName(systemTrackName)]);
  EXPECT_TRUE(log_->closed[trackFileName(microphoneTrackName)]);
}

// Level of `frequency` Hz in frames [from, from + count) of a 16 kHz track.
double toneLevel(const std::vector<float>& track, std::size_t from, std::size_t count,
                 double frequency) {
  double re = 0, im = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / 16000.0;
    re += track[i] * std::cos(phase);
    im += track[i] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(count);
}

TEST_F(AudioRecorderTest, FormatChangeGetsANewConverterAndKeepsTheTrackAndItsAlignment) {
  makeRecorder(/*inMemory=*/false);
  ASSERT_TRUE(start(meeting_).ok());
  const double t0 = 100;
  // 0.5 s of 440 Hz as 48 kHz stereo float, then from t0 + 1 s 0.5 s of
  // 1 kHz as 44.1 kHz mono 16-bit.
  for (int i = 0; i < 10; ++i) {
    stream().deliver(
        sineBuffer(CaptureSource::system, float48Stereo, 2400, t0 + 0.05 * i, 440, 0.5, 2400 * i));
  }
  for (int i = 0; i < 10; ++i) {
    stream().deliver(sineBuffer(CaptureSource::system, int16Mono44, 2205, t0 + 1 + 0.05 * i, 1000,
                                0.5, 2205 * i));
  }
  settle();
  ASSERT_TRUE(stop().ok());
  EXPECT_THAT(messages(), ::testing::IsEmpty());
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", t0}}));

  auto reader = TrackReader::open(meeting_ / trackFileName(systemTrackName));
  ASSERT_TRUE(reader.ok());
  std::vector<float> track(static_cast<std::size_t>((*reader)->length()));
  ASSERT_TRUE((*reader)->read(0, track).ok());
  ASSERT_GT(track.size(), 23400u);
  ASSERT_LE(track.size(), 24000u);
  EXPECT_NEAR(toneLevel(track, 1000, 6000, 440), 0.5, 0.02);
  // The pause between the formats is silence, and the second part starts at
  // its own time: 1 s after the track's first timestamp.
  std::size_t firstSound = 9000;
  while (firstSound < track.size() && std::abs(track[firstSound]) < 1e-3) ++firstSound;
  EXPECT_GE(firstSound, 16000u);
  EXPECT_LT(firstSound, 16000u + 160u);
  EXPECT_NEAR(toneLevel(track, 17000, 6000, 1000), 0.5, 0.02);
  EXPECT_LT(toneLevel(track, 17000, 6000, 440), 0.01);
}

TEST_F(AudioRecorderTest, WriteFailureIsReportedOnceAndEndsWritingOfBothTracks) {
  log_->failAfterAppends[trackFileName(microphoneTrackName)] = 1;
  script().stopError = Error("PulseAudio", 8, "Timeout");
  ASSERT_TRUE(start(meeting_).ok());
  stream().deliver(plain(CaptureSource::system, 1.0));
  stream().deliver(plain(CaptureSource::microphone, 1.0));
  stream().deliver(plain(CaptureSource::system, 1.02));
  stream().deliver(plain(CaptureSource::microphone, 1.02));  // fails
  stream().deliver(plain(CaptureSource::system, 1.04));
  stream().deliver(plain(CaptureSource::microphone, 1.04));
  settle();
  EXPECT_THAT(messages(), ElementsAre("Audio could not be saved: No space left on device. End "
                                      "the meeting and check available disk space."));
  EXPECT_EQ(frames(systemTrackName).size(), 640u);
  EXPECT_EQ(frames(microphoneTrackName).size(), 320u);

  // The write error comes before the error of stopping the stream.
  Result<void> stopped = stop();
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error(), diskFull);
  EXPECT_TRUE(log_->closed[trackFileName(systemTrackName)]);
  EXPECT_EQ(messages().size(), 1u);
  // It stays until the next start.
  script().stopError.reset();
  EXPECT_EQ(stop().error(), diskFull);
  ASSERT_TRUE(start(temp_.folder("next")).ok());
  EXPECT_TRUE(stop().ok());
}

struct FirstBufferFailure {
  const char* name;
  AudioFormat format;
  bool trackCannotBeCreated;
  bool folderGone;
  std::string description;  // of the recording's error
  bool trackMade;
  bool timingWritten;
};

TEST_F(AudioRecorderTest, FailureOnASourcesFirstBufferIsTheRecordingsError) {
  const FirstBufferFailure cases[] = {
      {"no converter for the format",
       {SampleFormat::float32, 2e6, 1},
       false,
       false,
       "Audio format is not supported.",
       true,
       true},
      {"track file cannot be made", float16Mono, true, false, "Permission denied", false, false},
      {"timing.json cannot be written", float16Mono, false, true, "", true, false},
  };
  for (const FirstBufferFailure& c : cases) {
    SCOPED_TRACE(c.name);
    makeRecorder(/*inMemory=*/true);
    log_->frames.clear();
    const auto folder = temp_.folder(c.name);
    if (c.trackCannotBeCreated) {
      recorder_ = std::make_unique<AudioRecorder>(
          std::make_unique<ScriptedCaptureService>(service_),
          [](const std::filesystem::path&) -> Result<std::unique_ptr<TrackOutput>> {
            return Error(std::string(Error::posixDomain), 13, "Permission denied");
          });
      recorder_->onError = [this](const std::string& message) {
        std::lock_guard lock(messagesMutex_);
        messages_.push_back(message);
      };
    }
    messages_.clear();
    ASSERT_TRUE(start(folder).ok());
    if (c.folderGone) std::filesystem::remove_all(folder);
    stream().deliver(sineBuffer(CaptureSource::system, c.format, 320, 4.0));
    stream().deliver(plain(CaptureSource::microphone, 4.0));  // ignored: the recording failed
    settle();
    Result<void> stopped = stop();
    ASSERT_FALSE(stopped.ok());
    if (!c.description.empty()) {
      EXPECT_EQ(stopped.error().description(), c.description);
    }
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0], audioNotSavedMessage(stopped.error()));
    EXPECT_TRUE(messages()[0].starts_with("Audio could not be saved: "));
    EXPECT_EQ(hasTrack(systemTrackName), c.trackMade);
    if (c.trackMade) {
      EXPECT_TRUE(frames(systemTrackName).empty());
    }
    EXPECT_FALSE(hasTrack(microphoneTrackName));
    EXPECT_EQ(std::filesystem::exists(folder / timingFileName), c.timingWritten);
    if (c.timingWritten) {
      EXPECT_EQ(timing(folder), (TimingMap{{"system", 4.0}}));
    }
  }
}

// Runs stop() while the sample queue is held by a closure: `beforeStop` runs
// once the queue is held, then stop() begins; the queue is released only
// after the stream has been stopped.
Result<void> stopWithQueueHeld(AudioRecorder& recorder, testing::ScriptedStreamEnd& stream,
                               GMainContext* context, const std::function<void()>& beforeStop) {
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  recorder.sampleQueue().submit([gate] { gate.wait(); });
  beforeStop();
  std::optional<Result<void>> result;
  spawn([](AudioRecorder& r, std::optional<Result<void>>& out) -> Task<void> {
    out.emplace(co_await r.stop());
  }(recorder, result));
  while (stream.stopCalls() == 0) g_main_context_iteration(context, TRUE);
  // The closing step waits behind everything already queued.
  for (int i = 0; i < 10; ++i) g_main_context_iteration(context, FALSE);
  EXPECT_FALSE(result.has_value());
  release.set_value();
  while (!result) g_main_context_iteration(context, TRUE);
  return *result;
}

TEST_F(AudioRecorderTest, StopWaitsForTheQueueAndDiscardsBuffersNotYetTaken) {
  ASSERT_TRUE(start(meeting_).ok());
  stream().deliver(plain(CaptureSource::system, 3.0));
  settle();
  Result<void> stopped = stopWithQueueHeld(*recorder_, stream(), context_.get(), [&] {
    stream().deliver(plain(CaptureSource::system, 3.02));
    stream().deliver(plain(CaptureSource::microphone, 3.02));
  });
  EXPECT_TRUE(stopped.ok());
  EXPECT_EQ(frames(systemTrackName).size(), 320u);
  EXPECT_FALSE(hasTrack(microphoneTrackName));
  EXPECT_TRUE(log_->closed[trackFileName(systemTrackName)]);
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", 3.0}}));
}

TEST_F(AudioRecorderTest, OnlyTheRunningStreamsStopReportEndsTheRecording) {
  ASSERT_TRUE(start(temp_.folder("earlier")).ok());
  ASSERT_TRUE(stop().ok());
  ASSERT_TRUE(start(meeting_).ok());

  stream(0).reportStop(connectionLost);  // a report of the earlier recording
  stream(1).deliver(plain(CaptureSource::system, 7.0));
  settle();
  EXPECT_THAT(messages(), ::testing::IsEmpty());
  EXPECT_EQ(frames(systemTrackName).size(), 320u);

  stream(1).reportStop(connectionLost);
  stream(1).deliver(plain(CaptureSource::system, 7.02));
  settle();
  EXPECT_THAT(messages(), ElementsAre("Recording stopped: Connection terminated. Recover the "
                                      "saved recording to upload it."));
  EXPECT_EQ(frames(systemTrackName).size(), 320u);
  EXPECT_TRUE(recorder_->isRecording());  // the owner answers with stop()

  // A later report replaces the error and is reported again.
  const Error badState("PulseAudio", 15, "Bad state");
  stream(1).reportStop(badState);
  settle();
  EXPECT_EQ(messages().size(), 2u);
  EXPECT_EQ(stop().error(), badState);
}

TEST_F(AudioRecorderTest, StopReportArrivingAfterStopBeganIsIgnored) {
  ASSERT_TRUE(start(meeting_).ok());
  Result<void> stopped = stopWithQueueHeld(*recorder_, stream(), context_.get(),
                                           [&] { stream().reportStop(connectionLost); });
  EXPECT_TRUE(stopped.ok());
  EXPECT_THAT(messages(), ::testing::IsEmpty());
}

TEST_F(AudioRecorderTest, StopWithoutARecordingSucceeds) {
  EXPECT_TRUE(stop().ok());
  EXPECT_FALSE(recorder_->directory().has_value());
}

TEST_F(AudioRecorderTest, StartWhileRecordingFailsAndLeavesTheRecordingRunning) {
  ASSERT_TRUE(start(meeting_).ok());
  Result<void> second = start(temp_.folder("other"));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), failure("A meeting is already recording."));
  EXPECT_EQ(service_->microphoneRequests, 1);
  EXPECT_EQ(streamCount(), 1u);
  EXPECT_EQ(recorder_->directory(), meeting_);
  stream().deliver(plain(CaptureSource::microphone, 1));
  settle();
  EXPECT_EQ(frames(microphoneTrackName).size(), 320u);
  EXPECT_TRUE(stop().ok());
}

TEST_F(AudioRecorderTest, OverlappingStartsMakeOneStream) {
  std::optional<Result<void>> first, second;
  auto starting = [](AudioRecorder& r, std::filesystem::path folder,
                     std::optional<Result<void>>& out) -> Task<void> {
    out.emplace(co_await r.start(folder));
  };
  spawn(starting(*recorder_, meeting_, first));
  spawn(starting(*recorder_, temp_.folder("other"), second));
  while (!first || !second) g_main_context_iteration(context_.get(), TRUE);
  EXPECT_TRUE(first->ok());
  ASSERT_FALSE(second->ok());
  EXPECT_EQ(second->error(), failure("A meeting is already recording."));
  EXPECT_EQ(streamCount(), 1u);
  EXPECT_EQ(recorder_->directory(), meeting_);
  EXPECT_TRUE(stop().ok());
}

struct StartFailure {
  const char* name;
  std::function<void(CaptureScript&)> arrange;
  Error expected;
  bool resets;  // directory replaced and the last recording's error cleared
  std::size_t streamsMade;
};

TEST_F(AudioRecorderTest, FailedStartLeavesTheStateOfItsStep) {
  const Error refused("PulseAudio", 6, "Connection refused");
  const Error denied("PulseAudio", 2, "Access denied");
  const Error noEntity("PulseAudio", 5, "No such entity");
  const StartFailure cases[] = {
      {"microphone refused", [](CaptureScript& s) { s.microphoneGranted = false; },
       failure("Enable microphone access for Halden in System Settings, then try again."), false,
       0},
      {"outputs cannot be listed", [&](CaptureScript& s) { s.systemAudio = refused; }, refused,
       false, 0},
      {"no output to record",
       [](CaptureScript& s) { s.systemAudio = std::optional<SystemAudioDevice>(); },
       failure("No display is available for Mac audio capture."), false, 0},
      {"stream cannot be made", [&](CaptureScript& s) { s.createError = denied; }, denied, true, 0},
      {"capture does not start", [&](CaptureScript& s) { s.startError = noEntity; }, noEntity, true,
       1},
  };
  for (const StartFailure& c : cases) {
    SCOPED_TRACE(c.name);
    makeRecorder(/*inMemory=*/true);
    // The last recording ended with a write error.
    const auto earlier = temp_.folder(std::string("earlier-") + c.name);
    log_->failAfterAppends[trackFileName(systemTrackName)] = 0;
    ASSERT_TRUE(start(earlier).ok());
    stream().deliver(plain(CaptureSource::system, 1));
    settle();
    ASSERT_EQ(stop().error(), diskFull);

    c.arrange(script());
    const auto folder = temp_.folder(c.name);
    Result<void> started = start(folder);
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error(), c.expected);
    EXPECT_FALSE(recorder_->isRecording());
    EXPECT_EQ(streamCount(), 1 + c.streamsMade);
    EXPECT_EQ(recorder_->directory(), c.resets ? folder : earlier);
    Result<void> stopped = stop();
    EXPECT_EQ(stopped.ok(), c.resets);

    // A new start works at once.
    script() = CaptureScript{};
    ASSERT_TRUE(start(folder).ok());
    stream(streamCount() - 1).deliver(plain(CaptureSource::microphone, 2));
    settle();
    EXPECT_TRUE(stop().ok());
    EXPECT_EQ(frames(microphoneTrackName).size(), 320u);
  }
}

TEST(SerialQueue, RunsClosuresInOrderAndDrainsWhenDestroyed) {
  std::vector<int> order;
  std::thread::id worker;
  {
    SerialQueue queue{std::string(sampleQueueLabel)};
    EXPECT_EQ(queue.label(), "com.tallowmere.halden.audio");
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    queue.submit([gate] { gate.wait(); });
    for (int i = 0; i < 100; ++i) queue.submit([&order, i] { order.push_back(i); });
    queue.submit([&] {
      worker = std::this_thread::get_id();
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      EXPECT_STREQ(name, "halden.audio");
      // Work queued by the worker while draining still runs.
      queue.submit([&order] { order.push_back(100); });
    });
    release.set_value();
  }
  ASSERT_EQ(order.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_NE(worker, std::this_thread::get_id());
}

}  // namespace
}  // namespace halden
