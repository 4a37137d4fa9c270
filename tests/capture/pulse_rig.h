// The sound server of the integration tests runs in its own runtime folder
// with null sinks "speakers" and "headphones" as outputs and two virtual
// microphones, "mic" and "mic2": each the monitor of a null sink ("micsink",
// "micsink2") that the test plays into. Defaults: sink "speakers", source
// "mic". The test process's environment points the client library at it for
// the fixture's lifetime.
#pragma once

#include <pulse/pulseaudio.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <numbers>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "testing/child_process.h"
#include "testing/temp_folder.h"

namespace halden::testing {

// A private sound server that speaks the PulseAudio protocol: a PulseAudio
// daemon, or PipeWire with its session manager and pulse server (and the
// session bus the session manager wants). Only the rig's own devices exist:
// the user's configuration, state and hardware stay out.
class SoundServer {
 public:
  enum class Kind { pulseAudio, pipeWire };

  // Starts the server, adds the devices and waits until it answers with
  // them as defaults. Check ok() afterwards.
  explicit SoundServer(Kind kind) {
    const std::filesystem::path runtime = temp_.folder("runtime");
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    for (const auto& [name, folder] : {std::pair{"XDG_RUNTIME_DIR", "runtime"},
                                       {"HOME", "home"},
                                       {"XDG_CONFIG_HOME", "config"},
                                       {"XDG_STATE_HOME", "state"},
                                       {"XDG_DATA_HOME", "data"}}) {
      setenv(name, temp_.folder(folder).c_str(), 1);
    }
    setenv("PULSE_RUNTIME_PATH", (runtime / "pulse").c_str(), 1);
    setenv("PULSE_STATE_PATH", (temp_ / "state").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + (runtime / "pulse" / "native").string()).c_str(), 1);
    for (const char* name :
         {"DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE", "PIPEWIRE_CONFIG_DIR",
          "PIPEWIRE_CONFIG_NAME", "WIREPLUMBER_CONFIG_DIR", "PULSE_CLIENTCONFIG", "PULSE_COOKIE"}) {
      unsetenv(name);
    }
    const bool started = kind == Kind::pulseAudio ? startPulseAudio() : startPipeWire(runtime);
    // The defaults hold once the server reports them; on PipeWire the
    // session manager applies them a moment after it was told.
    for (int i = 0; i < 100 && started && !ok_ && running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ok_ = pactl("get-default-sink") == "speakers" && pactl("get-default-source") == "mic";
    }
  }
  // Ends the processes in the reverse order of their start.
  ~SoundServer() {
    while (!processes_.empty()) processes_.pop_back();
  }

