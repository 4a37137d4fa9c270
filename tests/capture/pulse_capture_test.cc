// The recorder against a real sound server that each test starts: PulseAudio,
// and PipeWire through its pulse server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include "base/main_context.h"
#include "capture/audio_recorder.h"
#include "capture/graph_listener.h"
#include "capture/pulse_rig.h"
#include "capture/scripted_capture.h"
#include "store/format.h"
#include "store/prepare_chunks.h"
#include "store/timing.h"
#include "testing/main_context.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

using namespace std::chrono_literals;
using testing::clickSignal;
using testing::SoundServer;
using testing::toneLevel;
using testing::TonePlayer;

constexpr double rate = 16000;

// Times of the clicks in a track that began at `start`: where it rises above
// 0.4 after at least 0.1 s below it.
std::vector<double> clickTimes(const std::vector<float>& track, double start) {
  std::vector<double> times;
  std::size_t quiet = 1600;  // a click may open the track
  for (std::size_t i = 0; i < track.size(); ++i) {
    if (std::abs(track[i]) > 0.4f && quiet >= 1600) times.push_back(start + i / rate);
    quiet = std::abs(track[i]) > 0.4f ? 0 : quiet + 1;
  }
  return times;
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

// A click found in a track: its capture time, and that minus when the server
// played it, seconds.
struct HeardClick {
  double time, late;
};

// Per click `at[k]` seconds into a signal, of which `playedAt` tells when
// the server played a moment: the click among `heard` (capture times) within
// 0.25 s of when it was played; nullopt where the server never told or the
// track lacks it.
template <typename PlayedAt>
std::vector<std::optional<HeardClick>> matchClicks(PlayedAt playedAt, const std::vector<double>& at,
                                                   const std::vector<double>& heard) {
  std::vector<std::optional<HeardClick>> matched(at.size());
  for (std::size_t k = 0; k < at.size(); ++k) {
    const std::optional<double> played = playedAt(at[k]);
    if (!played) continue;
    const auto found = std::find_if(heard.begin(), heard.end(),
                                    [&](double time) { return std::abs(time - *played) < 0.25; });
    if (found != heard.end()) matched[k] = HeardClick{*found, *found - *played};
  }
  return matched;
}

class PulseCaptureTest : public ::testing::TestWithParam<SoundServer::Kind> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << "the sound server did not start; see " << server_.folder();
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
    return testing::readTrack(meeting_ / trackFileName(name));
  }
  // Capture times of the clicks in the system and the microphone track of
  // the recording in meeting_; empty when it lacks a track.
  std::vector<std::vector<double>> trackClicks() {
    auto timing = readTiming(meeting_);
    if (!timing.ok() || timing->size() != 2) return {};
    // Both tracks begin with the recording, whenever their first audio came.
    EXPECT_NEAR(timing->at("system"), timing->at("microphone"), 0.05);
    return {clickTimes(track(systemTrackName), timing->at("system")),
            clickTimes(track(microphoneTrackName), timing->at("microphone"))};
  }

  // On PipeWire, hears `sink` from the graph from now on.
  void hear(const std::string& sink) {
    if (GetParam() != SoundServer::Kind::pipeWire) return;
    if (!graph_) graph_.emplace();
    EXPECT_TRUE(graph_->listen(sink)) << sink;
  }
  // When `sink` played the moment `seconds` into stream `stream` of
  // `player`: by the server's account of the player on PulseAudio, where it
  // holds to a fraction of a millisecond; on PipeWire, whose pulse server
  // accounts for what it took from the player (a cycle off, 50 ms and more
  // for a player's first moments), the click the graph itself played
  // nearest that account; the clicks are 0.5 s apart.
  auto playedBy(TonePlayer& player, std::size_t stream, std::string sink) {
    return [this, &player, stream, sink = std::move(sink)](double seconds) {
      const std::optional<double> account = player.playedAt(stream, seconds);
      if (!account || !graph_) return account;
      return graph_->clickNear(sink, *account, 0.2);
    };
  }

  // How far the start of the signal moved across the clicks `at` seconds
  // into stream `stream` of `player`, as playedBy() tells when they were
  // played: a sink that fell behind real time moves it.
  double startMoved(TonePlayer& player, std::size_t stream, std::string sink,
                    const std::vector<double>& at) {
    const auto playedAt = playedBy(player, stream, std::move(sink));
    std::vector<double> starts;
    for (const double seconds : at) {
      if (const std::optional<double> played = playedAt(seconds))
        starts.push_back(*played - seconds);
    }
    const auto [earliest, latest] = std::minmax_element(starts.begin(), starts.end());
    return starts.empty() ? 0 : *latest - *earliest;
  }

  SoundServer server_{GetParam()};
  std::optional<testing::GraphListener> graph_;
  // How far a click in a track may lie from where the server played it, and
  // from its partner in the other track, seconds.
  const double tolerance_ = 0.010;
  testing::PrivateMainContext context_;
  testing::TempFolder temp_;
  std::filesystem::path meeting_ = temp_.folder("meeting");
  AudioRecorder recorder_{createPulseCaptureService()};
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

