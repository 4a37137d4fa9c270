#include "capture/audio_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <string>
#include <vector>

#include "base/main_context.h"
#include "capture/scripted_capture.h"
#include "store/format.h"
#include "store/timing.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

using testing::CaptureScript;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::sineBuffer;
using testing::toneLevel;

const AudioFormat float48Stereo{SampleFormat::float32, 48000, 2};
const Error diskFull(std::string(Error::posixDomain), 28, "No space left on device");
const Error connectionLost("PulseAudio", 10, "Connection terminated");

// In-memory tracks by name, kept after the recorder destroys (closes) them;
// making or appending to them can be made to fail.
struct TrackLog {
  std::map<std::string, std::vector<float>> frames;
  std::map<std::string, bool> closed;
  std::map<std::string, int> failAfterAppends;
  std::optional<Error> createError;
};

class MemoryTrack final : public TrackOutput {
 public:
  MemoryTrack(std::shared_ptr<TrackLog> log, std::string name)
      : log_(std::move(log)), name_(std::move(name)), frames_(log_->frames[name_]) {
    log_->closed[name_] = false;
  }
  ~MemoryTrack() override { log_->closed[name_] = true; }
  int64_t length() const override { return static_cast<int64_t>(frames_.size()); }
  Result<void> append(std::span<const float> frames) override {
    auto limit = log_->failAfterAppends.find(name_);
    if (limit != log_->failAfterAppends.end() && limit->second-- == 0) return diskFull;
    frames_.insert(frames_.end(), frames.begin(), frames.end());
    return success();
  }

 private:
  std::shared_ptr<TrackLog> log_;
  std::string name_;
  std::vector<float>& frames_;
};

// Starts `task` and returns at once; its result lands in `out`.
void launch(Task<Result<void>> task, std::optional<Result<void>>& out) {
  spawn([](Task<Result<void>> t, std::optional<Result<void>>& o) -> Task<void> {
    o.emplace(co_await t);
  }(std::move(task), out));
}

class AudioRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { makeRecorder(); }

  // Messages are read only after settle() or stop(), which order them.
  void makeRecorder() {
    recorder_.reset();
    log_ = std::make_shared<TrackLog>();
    service_ = std::make_shared<testing::ScriptedCaptureService::State>();
    messages_.clear();
    recorder_ = std::make_unique<AudioRecorder>(
        std::make_unique<testing::ScriptedCaptureService>(service_),
        [log = log_](const std::filesystem::path& path) -> Result<std::unique_ptr<TrackOutput>> {
          if (log->createError) return *log->createError;
          return std::unique_ptr<TrackOutput>(new MemoryTrack(log, path.filename().string()));
        });
    recorder_->onError = [this](const std::string& message) { messages_.push_back(message); };
  }

  CaptureScript& script() { return service_->script; }
  testing::ScriptedStreamEnd& stream() { return *service_->streams.back(); }
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
  void deliver(CaptureSource source, double timestamp, int64_t frames = 320) {
    stream().deliver(sineBuffer(source, {SampleFormat::float32, 16000, 1}, frames, timestamp));
  }
  std::vector<float>& frames(std::string_view track) { return log_->frames[trackFileName(track)]; }
  bool hasTrack(std::string_view track) { return log_->frames.contains(trackFileName(track)); }
  bool closed(std::string_view track) { return log_->closed[trackFileName(track)]; }
  TimingMap timing(const std::filesystem::path& folder) {
    auto read = readTiming(folder);
    EXPECT_TRUE(read.ok());
    return read.ok() ? *read : TimingMap{};
  }

  testing::PrivateMainContext context_;
  testing::TempFolder temp_;
  std::filesystem::path meeting_ = temp_.folder("meeting");
  std::shared_ptr<TrackLog> log_;
  std::shared_ptr<testing::ScriptedCaptureService::State> service_;
  std::unique_ptr<AudioRecorder> recorder_;
  std::vector<std::string> messages_;
};

