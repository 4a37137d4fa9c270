// The recorder against a real PulseAudio daemon that each test starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numbers>
#include <thread>

#include "base/main_context.h"
#include "capture/audio_recorder.h"
#include "capture/pulse_rig.h"
#include "store/format.h"
#include "store/prepare_chunks.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

using namespace std::chrono_literals;

constexpr double rate = 16000;

// A quiet tone (so that only inserted silence is exactly zero) with 1 ms
// pulses of 0.8 at `clicks` (seconds).
std::vector<float> toneWithClicks(double seconds, double frequency,
                                  const std::vector<double>& clicks) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * rate));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(
        0.05 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
  }
  for (double click : clicks) {
    const auto first = static_cast<std::size_t>(std::lround(click * rate));
    for (std::size_t i = first; i < first + 16 && i < samples.size(); ++i) samples[i] = 0.8f;
  }
  return samples;
}

std::vector<double> clickTrain(double first, double spacing, int count) {
  std::vector<double> times;
  for (int k = 0; k < count; ++k) times.push_back(first + spacing * k);
  return times;
}

std::vector<float> readTrack(const std::filesystem::path& file) {
  auto reader = TrackReader::open(file);
  EXPECT_TRUE(reader.ok()) << file;
  if (!reader.ok()) return {};
  std::vector<float> frames(static_cast<std::size_t>((*reader)->length()));
  EXPECT_TRUE((*reader)->read(0, frames).ok());
  return frames;
}

// Frames where a click begins: above 0.4 after at least 0.1 s below it.
std::vector<std::size_t> clickOnsets(const std::vector<float>& track) {
  std::vector<std::size_t> onsets;
  std::size_t quiet = 0;
  for (std::size_t i = 0; i < track.size(); ++i) {
    if (std::abs(track[i]) > 0.4f) {
      if (quiet >= 1600) onsets.push_back(i);
      quiet = 0;
    } else {
      ++quiet;
    }
  }
  return onsets;
}

// The longest run of exact zeros after the track's first sound, in seconds.
double longestSilence(const std::vector<float>& track) {
  std::size_t i = 0;
  while (i < track.size() && track[i] == 0.0f) ++i;
  std::size_t longest = 0, run = 0;
  for (; i < track.size(); ++i) {
    run = track[i] == 0.0f ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return static_cast<double>(longest) / rate;
}

// Level of `frequency` Hz over [from, from + count) frames.
double toneLevel(const std::vector<float>& track, std::size_t from, std::size_t count,
                 double frequency) {
  double re = 0, im = 0;
  for (std::size_t i = from; i < from + count && i < track.size(); ++i) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / rate;
    re += track[i] * std::cos(phase);
    im += track[i] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(count);
}

class PulseCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.ok()) << "pulseaudio did not start; see " << daemon_.folder();
    recorder_.onError = [this](const std::string& message) {
      std::lock_guard lock(mutex_);
      messages_.push_back(message);
    };
  }

  Result<void> start() { return runToCompletion(recorder_.start(meeting_)); }
  Result<void> stop() { return runToCompletion(recorder_.stop()); }
  std::vector<std::string> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  std::vector<float> track(std::string_view name) {
    return readTrack(meeting_ / trackFileName(name));
  }

  testing::PulseDaemon daemon_;
  testing::PrivateMainContext context_;
  testing::TempFolder temp_;
  std::filesystem::path meeting_ = temp_.folder("meeting");
  AudioRecorder recorder_{createPulseCaptureService()};
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

