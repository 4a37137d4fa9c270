#include "capture/audio_recorder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
using ::testing::IsEmpty;
using testing::sineBuffer;
using testing::toneLevel;

const AudioFormat float48Stereo{SampleFormat::float32, 48000, 2};
const Error connectionLost("PulseAudio", 10, "Connection terminated");

// An in-memory track, kept by the test after the recorder destroys (closes)
// its output.
struct MemoryTrack {
  std::vector<float> frames;
  std::optional<bool> closed;  // nullopt: never opened
};

struct MemoryTrackOutput final : TrackOutput {
  explicit MemoryTrackOutput(MemoryTrack& t) : track(t) { track.closed = false; }
  ~MemoryTrackOutput() override { track.closed = true; }
  int64_t length() const override { return static_cast<int64_t>(track.frames.size()); }
  Result<void> append(std::span<const float> frames) override {
    track.frames.insert(track.frames.end(), frames.begin(), frames.end());
    return success();
  }
  MemoryTrack& track;
};

// Starts `task` and returns at once; its result lands in `out`.
void launch(Task<Result<void>> task, std::optional<Result<void>>& out) {
  spawn([](Task<Result<void>> t, std::optional<Result<void>>& o) -> Task<void> {
    o.emplace(co_await t);
  }(std::move(task), out));
}

class AudioRecorderTest : public ::testing::Test {
 protected:
  // Messages are read only after stop() or a drain of the sample queue (which
  // every stream shares), which order them.
  AudioRecorderTest() {
    recorder_.onError = [this](const std::string& message) { messages_.push_back(message); };
  }

  CaptureScript& script() { return service_->script; }
  testing::ScriptedStreamEnd& stream() { return *service_->streams.back(); }
  Result<void> start(const std::filesystem::path& folder) {
    return runToCompletion(recorder_.start(folder));
  }
  Result<void> stop() { return runToCompletion(recorder_.stop()); }
  void deliver(CaptureSource source, double timestamp, int64_t frames = 320) {
    stream().deliver(sineBuffer(source, {SampleFormat::float32, 16000, 1}, frames, timestamp));
  }
  MemoryTrack& track(std::string_view name) { return tracks_[trackFileName(name)]; }
  std::vector<float>& frames(std::string_view name) { return track(name).frames; }
  TimingMap timing(const std::filesystem::path& folder) {
    auto read = readTiming(folder);
    EXPECT_TRUE(read.ok());
    return read.ok() ? *read : TimingMap{};
  }

  testing::PrivateMainContext context_;
  testing::TempFolder temp_;
  std::filesystem::path meeting_ = temp_.folder("meeting");
  std::map<std::string, MemoryTrack> tracks_;  // by file name
  std::vector<std::string> messages_;
  std::shared_ptr<testing::ScriptedCaptureService::State> service_ =
      std::make_shared<testing::ScriptedCaptureService::State>();
  AudioRecorder recorder_{
      std::make_unique<testing::ScriptedCaptureService>(service_),
      [this](const std::filesystem::path& path) -> Result<std::unique_ptr<TrackOutput>> {
        return std::unique_ptr<TrackOutput>(
            new MemoryTrackOutput(tracks_[path.filename().string()]));
      }};
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
  stream().drain();
  // No track began: a track's first buffer writes the timing file.
  EXPECT_FALSE(std::filesystem::exists(meeting_ / timingFileName));
  EXPECT_THAT(messages_, IsEmpty());

  deliver(CaptureSource::system, 10);
  stream().reportStop(connectionLost);
  deliver(CaptureSource::system, 10.02);
  stream().drain();
  EXPECT_EQ(frames(systemTrackName).size(), 320u);
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_TRUE(recorder_.isRecording());  // the owner answers with stop()
  EXPECT_EQ(stop().error(), connectionLost);
}