  bool ok() const { return ok_; }
  // What "pactl <args>" prints, without the last newline; nullopt when it
  // failed.
  std::optional<std::string> pactl(const std::string& args) const {
    FILE* pipe = popen(("pactl " + args + " 2>/dev/null").c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string output;
    char block[256];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, pipe)) > 0;)
      output.append(block, n);
    if (pclose(pipe) != 0) return std::nullopt;
    if (output.ends_with('\n')) output.pop_back();
    return output;
  }
  // Kills the server at once, as a crash would: PulseAudio's daemon, or
  // PipeWire's, under a pulse server that stays behind without it.
  void kill() { processes_.at(core_).kill(); }
  const std::filesystem::path& folder() const { return temp_.path(); }
  // How each of the server's processes that has ended ended, as
  // "pulseaudio killed by signal 9"; empty while all run.
  std::string ended() {
    std::string report;
    for (std::size_t i = 0; i < processes_.size(); ++i) {
      const std::optional<int> status = processes_[i].poll();
      if (!status) continue;
      report += (report.empty() ? "" : ", ") + names_[i];
      if (*status < 0) {
        report += " reaped elsewhere";
      } else if (WIFSIGNALED(*status)) {
        report += " killed by signal " + std::to_string(WTERMSIG(*status));
      } else {
        report += " exited with " + std::to_string(WEXITSTATUS(*status));
      }
    }
    return report;
  }

 private:
  // The rig's devices, in PulseAudio's command syntax.
  static constexpr const char* devices[] = {
      "load-module module-null-sink sink_name=speakers",
      "load-module module-null-sink sink_name=headphones",
      "load-module module-null-sink sink_name=micsink",
      "load-module module-null-sink sink_name=micsink2",
      "load-module module-remap-source source_name=mic master=micsink.monitor",
      "load-module module-remap-source source_name=mic2 master=micsink2.monitor",
      "set-default-sink speakers",
      "set-default-source mic",
  };

  bool startPulseAudio() {
    std::string script = "load-module module-native-protocol-unix\n";
    for (const char* line : devices) script += std::string(line) + "\n";
    writeBytes(temp_ / "rig.pa", script);
    // -n: only the script's modules. --system=no with root: the daemon warns
    // and runs as a per-user server.
    start({"pulseaudio", "-n", "-F", (temp_ / "rig.pa").string(), "--daemonize=no", "--system=no",
           "--use-pid-file=no", "--exit-idle-time=-1", "--log-target=stderr",
           "--log-level=warning"});
    return true;
  }

  bool startPipeWire(const std::filesystem::path& runtime) {
    setenv("PIPEWIRE_RUNTIME_DIR", runtime.c_str(), 1);
    // No hardware: the session manager would otherwise open the machine's
    // sound cards, cameras and Bluetooth devices.
    writeBytes(temp_.folder("config/wireplumber/main.lua.d") / "51-halden-rig.lua",
               "alsa_monitor.enabled = false\n"
               "v4l2_monitor.enabled = false\n"
               "libcamera_monitor.enabled = false\n");
    writeBytes(temp_.folder("config/wireplumber/bluetooth.lua.d") / "51-halden-rig.lua",
               "bluez_monitor.enabled = false\n");
    // The session manager gives up without a session bus.
    const std::string bus = "unix:path=" + (runtime / "bus").string();
    start({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus});
    if (!waitFor(runtime / "bus")) return false;
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    core_ = processes_.size();
    start({"pipewire"});
    if (!waitFor(runtime / "pipewire-0")) return false;
    start({"wireplumber"});
    start({"pipewire-pulse"});
    if (!waitFor(runtime / "pulse" / "native")) return false;
    // pactl takes the same commands.
    for (const char* line : devices) {
      if (!pactl(line)) return false;
    }
    return true;
  }

  // Starts one process of the server; its output goes to <name>.log.
  void start(std::vector<std::string> argv) {
    const ChildOutput log = ChildOutput::appendTo(temp_ / (argv.front() + ".log"));
    names_.push_back(argv.front());
    processes_.emplace_back(std::move(argv), log, log);
  }
  bool running() {
    return !processes_.empty() &&
           std::all_of(processes_.begin(), processes_.end(), [](auto& p) { return p.running(); });
  }
  // Waits up to 10 s for a process of the server to make `socket`.
  bool waitFor(const std::filesystem::path& socket) {
    for (int i = 0; i < 1000 && running(); ++i) {
      if (std::filesystem::exists(socket)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  TempFolder temp_;
  std::deque<ChildProcess> processes_;  // in the order started
  std::vector<std::string> names_;      // of processes_
  std::size_t core_ = 0;                // the one kill() ends
  bool ok_ = false;
};

// Names the server in test names.
inline void PrintTo(SoundServer::Kind kind, std::ostream* out) {
  *out << (kind == SoundServer::Kind::pulseAudio ? "PulseAudio" : "PipeWire");
}

inline void forget(pa_operation* operation) {
  if (operation) pa_operation_unref(operation);
}

// `seconds` of 16 kHz audio: a quiet tone at `frequency` Hz (none at 0), so
// that only inserted silence is exactly zero, with 1 ms clicks of `level` at
// `clicks` (seconds into it).
inline std::vector<float> clickSignal(double seconds, double frequency,
                                      const std::vector<double>& clicks = {}, float level = 0.8f) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>(0.05 * std::sin(2 * std::numbers::pi * frequency * i / 16000));
  }
  for (const double at : clicks) {
    const auto first = static_cast<std::size_t>(std::lround(at * 16000));
    for (std::size_t i = first; i < first + 16 && i < samples.size(); ++i) samples[i] = level;
  }
  return samples;
}