TEST_P(PulseCaptureTest, ClickTrainsLineUpByTimingAndAPauseStaysSilence) {
  constexpr double offset = 1.5;
  constexpr int clicks = 24;
  std::vector<double> at[2];  // per stream, seconds into its signal
  for (int k = 0; k < clicks; ++k) {
    at[0].push_back(0.5 + 0.5 * k);
    at[1].push_back(0.5 + offset + 0.5 * k);
  }
  const auto record = [&](TonePlayer& player) {
    graph_.reset();
    ASSERT_TRUE(start().ok());
    hear("speakers");
    hear("micsink");
    // Signals outlast the recording: only inserted silence is exactly zero.
    ASSERT_TRUE(player.play({{"speakers", clickSignal(16, 440, at[0])},
                             {"micsink", clickSignal(16 + offset, 660, at[1])}}));
    // Each null sink starts its stream at its own next cycle, and a sink may
    // fall behind: what the tracks must show is when the server played each
    // click, not when the player asked for it.
    player.followPlayback();
    // Idle sinks may play the clicks up to 2 s later than they were written.
    std::this_thread::sleep_for(7s);
    ASSERT_TRUE(server_.pactl("suspend-source mic 1"));
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(server_.pactl("suspend-source mic 0"));
    std::this_thread::sleep_for(6s);
    ASSERT_TRUE(stop().ok());
    EXPECT_TRUE(messages().empty());
  };
  std::optional<TonePlayer> player;
  // The server's account moves by up to a cycle of its graph (5.3 ms on
  // PipeWire here) plus the estimate's noise.
  const bool keptTime = testing::untilTheServerKeepsTime(0.008, [&](int attempt) {
    meeting_ = temp_.folder("attempt" + std::to_string(attempt));
    record(player.emplace());
    if (HasFatalFailure()) return 0.0;
    return std::max(startMoved(*player, 0, "speakers", at[0]),
                    startMoved(*player, 1, "micsink", at[1]));
  });
  if (HasFatalFailure()) return;
  ASSERT_TRUE(keptTime) << "the server lost time in every attempt";

  const std::vector<std::vector<double>> heard = trackClicks();
  ASSERT_EQ(heard.size(), 2u);
  ASSERT_GE(heard[0].size(), 20u);
  const auto system = matchClicks(playedBy(*player, 0, "speakers"), at[0], heard[0]);
  const auto microphone = matchClicks(playedBy(*player, 1, "micsink"), at[1], heard[1]);
  // Each microphone click against the system click of the same number,
  // separately before the pause and after it. After it the microphone's time
  // comes from the clock alone; the writer's own tolerance (0.1 s) bounds
  // what a pause may shift.
  const double pauseBegan = heard[1].empty() ? 0 : heard[1].front() + 3.0;
  std::size_t count[2] = {};  // before the pause, after it
  double worst[2] = {};
  for (int k = 0; k < clicks; ++k) {
    if (!system[k] || !microphone[k]) continue;
    const int side = microphone[k]->time < pauseBegan ? 0 : 1;
    ++count[side];
    worst[side] = std::max(worst[side], std::abs(microphone[k]->late - system[k]->late));
  }
  EXPECT_GE(count[0], 5u);
  EXPECT_LE(worst[0], tolerance_);
  EXPECT_GE(count[1], 5u);
  EXPECT_LE(worst[1], 0.1);
  // PipeWire's pulse server accepts the suspend but leaves a source that is
  // being recorded running: there the microphone track has no pause.
  const bool pauses = GetParam() == SoundServer::Kind::pulseAudio;
  EXPECT_NEAR(longestSilence(track(microphoneTrackName)), pauses ? 2.0 : 0.0, 0.1);
  EXPECT_LT(longestSilence(track(systemTrackName)), 0.1);
}