TEST_F(AudioRecorderTest, EachSourcesFirstBufferStartsItsTrackAndFormatChangesKeepItAligned) {
  ASSERT_TRUE(start(meeting_).ok());
  // The system: 0.5 s of 440 Hz as 48 kHz stereo float from t = 100, then
  // 0.5 s of 1 kHz as 44.1 kHz mono 16-bit from t = 101.
  for (int i = 0; i < 10; ++i) {
    stream().deliver(
        sineBuffer(CaptureSource::system, float48Stereo, 2400, 100 + 0.05 * i, 440, 0.5, 2400 * i));
  }
  stream().drain();
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", 100}}));
  deliver(CaptureSource::microphone, 100.5);
  stream().drain();
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", 100}, {"microphone", 100.5}}));

  deliver(CaptureSource::microphone, 100.52);
  const AudioFormat int16Mono44{SampleFormat::int16, 44100, 1};
  for (int i = 0; i < 10; ++i) {
    stream().deliver(
        sineBuffer(CaptureSource::system, int16Mono44, 2205, 101 + 0.05 * i, 1000, 0.5, 2205 * i));
  }
  stream().drain();
  ASSERT_TRUE(stop().ok());
  EXPECT_THAT(messages_, IsEmpty());
  EXPECT_EQ(track(systemTrackName).closed, true);
  EXPECT_EQ(track(microphoneTrackName).closed, true);
  EXPECT_EQ(frames(microphoneTrackName).size(), 640u);

  const std::vector<float>& system = frames(systemTrackName);
  ASSERT_GT(system.size(), 23400u);
  ASSERT_LE(system.size(), 24000u);
  EXPECT_NEAR(toneLevel(system, 1000, 6000, 440), 0.5, 0.02);
  // Silence between the parts; the second starts 1 s after the first.
  std::size_t firstSound = 9000;
  while (firstSound < system.size() && std::abs(system[firstSound]) < 1e-3) ++firstSound;
  EXPECT_GE(firstSound, 16000u);
  EXPECT_LT(firstSound, 16000u + 160u);
  EXPECT_NEAR(toneLevel(system, 17000, 6000, 1000), 0.5, 0.02);
  EXPECT_LT(toneLevel(system, 17000, 6000, 440), 0.01);
}

// A write error ending both tracks is swept with real files in
// RecordingFaultTest; here: a conversion failure, which outranks the
// stream's own stop error and stays until the next start.
TEST_F(AudioRecorderTest, AConversionFailureIsTheRecordingsErrorReportedOnce) {
  script().stopError = Error("PulseAudio", 8, "Timeout");
  ASSERT_TRUE(start(meeting_).ok());
  for (double t : {4.0, 4.02}) {
    stream().deliver(sineBuffer(CaptureSource::system, {SampleFormat::float32, 2e6, 1}, 320, t));
    deliver(CaptureSource::microphone, t);
  }
  stream().drain();
  Result<void> stopped = stop();
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error().description(), unsupportedFormatMessage);
  EXPECT_EQ(stop().error(), stopped.error());
  EXPECT_EQ(messages_, std::vector<std::string>{audioNotSavedMessage(stopped.error())});
  EXPECT_EQ(track(systemTrackName).closed, true);
  EXPECT_THAT(frames(systemTrackName), IsEmpty());
  EXPECT_EQ(timing(meeting_), (TimingMap{{"system", 4.0}}));
  script().stopError.reset();
  ASSERT_TRUE(start(temp_.folder("next")).ok());
  EXPECT_TRUE(stop().ok());
}

TEST_F(AudioRecorderTest, StopWritesTheAudioAStreamStillHeldSoonAfterAPause) {
  const AudioFormat mono16{SampleFormat::float32, 16000, 1};
  // One second of system audio, a one-second pause, 0.1 s, then the stop.
  ASSERT_TRUE(start(meeting_).ok());
  for (int i = 0; i < 50; ++i) {
    stream().capture(sineBuffer(CaptureSource::system, mono16, 320, 0, 440, 0.5, 320 * i),
                     60 + 0.02 * i);
  }
  // In fragments smaller than what a new resampler holds back at first.
  for (int i = 0; i < 50; ++i) {
    stream().capture(sineBuffer(CaptureSource::system, mono16, 32, 0, 440, 0.5, 16000 + 32 * i),
                     62 + 0.002 * i);
  }
  stream().drain();
  ASSERT_TRUE(stop().ok());
  const std::vector<float>& system = frames(systemTrackName);
  EXPECT_NEAR(static_cast<double>(system.size()), 2.1 * 16000, 2);
  EXPECT_NEAR(toneLevel(system, 32000, 1600, 440), 0.5, 0.01);
  EXPECT_EQ(toneLevel(system, 16200, 15600, 440), 0.0);
}