TEST_F(PulseCaptureTest, ClickTrainsLineUpByTimingAndAPauseStaysSilence) {
  ASSERT_TRUE(start().ok());
  // Idle null sinks deliver their first audio about 2 s late; let both
  // settle to the recorder's short fragments before playing.
  std::this_thread::sleep_for(3s);
  constexpr double offset = 1.5;
  testing::TonePlayer player;
  // Signals outlast the recording: only inserted silence is exactly zero.
  ASSERT_TRUE(player.prepare({
      {"speakers", toneWithClicks(16, 440, clickTrain(0.5, 0.5, 24))},
      {"micsink", toneWithClicks(16 + offset, 660, clickTrain(0.5 + offset, 0.5, 24))},
  }));
  player.start();
  std::this_thread::sleep_for(5s);
  ASSERT_TRUE(daemon_.pactl({"suspend-source", "mic", "1"}));
  std::this_thread::sleep_for(2s);
  ASSERT_TRUE(daemon_.pactl({"suspend-source", "mic", "0"}));
  std::this_thread::sleep_for(6s);
  ASSERT_TRUE(stop().ok());
  EXPECT_TRUE(messages().empty());

  auto timing = readTiming(meeting_);
  ASSERT_TRUE(timing.ok());
  ASSERT_EQ(timing->size(), 2u);
  const double systemStart = timing->at("system");
  const double microphoneStart = timing->at("microphone");
  const std::vector<float> system = track(systemTrackName);
  const std::vector<float> microphone = track(microphoneTrackName);
  std::vector<double> systemClicks, microphoneClicks;
  for (std::size_t onset : clickOnsets(system)) {
    systemClicks.push_back(systemStart + static_cast<double>(onset) / rate);
  }
  for (std::size_t onset : clickOnsets(microphone)) {
    microphoneClicks.push_back(microphoneStart + static_cast<double>(onset) / rate);
  }
  ASSERT_GE(systemClicks.size(), 20u);
  // Each microphone click against the system click played `offset` before
  // it; separately before the pause and after it (where the microphone's
  // time was taken anew from the clock).
  const double pauseBegan = microphoneClicks.empty() ? 0 : microphoneClicks.front() + 3.0;
  std::size_t before = 0, after = 0;
  double worstBefore = 0, worstAfter = 0;
  for (double click : microphoneClicks) {
    double nearest = 1e9;
    for (double other : systemClicks) {
      if (std::abs(click - offset - other) < std::abs(nearest)) nearest = click - offset - other;
    }
    if (std::abs(nearest) > 0.25) continue;  // its partner was not recorded
    const bool early = click < pauseBegan;
    (early ? before : after) += 1;
    double& worst = early ? worstBefore : worstAfter;
    worst = std::max(worst, std::abs(nearest));
    std::printf("misalignment %s the pause: %+.1f ms\n", early ? "before" : "after",
                nearest * 1000);
  }
  std::printf(
      "worst misalignment: %.1f ms over %zu clicks before the pause, %.1f ms over %zu "
      "after\n",
      worstBefore * 1000, before, worstAfter * 1000, after);
  EXPECT_GE(before, 5u);
  EXPECT_LE(worstBefore, 0.010);
  // After the pause the microphone's time comes from the clock alone; the
  // writer's own tolerance (0.1 s) bounds what a pause may shift.
  EXPECT_GE(after, 5u);
  EXPECT_LE(worstAfter, 0.1);

  const double pause = longestSilence(microphone);
  std::printf("microphone pause %.3f s, longest system silence %.3f s\n", pause,
              longestSilence(system));
  EXPECT_NEAR(pause, 2.0, 0.1);
  EXPECT_LT(longestSilence(system), 0.1);
}