TEST_F(AudioRecorderTest, TakesOnlyTheRunningStreamsWellFormedAudioUntilItReportsAStop) {
  ASSERT_TRUE(start(temp_.folder("earlier")).ok());
  ASSERT_TRUE(stop().ok());
  testing::ScriptedStreamEnd& earlier = stream();
  ASSERT_TRUE(start(meeting_).ok());

  earlier.deliver(sineBuffer(CaptureSource::system, float48Stereo, 960, 10));
  earlier.reportStop(connectionLost);
  deliver(CaptureSource::microphone, 10, 0);
  CaptureBuffer invalid = sineBuffer(CaptureSource::system, float48Stereo, 960, 10);
  invalid.samples.pop_back();
  stream().deliver(invalid);
  invalid.format.reset();
  invalid.samples.push_back({});
  stream().deliver(invalid);
  settle();
  EXPECT_FALSE(hasTrack(systemTrackName));
  EXPECT_FALSE(hasTrack(microphoneTrackName));
  EXPECT_FALSE(std::filesystem::exists(meeting_ / timingFileName));
  EXPECT_THAT(messages_, IsEmpty());

  deliver(CaptureSource::system, 10);
  stream().reportStop(connectionLost);
  deliver(CaptureSource::system, 10.02);
  settle();
  EXPECT_EQ(frames(systemTrackName).size(), 320u);
  EXPECT_THAT(messages_, ElementsAre("Recording stopped: Connection terminated. Recover the "
                                     "saved recording to upload it."));
  EXPECT_TRUE(recorder_->isRecording());  // the owner answers with stop()

  // A later report replaces the error and is reported again.
  const Error badState("PulseAudio", 15, "Bad state");
  stream().reportStop(badState);
  settle();
  EXPECT_EQ(messages_.size(), 2u);
  EXPECT_EQ(stop().error(), badState);
}

TEST_F(AudioRecorderTest, EachSourcesFirstBufferStartsItsTrackAndFormatChangesKeepItAligned) {
  ASSERT_TRUE(start(meeting_).ok());
  // The system: 0.5 s of 440 Hz as 48 kHz stereo float from t = 100, then
  // 0.5 s of 1 kHz as 44.1 kHz mono 16-bit from t = 101.
  for (int i = 0; i < 10; ++i) {
    stream().deliver(
        sineBuffer(CaptureSource::system, float48Stereo, 2400, 100 + 0.05 * i, 440, 0.5, 2400 * i));
  }
  settle();
  EXPECT_TRUE(hasTrack(systemTrackName));
  EXPECT_FALSE(hasTrack(microphoneTrackName));
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", 100}}));
  deliver(CaptureSource::microphone, 100.5);
  settle();
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", 100}, {"microphone", 100.5}}));

  // timing.json is written when a track starts, not for later buffers.
  std::filesystem::remove(meeting_ / timingFileName);
  deliver(CaptureSource::microphone, 100.52);
  const AudioFormat int16Mono44{SampleFormat::int16, 44100, 1};
  for (int i = 0; i < 10; ++i) {
    stream().deliver(
        sineBuffer(CaptureSource::system, int16Mono44, 2205, 101 + 0.05 * i, 1000, 0.5, 2205 * i));
  }
  settle();
  EXPECT_FALSE(std::filesystem::exists(meeting_ / timingFileName));
  ASSERT_TRUE(stop().ok());
  EXPECT_THAT(messages_, IsEmpty());
  EXPECT_TRUE(closed(systemTrackName));
  EXPECT_TRUE(closed(microphoneTrackName));
  EXPECT_EQ(frames(microphoneTrackName).size(), 640u);

  const std::vector<float>& track = frames(systemTrackName);
  ASSERT_GT(track.size(), 23400u);
  ASSERT_LE(track.size(), 24000u);
  EXPECT_NEAR(testing::toneLevel(track, 1000, 6000, 440), 0.5, 0.02);
  // Silence between the parts; the second starts 1 s after the first.
  std::size_t firstSound = 9000;
  while (firstSound < track.size() && std::abs(track[firstSound]) < 1e-3) ++firstSound;
  EXPECT_GE(firstSound, 16000u);
  EXPECT_LT(firstSound, 16000u + 160u);
  EXPECT_NEAR(testing::toneLevel(track, 17000, 6000, 1000), 0.5, 0.02);
  EXPECT_LT(testing::toneLevel(track, 17000, 6000, 440), 0.01);
}

TEST_F(AudioRecorderTest, WriteFailureIsReportedOnceAndEndsWritingOfBothTracks) {
  log_->failAfterAppends[trackFileName(microphoneTrackName)] = 1;
  script().stopError = Error("PulseAudio", 8, "Timeout");
  ASSERT_TRUE(start(meeting_).ok());
  for (double t : {1.0, 1.02, 1.04}) {  // the second microphone buffer fails
    deliver(CaptureSource::system, t);
    deliver(CaptureSource::microphone, t);
  }
  settle();
  EXPECT_THAT(messages_, ElementsAre("Audio could not be saved: No space left on device. End "
                                     "the meeting and check available disk space."));
  EXPECT_EQ(frames(systemTrackName).size(), 640u);
  EXPECT_EQ(frames(microphoneTrackName).size(), 320u);

  // The write error comes before the stream's stop error and stays until
  // the next start.
  EXPECT_EQ(stop().error(), diskFull);
  EXPECT_TRUE(closed(systemTrackName));
  EXPECT_EQ(messages_.size(), 1u);
  script().stopError.reset();
  EXPECT_EQ(stop().error(), diskFull);
  ASSERT_TRUE(start(temp_.folder("next")).ok());
  EXPECT_TRUE(stop().ok());
}