// Plays 16 kHz mono float audio into sinks, every stream starting at the
// same moment and staying on its sink. Silence follows each signal's end.
class TonePlayer {
 public:
  TonePlayer() {
    pa_context_set_state_callback(context_, &wake, loop_);
    pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    pa_threaded_mainloop_start(loop_);
  }
  ~TonePlayer() {
    follower_ = {};  // stops and joins it
    pa_threaded_mainloop_stop(loop_);
    for (auto& stream : streams_) pa_stream_unref(stream->stream);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
  }

  // The latency a player gets when it asks for none: PulseAudio's default
  // of about 2 s, which lets a sink render that far ahead.
  static constexpr pa_usec_t serverDefaultLatency = 0;

  // Connects one stream per (sink, samples), each corked until all are
  // ready, then starts them together, asking for `latency` (microseconds).
  // Can be called again: streams are numbered in the order of all calls.
  // False when a stream cannot play.
  // Streams that are `movable` may be moved to another sink.
  bool play(std::vector<std::pair<std::string, std::vector<float>>> signals,
            pa_usec_t latency = 40'000, bool movable = false) {
    const auto locked = lock();
    while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return false;
      pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 16000, 1};
    const uint32_t target = latency == serverDefaultLatency
                                ? UINT32_MAX
                                : static_cast<uint32_t>(pa_usec_to_bytes(latency, &spec));
    const pa_buffer_attr attributes{UINT32_MAX, target, UINT32_MAX, UINT32_MAX, UINT32_MAX};
    const std::size_t first = streams_.size();
    for (auto& [sink, samples] : signals) {
      auto& stream = *streams_.emplace_back(new Stream{
          pa_stream_new(context_, "test signal", &spec, nullptr), std::move(samples), 0, {}});
      pa_stream_set_write_callback(stream.stream, &Stream::write, &stream);
      pa_stream_set_state_callback(stream.stream, &wake, loop_);
      pa_stream_connect_playback(
          stream.stream, sink.c_str(), &attributes,
          static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                         (movable ? 0 : PA_STREAM_DONT_MOVE) |
                                         PA_STREAM_INTERPOLATE_TIMING |
                                         PA_STREAM_AUTO_TIMING_UPDATE),
          nullptr, nullptr);
    }
    bool ready = true;
    for (std::size_t i = first; i < streams_.size(); ++i) {
      while (pa_stream_get_state(streams_[i]->stream) == PA_STREAM_CREATING) {
        pa_threaded_mainloop_wait(loop_);
      }
      ready = ready && pa_stream_get_state(streams_[i]->stream) == PA_STREAM_READY;
    }
    for (std::size_t i = first; i < streams_.size(); ++i) {
      forget(pa_stream_cork(streams_[i]->stream, 0, nullptr, nullptr));
    }
    return ready;
  }

  // The server's index of stream `index` (its sink input).
  uint32_t sinkInput(std::size_t index) {
    const auto locked = lock();
    return pa_stream_get_index(streams_.at(index)->stream);
  }

  // Why play() failed.
  std::string error() {
    const auto locked = lock();
    return pa_strerror(pa_context_errno(context_));
  }

  // Asks the server, every few milliseconds until the player goes, how far
  // each stream has played, so that playedAt() can tell when any part of a
  // signal was played. Call after play().
  void followPlayback() {
    follower_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) {
        {
          const auto locked = lock();
          for (auto& stream : streams_) {
            forget(pa_stream_update_timing_info(stream->stream, &Stream::timed, stream.get()));
          }
        }
        // Not a divisor of a sink's cycle: replies come at every phase of it.
        std::this_thread::sleep_for(std::chrono::microseconds(7'300));
      }
    });
  }

  // When the sink played the frame `seconds` into stream `index`'s signal,
  // on CLOCK_MONOTONIC, by the server's account of the half second around
  // it. A sink counts played frames a whole cycle at a time, so each reply
  // puts the frame late by up to one cycle, never early: the earliest is
  // kept. Where the server lost time (a stream ran dry, a sink fell behind),
  // this follows it. nullopt when no reply covers that part of the signal.
  std::optional<double> playedAt(std::size_t index, double seconds) {
    const auto locked = lock();
    std::optional<double> start;
    for (const auto& [at, played] : streams_.at(index)->timings) {
      if (std::abs(played - seconds) > 0.25) continue;
      start = std::min(start.value_or(at - played), at - played);
    }
    if (!start) return std::nullopt;
    return *start + seconds;
  }

  // How many frames of stream `index`'s signal the sink has played, by the
  // server's clock; -1 before the server has told.
  int64_t playedFrames(std::size_t index) {
    const auto locked = lock();
    pa_usec_t usec = 0;
    if (pa_stream_get_time(streams_.at(index)->stream, &usec) != 0) return -1;
    return static_cast<int64_t>(usec * 16000 / 1'000'000);
  }

 private:
  struct Stream {
    pa_stream* stream;
    std::vector<float> samples;
    std::size_t position = 0;
    // Loop thread: (CLOCK_MONOTONIC seconds of a timing reply, seconds of
    // the signal the sink had played by then).
    std::vector<std::pair<double, double>> timings;

    static void timed(pa_stream* stream, int success, void* data) {
      const pa_timing_info* timing = pa_stream_get_timing_info(stream);
      if (!success || !timing || timing->read_index_corrupt) return;
      // steady_clock reads CLOCK_MONOTONIC, the capture clock.
      const std::chrono::duration<double> now = std::chrono::steady_clock::now().time_since_epoch();
      const pa_usec_t read =
          pa_bytes_to_usec(static_cast<uint64_t>(std::max<int64_t>(timing->read_index, 0)),
                           pa_stream_get_sample_spec(stream));
      const double played =
          (static_cast<double>(read) - static_cast<double>(timing->sink_usec)) / 1e6;
      static_cast<Stream*>(data)->timings.emplace_back(now.count(), played);
    }

    static void write(pa_stream* stream, size_t bytes, void* data) {
      auto* s = static_cast<Stream*>(data);
      std::vector<float> block(bytes / sizeof(float), 0.0f);
      for (float& sample : block) {
        if (s->position < s->samples.size()) sample = s->samples[s->position++];
      }
      pa_stream_write(stream, block.data(), block.size() * sizeof(float), nullptr, 0,
                      PA_SEEK_RELATIVE);
    }
  };
  static void wake(auto*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
  }
  // Holds the loop's lock until destroyed.
  std::unique_ptr<pa_threaded_mainloop, void (*)(pa_threaded_mainloop*)> lock() {
    pa_threaded_mainloop_lock(loop_);
    return {loop_, &pa_threaded_mainloop_unlock};
  }

  pa_threaded_mainloop* loop_ = pa_threaded_mainloop_new();
  pa_context* context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "halden-tests");
  std::vector<std::unique_ptr<Stream>> streams_;
  std::jthread follower_;
};