// What the devices do around one recording of the placement matrix. Nothing
// is settled beforehand: sinks nobody plays to are idle, as on a desktop
// before a call's audio begins.
enum class Scene {
  idleOutput,        // the clicks are the first audio of any player
  busyOutput,        // a player at the server's default latency plays all along
  latencyDrops,      // clicks at the default latency; a 20 ms player joins
  switchesToIdle,    // the default output becomes an idle sink, clicks play there
  masterStartsLate,  // the microphone's master is an idle sink's monitor
  hearsOutput,       // the microphone hears the output itself, as an echo does
};

struct Placement {
  const char* name;
  Scene scene;
  double clicksAfter;  // seconds from the start of the recording
};

constexpr Placement placements[] = {
    {"microphone that hears the output", Scene::hearsOutput, 0.5},
    {"idle output, audio after 0.1 s", Scene::idleOutput, 0.1},
    {"idle output, audio after 0.3 s", Scene::idleOutput, 0.3},
    {"idle output, audio after 1 s", Scene::idleOutput, 1},
    {"idle output, audio after 2 s", Scene::idleOutput, 2},
    {"idle output, audio after 5 s", Scene::idleOutput, 5},
    {"busy output", Scene::busyOutput, 0.5},
    {"2 s player joined by a 20 ms one", Scene::latencyDrops, 0.3},
    {"microphone whose master starts late", Scene::masterStartsLate, 1.5},
    {"default output switched to an idle sink", Scene::switchesToIdle, 1.5},
};