TEST_F(AudioRecorderTest, FailureOnASourcesFirstBufferIsTheRecordingsError) {
  struct Case {
    const char* name;
    double rate;
    std::optional<Error> createError;
    bool folderGone;
    std::string description;  // of the recording's error; empty: any
    bool trackMade;
    bool timingWritten;
  };
  const Error denied(std::string(Error::posixDomain), 13, "Permission denied");
  const Case cases[] = {
      {"no converter", 2e6, {}, false, std::string(unsupportedFormatMessage), true, true},
      {"no track file", 16000, denied, false, "Permission denied", false, false},
      {"no timing.json", 16000, {}, true, "", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeRecorder();
    log_->createError = c.createError;
    const auto folder = temp_.folder(c.name);
    ASSERT_TRUE(start(folder).ok());
    if (c.folderGone) std::filesystem::remove_all(folder);
    stream().deliver(
        sineBuffer(CaptureSource::system, {SampleFormat::float32, c.rate, 1}, 320, 4.0));
    deliver(CaptureSource::microphone, 4.0);  // ignored: the recording failed
    settle();
    Result<void> stopped = stop();
    ASSERT_FALSE(stopped.ok());
    if (!c.description.empty()) {
      EXPECT_EQ(stopped.error().description(), c.description);
    }
    EXPECT_THAT(messages_, ElementsAre(audioNotSavedMessage(stopped.error())));
    EXPECT_FALSE(hasTrack(microphoneTrackName));
    EXPECT_EQ(hasTrack(systemTrackName), c.trackMade);
    EXPECT_TRUE(log_->frames[trackFileName(systemTrackName)].empty());
    EXPECT_EQ(std::filesystem::exists(folder / timingFileName), c.timingWritten);
    if (c.timingWritten) {
      EXPECT_EQ(timing(folder), (TimingMap{{"system", 4.0}}));
    }
  }
}

TEST_F(AudioRecorderTest, StopWaitsForTheQueueAndDiscardsWhatItHasNotTaken) {
  ASSERT_TRUE(start(meeting_).ok());
  deliver(CaptureSource::system, 3.0);
  settle();
  // Behind a hold on the queue: buffers and a stop report of the stream that
  // stop() is about to stop.
  std::promise<void> release;
  recorder_->sampleQueue().submit([gate = release.get_future().share()] { gate.wait(); });
  deliver(CaptureSource::system, 3.02);
  deliver(CaptureSource::microphone, 3.02);
  stream().reportStop(connectionLost);
  std::optional<Result<void>> stopped;
  launch(recorder_->stop(), stopped);
  while (stream().stopCalls == 0) g_main_context_iteration(context_.get(), TRUE);
  for (int i = 0; i < 10; ++i) g_main_context_iteration(context_.get(), FALSE);
  EXPECT_FALSE(stopped.has_value());  // the closing step waits behind the hold
  release.set_value();
  while (!stopped) g_main_context_iteration(context_.get(), TRUE);

  EXPECT_TRUE(stopped->ok());
  EXPECT_THAT(messages_, IsEmpty());
  EXPECT_EQ(frames(systemTrackName).size(), 320u);
  EXPECT_FALSE(hasTrack(microphoneTrackName));
  EXPECT_TRUE(closed(systemTrackName));
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", 3.0}}));
}

TEST_F(AudioRecorderTest, StopWritesTheAudioAStreamStillHeldSoonAfterItsStartOrAPause) {
  const AudioFormat mono16{SampleFormat::float32, 16000, 1};
  // Stopped 0.1 s after the microphone's first buffer: nothing delivered yet.
  ASSERT_TRUE(start(meeting_).ok());
  for (int i = 0; i < 5; ++i) {
    stream().capture(sineBuffer(CaptureSource::microphone, mono16, 320, 0, 440, 0.5, 320 * i),
                     50 + 0.02 * i);
  }
  settle();
  EXPECT_FALSE(hasTrack(microphoneTrackName));
  ASSERT_TRUE(stop().ok());
  const std::vector<float>& microphone = frames(microphoneTrackName);
  EXPECT_NEAR(static_cast<double>(microphone.size()), 1600, 2);
  EXPECT_NEAR(toneLevel(microphone, 0, 1600, 440), 0.5, 0.01);
  EXPECT_EQ(timing(meeting_), (TimingMap{{"microphone", 50}}));

  // One second of system audio, a one-second pause, 0.1 s, then the stop.
  const std::filesystem::path second = temp_.folder("second");
  ASSERT_TRUE(start(second).ok());
  for (int i = 0; i < 50; ++i) {
    stream().capture(sineBuffer(CaptureSource::system, mono16, 320, 0, 440, 0.5, 320 * i),
                     60 + 0.02 * i);
  }
  // In fragments smaller than what a new resampler holds back at first.
  for (int i = 0; i < 50; ++i) {
    stream().capture(
        sineBuffer(CaptureSource::system, mono16, 32, 0, 440, 0.5, 16000 + 32 * i),
        62 + 0.002 * i);
  }
  settle();
  ASSERT_TRUE(stop().ok());
  const std::vector<float>& system = frames(systemTrackName);
  EXPECT_NEAR(static_cast<double>(system.size()), 2.1 * 16000, 2);
  EXPECT_NEAR(toneLevel(system, 32000, 1600, 440), 0.5, 0.01);
  EXPECT_EQ(toneLevel(system, 16200, 15600, 440), 0.0);
}

TEST_F(AudioRecorderTest, StartWhileRecordingOrStartingIsRefused) {
  EXPECT_TRUE(stop().ok());  // nothing to stop
  EXPECT_FALSE(recorder_->directory().has_value());

  std::optional<Result<void>> first, second;
  launch(recorder_->start(meeting_), first);
  launch(recorder_->start(temp_.folder("other")), second);
  while (!first || !second) g_main_context_iteration(context_.get(), TRUE);
  EXPECT_TRUE(first->ok());
  for (const Result<void>& refused : {*second, start(temp_.folder("other"))}) {
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), failure(std::string(alreadyRecordingMessage)));
  }
  EXPECT_EQ(service_->microphoneRequests, 1);
  EXPECT_EQ(service_->streams.size(), 1u);
  EXPECT_EQ(recorder_->directory(), meeting_);
  deliver(CaptureSource::microphone, 1);
  settle();
  EXPECT_TRUE(stop().ok());
  EXPECT_EQ(frames(microphoneTrackName).size(), 320u);
}