TEST_F(PulseCaptureTest, RecordingFollowsTheDefaultDevices) {
  testing::TonePlayer player;
  ASSERT_TRUE(player.prepare({
      {"speakers", toneWithClicks(12, 500, {})},
      {"headphones", toneWithClicks(12, 1500, {})},
      {"micsink", toneWithClicks(12, 700, {})},
      {"micsink2", toneWithClicks(12, 2100, {})},
  }));
  player.start();
  ASSERT_TRUE(start().ok());
  std::this_thread::sleep_for(4s);
  ASSERT_TRUE(daemon_.pactl({"set-default-sink", "headphones"}));
  ASSERT_TRUE(daemon_.pactl({"set-default-source", "mic2"}));
  std::this_thread::sleep_for(3s);
  ASSERT_TRUE(stop().ok());
  EXPECT_TRUE(messages().empty());

  const std::vector<float> system = track(systemTrackName);
  const std::vector<float> microphone = track(microphoneTrackName);
  for (const auto* t : {&system, &microphone}) {
    const double seconds = static_cast<double>(t->size()) / rate;
    const double gap = longestSilence(*t);
    std::printf("track %.2f s, longest gap %.3f s\n", seconds, gap);
    EXPECT_GT(seconds, 5.0);
    EXPECT_LT(gap, 1.0);
  }
  // Before the change each track holds its first device's tone, in its last
  // second the second device's.
  const std::size_t last = system.size() - 16000;
  EXPECT_GT(toneLevel(system, 16000, 16000, 500), 0.02);
  EXPECT_LT(toneLevel(system, 16000, 16000, 1500), 0.005);
  EXPECT_GT(toneLevel(system, last, 16000, 1500), 0.02);
  EXPECT_LT(toneLevel(system, last, 16000, 500), 0.005);
  const std::size_t lastMic = microphone.size() - 16000;
  EXPECT_GT(toneLevel(microphone, 16000, 16000, 700), 0.02);
  EXPECT_GT(toneLevel(microphone, lastMic, 16000, 2100), 0.02);
  EXPECT_LT(toneLevel(microphone, lastMic, 16000, 700), 0.005);
}

TEST_F(PulseCaptureTest, ServerGoingAwayStopsTheRecordingWithItsError) {
  ASSERT_TRUE(start().ok());
  std::this_thread::sleep_for(500ms);
  daemon_.kill();
  for (int i = 0; i < 200 && messages().empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(messages(), std::vector<std::string>{"Recording stopped: Connection terminated. "
                                                 "Recover the saved recording to upload it."});
  Result<void> stopped = stop();
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error().description(), "Connection terminated");
}

TEST_F(PulseCaptureTest, StartIsRefusedWithoutServerOrMicrophone) {
  ASSERT_TRUE(daemon_.pactl({"set-default-source", "speakers.monitor"}));
  Result<void> started = start();
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error().description(),
            "Enable microphone access for Halden in System Settings, then try again.");
  daemon_.kill();
  started = start();
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error().description(),
            "Enable microphone access for Halden in System Settings, then try again.");
  EXPECT_FALSE(recorder_.isRecording());
}

TEST_F(PulseCaptureTest, KilledRecordingLeavesTracksThatPrepare) {
  testing::TonePlayer player;
  ASSERT_TRUE(player.prepare({
      {"speakers", toneWithClicks(20, 500, clickTrain(0.5, 1, 19))},
      {"micsink", toneWithClicks(20, 700, clickTrain(1, 1, 19))},
  }));
  player.start();

  // The helper prints "recording" once capture runs; the ten seconds count
  // from the moment both tracks have begun (idle null sinks deliver their
  // first audio about 2 s late).
  testing::ChildProcess helper({HALDEN_RECORD_HELPER, meeting_.string()});
  ASSERT_EQ(helper.readLine(), "recording");
  for (int i = 0; i < 100; ++i) {
    auto timing = readTiming(meeting_);
    if (timing.ok() && timing->size() == 2) break;
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(10s);
  helper.kill();

  for (std::string_view name : {systemTrackName, microphoneTrackName}) {
    const double seconds = static_cast<double>(track(name).size()) / rate;
    std::printf("%s track after the kill: %.2f s\n", std::string(name).c_str(), seconds);
    EXPECT_GE(seconds, 9.0);
  }
  auto chunks = prepareChunks(meeting_);
  ASSERT_TRUE(chunks.ok()) << chunks.error().description();
  std::uintmax_t frames = 0;
  for (const auto& chunk : *chunks) frames += (std::filesystem::file_size(chunk) - 44) / 2;
  EXPECT_GE(static_cast<double>(frames) / rate, 9.0);
}

}  // namespace
}  // namespace halden