TEST_P(PulseCaptureTest, EveryClickLiesWhereTheServerPlayedItWhateverStateTheDevicesAreIn) {
  constexpr int clicks = 6;
  // The audio begins with `lead` seconds of a quiet tone; the clicks follow.
  constexpr double spacing = 0.5, lead = 0.2;
  std::vector<double> at;  // seconds into the train
  for (int k = 0; k < clicks; ++k) at.push_back(lead + k * spacing);
  const std::vector<float> train = clickSignal(lead + clicks * spacing + 0.5, 880, at);
  const auto record = [&](const Placement& placement, TonePlayer& player) {
    const std::string output = placement.scene == Scene::switchesToIdle ? "headphones" : "speakers";
    TonePlayer background, joining;
    player.followPlayback();
    graph_.reset();  // no listener of an earlier recording keeps a sink awake
    // A microphone hears the room all along, unless its master is idle
    // (PulseAudio's then delivers its first audio up to 2 s late).
    if (placement.scene != Scene::masterStartsLate) {
      EXPECT_TRUE(background.play({{"micsink", clickSignal(30, 330)}}, 20'000));
    }
    if (placement.scene == Scene::busyOutput) {
      EXPECT_TRUE(
          background.play({{"speakers", clickSignal(30, 440)}}, TonePlayer::serverDefaultLatency));
    }
    std::this_thread::sleep_for(1s);
    const Result<void> started = start();
    EXPECT_TRUE(started.ok()) << started.error().description();
    // The graph is heard once the recording has woken the sinks it records.
    hear("speakers");
    hear("micsink");
    const auto begun = std::chrono::steady_clock::now();
    const auto wait = [begun](double seconds) {
      std::this_thread::sleep_until(begun + std::chrono::duration<double>(seconds));
    };
    if (placement.scene == Scene::switchesToIdle) {
      wait(1);
      EXPECT_TRUE(server_.pactl("set-default-sink headphones"));
      hear("headphones");
    }
    wait(placement.clicksAfter);
    const bool slow = placement.scene == Scene::latencyDrops;
    std::vector<std::pair<std::string, std::vector<float>>> signals = {{output, train}};
    if (placement.scene != Scene::hearsOutput) signals.emplace_back("micsink", train);
    EXPECT_TRUE(player.play(std::move(signals), slow ? TonePlayer::serverDefaultLatency : 20'000))
        << player.error();
    if (slow) {
      wait(placement.clicksAfter + 1.45);  // between two clicks
      EXPECT_TRUE(joining.play({{"speakers", clickSignal(10, 440)}}, 20'000));
    }
    // An idle sink may play the clicks up to its 2 s of pre-rendered audio
    // later than they were written.
    wait(placement.clicksAfter + lead + clicks * spacing + 2.5);
    const Result<void> stopped = stop();
    EXPECT_TRUE(stopped.ok()) << stopped.error().description();
  };

  int index = 0;
  for (const Placement& placement : placements) {
    SCOPED_TRACE(placement.name);
    std::optional<std::string> echo;  // the echo source's module
    if (placement.scene == Scene::hearsOutput) {
      echo =
          server_.pactl("load-module module-remap-source source_name=echo master=speakers.monitor");
      ASSERT_TRUE(echo && server_.pactl("set-default-source echo"));
      // PipeWire's session manager takes the new default a moment later.
      std::this_thread::sleep_for(1s);
    }
    // The stream whose clicks each track (system, microphone) hears, and
    // the sink that plays it.
    const std::size_t heardBy[2] = {0, echo ? 0u : 1u};
    const std::string output = placement.scene == Scene::switchesToIdle ? "headphones" : "speakers";
    const std::string sinks[2] = {output, echo ? output : "micsink"};
    std::optional<TonePlayer> player;
    const bool keptTime = testing::untilTheServerKeepsTime(tolerance_, [&](int) {
      meeting_ = temp_.folder("matrix/" + std::to_string(index++));
      record(placement, player.emplace());
      // Where a sink's latency changes, the account of what it played before
      // may move with it; the microphone's sink keeps time there.
      const double moved = startMoved(*player, heardBy[1], sinks[1], at);
      return placement.scene == Scene::latencyDrops
                 ? moved
                 : std::max(moved, startMoved(*player, heardBy[0], sinks[0], at));
    });
    ASSERT_TRUE(keptTime) << "the server stalled in all 3 attempts";
    const std::vector<std::vector<double>> heard = trackClicks();
    ASSERT_EQ(heard.size(), 2u) << "missing: a track";
    const std::vector<std::optional<HeardClick>> matched[2] = {
        matchClicks(playedBy(*player, heardBy[0], sinks[0]), at, heard[0]),
        matchClicks(playedBy(*player, heardBy[1], sinks[1]), at, heard[1])};
    double worst[3] = {};  // ms: system, microphone, between them
    for (int k = 0; k < clicks; ++k) {
      for (std::size_t t = 0; t < 2; ++t) {
        ASSERT_TRUE(matched[t][k]) << "missing: click " << k << " of track " << t << ", heard at "
                                   << ::testing::PrintToString(heard[t]);
        EXPECT_LE(std::abs(matched[t][k]->late), tolerance_) << k;
        worst[t] = std::max(worst[t], std::abs(matched[t][k]->late) * 1000);
      }
      // An echo is one sound in both tracks: they agree all but exactly.
      const double apart = matched[0][k]->late - matched[1][k]->late;
      EXPECT_LE(std::abs(apart), echo ? 0.002 : tolerance_);
      worst[2] = std::max(worst[2], std::abs(apart) * 1000);
    }
    std::printf(
        "%-42s worst click against its playing: system %.2f ms, microphone %.2f ms; "
        "between the tracks %.2f ms\n",
        placement.name, worst[0], worst[1], worst[2]);
    ASSERT_TRUE(server_.pactl("set-default-sink speakers"));
    if (echo) {
      ASSERT_TRUE(server_.pactl("unload-module " + *echo) &&
                  server_.pactl("set-default-source mic"));
    }
  }
}

TEST_P(PulseCaptureTest, StartNeedsMicrophoneAndServerAndALostServerStopsTheRecording) {
  // A monitor is no microphone.
  ASSERT_TRUE(server_.pactl("set-default-source speakers.monitor"));
  EXPECT_EQ(start().error().description(), microphoneAccessMessage);
  ASSERT_TRUE(server_.pactl("set-default-source mic"));
  ASSERT_TRUE(start().ok());
  std::this_thread::sleep_for(500ms);
  server_.kill();
  for (int i = 0; i < 200 && messages().empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(messages(), std::vector<std::string>{"Recording stopped: Connection terminated. "
                                                 "Recover the saved recording to upload it."});
  EXPECT_EQ(stop().error().description(), "Connection terminated");
  EXPECT_EQ(start().error().description(), microphoneAccessMessage);
}

TEST_P(PulseCaptureTest, RecordingFollowsTheDefaultDevicesAndAKilledOneLeavesTracksThatPrepare) {
  TonePlayer player;
  ASSERT_TRUE(player.play({{"speakers", clickSignal(20, 500)},
                           {"headphones", clickSignal(20, 1500)},
                           {"micsink", clickSignal(20, 700)},
                           {"micsink2", clickSignal(20, 2100)}}));

  // A helper process records, until it is killed. Times count from the
  // moment both tracks have begun (idle null sinks deliver their first audio
  // about 2 s late).
  testing::ChildProcess helper({HALDEN_RECORD_HELPER, meeting_.string()});
  auto bothTracksBegan = [this] {
    auto timing = readTiming(meeting_);
    return timing.ok() && timing->size() == 2;
  };
  for (int i = 0; i < 100 && !bothTracksBegan(); ++i) std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(bothTracksBegan()) << "the helper does not record";
  std::this_thread::sleep_for(4s);
  ASSERT_TRUE(server_.pactl("set-default-sink headphones"));
  ASSERT_TRUE(server_.pactl("set-default-source mic2"));
  std::this_thread::sleep_for(6s);
  helper.kill();

  // Each track holds its first device's tone in the second second of its
  // audio (it opens with silence until its source's first audio), and only
  // the second device's in its last.
  const struct {
    std::string_view name;
    double before, after;
  } tracks[] = {{systemTrackName, 500, 1500}, {microphoneTrackName, 700, 2100}};
  for (const auto& t : tracks) {
    const std::vector<float> frames = track(t.name);
    ASSERT_GE(static_cast<double>(frames.size()) / rate, 9.0);
    EXPECT_LT(longestSilence(frames), 1.0);
    const std::size_t last = frames.size() - 16000;
    const auto begun = static_cast<std::size_t>(
        std::find_if(frames.begin(), frames.end(), [](float x) { return x != 0.0f; }) -
        frames.begin());
    EXPECT_GT(toneLevel(frames, begun + 16000, 16000, t.before), 0.02);
    EXPECT_LT(toneLevel(frames, begun + 16000, 16000, t.after), 0.005);
    EXPECT_GT(toneLevel(frames, last, 16000, t.after), 0.02);
    EXPECT_LT(toneLevel(frames, last, 16000, t.before), 0.005);
  }
  auto chunks = prepareChunks(meeting_);
  ASSERT_TRUE(chunks.ok()) << chunks.error().description();
  std::uintmax_t frames = 0;
  for (const auto& chunk : *chunks) frames += (std::filesystem::file_size(chunk) - 44) / 2;
  EXPECT_GE(static_cast<double>(frames) / rate, 9.0);
}

TEST_P(PulseCaptureTest, StartsAndStopsWhileTheDefaultOutputKeepsChanging) {
  // Server events arrive on the capture's loop thread while its streams are
  // made and torn down; none may find a connection half gone.
  testing::DefaultSinkFlipper flipper;
  for (int i = 0; i < 20 && flipper.switches() < 10; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_GE(flipper.switches(), 10) << "the default sink does not change";
  const int before = flipper.switches();
  for (int cycle = 0; cycle < 40; ++cycle) {
    const std::filesystem::path folder = temp_.folder("cycle" + std::to_string(cycle));
    ASSERT_TRUE(runToCompletion(recorder_.start(folder)).ok()) << cycle;
    std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 7 * 15));
    EXPECT_TRUE(stop().ok()) << cycle;
  }
  EXPECT_GT(flipper.switches() - before, 40);
  EXPECT_TRUE(messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseCaptureTest,
                         ::testing::Values(SoundServer::Kind::pulseAudio,
                                           SoundServer::Kind::pipeWire),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace halden