TEST_F(AudioRecorderTest, FailedStartLeavesTheStateOfItsStep) {
  struct Case {
    const char* name;
    std::function<void(CaptureScript&)> arrange;
    Error expected;
    bool resets;  // directory replaced and the last recording's error cleared
    std::size_t streamsMade;
  };
  const Error refused("PulseAudio", 6, "Connection refused");
  const Error denied("PulseAudio", 2, "Access denied");
  const Error noEntity("PulseAudio", 5, "No such entity");
  const Case cases[] = {
      {"microphone refused", [](CaptureScript& s) { s.microphoneGranted = false; },
       failure(std::string(microphoneAccessMessage)), false, 0},
      {"outputs cannot be listed", [&](CaptureScript& s) { s.systemAudio = refused; }, refused,
       false, 0},
      {"no output to record",
       [](CaptureScript& s) { s.systemAudio = std::optional<SystemAudioDevice>(); },
       failure(std::string(noDisplayMessage)), false, 0},
      {"stream cannot be made", [&](CaptureScript& s) { s.createError = denied; }, denied, true, 0},
      {"capture does not start", [&](CaptureScript& s) { s.startError = noEntity; }, noEntity, true,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    makeRecorder();
    // The last recording ended with a write error.
    const auto earlier = temp_.folder(std::string("earlier-") + c.name);
    log_->failAfterAppends[trackFileName(systemTrackName)] = 0;
    ASSERT_TRUE(start(earlier).ok());
    deliver(CaptureSource::system, 1);
    settle();
    ASSERT_EQ(stop().error(), diskFull);

    c.arrange(script());
    const auto folder = temp_.folder(c.name);
    EXPECT_EQ(start(folder).error(), c.expected);
    EXPECT_FALSE(recorder_->isRecording());
    EXPECT_EQ(service_->streams.size(), 1 + c.streamsMade);
    EXPECT_EQ(recorder_->directory(), c.resets ? folder : earlier);
    EXPECT_EQ(stop().ok(), c.resets);

    // A new start works at once.
    script() = CaptureScript{};
    ASSERT_TRUE(start(folder).ok());
    deliver(CaptureSource::microphone, 2);
    settle();
    EXPECT_TRUE(stop().ok());
    EXPECT_EQ(frames(microphoneTrackName).size(), 320u);
  }
}

TEST(SerialQueue, RunsClosuresInOrderOnItsThreadAndDrainsWhenDestroyed) {
  std::vector<int> order;
  std::thread::id worker;
  {
    SerialQueue queue{std::string(sampleQueueLabel)};
    std::promise<void> release;
    queue.submit([gate = release.get_future().share()] { gate.wait(); });
    for (int i = 0; i < 100; ++i) queue.submit([&order, i] { order.push_back(i); });
    queue.submit([&] {
      worker = std::this_thread::get_id();
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      EXPECT_STREQ(name, "halden.audio");  // the label's tail that fits
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