TEST_F(AudioRecorderTest, StartWhileRecordingOrStartingIsRefusedAndStopWaitsForTheQueue) {
  EXPECT_TRUE(stop().ok());  // nothing to stop

  std::optional<Result<void>> first, second;
  launch(recorder_.start(meeting_), first);
  launch(recorder_.start(temp_.folder("other")), second);
  while (!first || !second) g_main_context_iteration(context_.get(), TRUE);
  EXPECT_TRUE(first->ok());
  for (const Result<void>& refused : {*second, start(temp_.folder("other"))}) {
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), failure(std::string(alreadyRecordingMessage)));
  }
  EXPECT_EQ(service_->streams.size(), 1u);
  EXPECT_EQ(recorder_.directory(), meeting_);
  deliver(CaptureSource::system, 3.0);
  stream().drain();
  // Behind a hold on the queue: buffers and a stop report of the stream that
  // stop() is about to stop.
  std::promise<void> release;
  recorder_.sampleQueue().submit([gate = release.get_future().share()] { gate.wait(); });
  deliver(CaptureSource::system, 3.02);
  deliver(CaptureSource::microphone, 3.02);
  stream().reportStop(connectionLost);
  std::optional<Result<void>> stopped;
  launch(recorder_.stop(), stopped);
  while (stream().stopCalls == 0) g_main_context_iteration(context_.get(), TRUE);
  for (int i = 0; i < 10; ++i) g_main_context_iteration(context_.get(), FALSE);
  EXPECT_FALSE(stopped.has_value());  // the closing step waits behind the hold
  release.set_value();
  while (!stopped) g_main_context_iteration(context_.get(), TRUE);

  EXPECT_TRUE(stopped->ok());
  EXPECT_THAT(messages_, IsEmpty());
  EXPECT_EQ(frames(systemTrackName).size(), 320u);
  EXPECT_EQ(track(microphoneTrackName).closed, std::nullopt);  // never opened
}

TEST_F(AudioRecorderTest, FailedStartLeavesTheStateOfItsStep) {
  struct Case {
    const char* name;
    std::function<void(CaptureScript&)> arrange;
    Error expected;
    bool resets;  // a stream was made, the directory replaced, the last error cleared
  };
  const Error refused("PulseAudio", 6, "Connection refused");
  const Error noEntity("PulseAudio", 5, "No such entity");
  const Case cases[] = {
      {"outputs cannot be listed", [&](CaptureScript& s) { s.systemAudio = refused; }, refused,
       false},
      {"no output to record",
       [](CaptureScript& s) { s.systemAudio = std::optional<SystemAudioDevice>(); },
       failure(std::string(noDisplayMessage)), false},
      {"capture does not start", [&](CaptureScript& s) { s.startError = noEntity; }, noEntity,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The last recording ended with an error of its own.
    const auto earlier = temp_.folder(std::string("earlier-") + c.name);
    ASSERT_TRUE(start(earlier).ok());
    stream().reportStop(connectionLost);
    stream().drain();
    ASSERT_EQ(stop().error(), connectionLost);

    c.arrange(script());
    const std::size_t made = service_->streams.size();
    const auto folder = temp_.folder(c.name);
    EXPECT_EQ(start(folder).error(), c.expected);
    EXPECT_FALSE(recorder_.isRecording());
    EXPECT_EQ(service_->streams.size(), made + (c.resets ? 1 : 0));
    EXPECT_EQ(recorder_.directory(), c.resets ? folder : earlier);
    EXPECT_EQ(stop().ok(), c.resets);

    // A new start works at once.
    script() = CaptureScript{};
    ASSERT_TRUE(start(folder).ok());
    EXPECT_TRUE(stop().ok());
  }
}

TEST(SerialQueue, RunsClosuresInOrderAndDrainsWhenDestroyed) {
  std::vector<int> order;
  {
    SerialQueue queue{std::string(sampleQueueLabel)};
    std::promise<void> release;
    queue.submit([gate = release.get_future().share()] { gate.wait(); });
    for (int i = 0; i < 100; ++i) queue.submit([&order, i] { order.push_back(i); });
    // Work queued by the worker while draining still runs.
    queue.submit([&] { queue.submit([&order] { order.push_back(100); }); });
    release.set_value();
  }
  ASSERT_EQ(order.size(), 101u);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

}  // namespace
}  // namespace halden