// Runs a measured recording as attempt 1, 2, 3 until one where the server
// kept time: `attempt` returns how far the start of its signals moved
// across their clicks, seconds; beyond `stall`, a sink fell behind real time
// (by up to 0.5 s on a busy virtual machine) and the tracks show the
// server's stalls, not the recorder's timing. False when all three attempts
// stalled.
template <typename Attempt>
bool untilTheServerKeepsTime(double stall, Attempt attempt) {
  for (int number = 1; number <= 3; ++number) {
    const double moved = attempt(number);
    if (moved <= stall) return true;
    std::printf("the sound server lost time: a stream's start moved by %.1f ms\n", moved * 1000);
  }
  return false;
}

// Switches the default sink between "speakers" and "headphones" as fast as
// the server answers, on a thread of its own, until destroyed: every switch
// is a server event that every subscribed client handles.
class DefaultSinkFlipper {
 public:
  int switches() const { return switches_; }

 private:
  void run(std::stop_token stop) {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "halden-tests-flipper");
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    pa_operation* pending = nullptr;
    while (!stop.stop_requested() && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
      if (pending && pa_operation_get_state(pending) != PA_OPERATION_RUNNING) {
        pa_operation_unref(pending);
        pending = nullptr;
        switches_ = switches_ + 1;
      }
      if (!pending && pa_context_get_state(context) == PA_CONTEXT_READY) {
        pending = pa_context_set_default_sink(context, switches_ % 2 ? "speakers" : "headphones",
                                              nullptr, nullptr);
      }
      pa_mainloop_iterate(loop, 0, nullptr);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    forget(pending);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
  }

  std::atomic<int> switches_ = 0;
  std::jthread thread_{[this](std::stop_token stop) { run(stop); }};  // last: joined first
};

}  // namespace halden::testing
