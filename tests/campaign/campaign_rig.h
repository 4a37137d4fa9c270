// What the crash campaign runs its work with: child processes it can kill at
// any moment, a private PulseAudio daemon whose devices run at the tracks'
// own format, and a player that knows how much of its signal has played.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testing/temp_folder.h"

namespace halden::campaign {

// A child process that dies with the campaign. Its stdout comes back through
// a pipe (readLine); its stderr goes to `log`.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(pipeFds[1], 1);
      dup2(file, 2);
      execv(args[0], args.data());
      _exit(127);
    }
    close(pipeFds[1]);
    out_ = pipeFds[0];
  }
  ~Child() {
    kill();
    if (out_ >= 0) close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of the child's stdout, or nullopt when none came within
  // `timeout` or the child closed its end.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd fd{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) != 1) return {};
      char c;
      if (::read(out_, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line += c;
    }
  }

  // The wait status once the child has ended by itself; nullopt while it runs.
  std::optional<int> poll() {
    if (pid_ > 0) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = status;
      }
    }
    return status_;
  }
  // Waits up to `timeout` for the child to end; kills it when it does not.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!poll() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!status_) kill();
    return status_;
  }
  // SIGKILL and reap; true when the child was still running.
  bool kill() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = status;
    return true;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::optional<int> status_;
};

// A PulseAudio daemon of its own, in its own runtime folder, with null sinks
// "speakers" (the default output) and "micsink" whose monitor is remapped as
// the default input "mic". Every device runs at 16 kHz mono float, the
// tracks' own rate, so the server passes the signal through unconverted.
// The campaign's environment points the client library (and every child)
// at it.
class SoundDaemon {
 public:
  SoundDaemon() {
    const std::filesystem::path runtime = temp_.folder("runtime");
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("HOME", temp_.folder("home").c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (runtime / "pulse").c_str(), 1);
    setenv("PULSE_STATE_PATH", temp_.folder("state").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + (runtime / "pulse" / "native").string()).c_str(), 1);
    for (const char* name : {"PULSE_CLIENTCONFIG", "PULSE_COOKIE", "PIPEWIRE_REMOTE"}) {
      unsetenv(name);
    }
    const std::string device = " rate=16000 channels=1 format=float32le";
    testing::writeBytes(temp_ / "rig.pa",
                        "load-module module-native-protocol-unix\n"
                        "load-module module-null-sink sink_name=speakers" + device + "\n"
                        "load-module module-null-sink sink_name=micsink" + device + "\n"
                        "load-module module-remap-source source_name=mic master=micsink.monitor" +
                            device + "\n"
                        "set-default-sink speakers\n"
                        "set-default-source mic\n");
    // -n: only the script's modules. --system=no with root: the daemon warns
    // and runs as a per-user server.
    process_.emplace(std::vector<std::string>{"/usr/bin/pulseaudio", "-n", "-F",
                                              (temp_ / "rig.pa").string(), "--daemonize=no",
                                              "--system=no", "--use-pid-file=no",
                                              "--exit-idle-time=-1", "--log-target=stderr",
                                              "--log-level=warning"},
                     temp_ / "pulseaudio.log");
    for (int i = 0; i < 100 && !ok_ && !process_->poll(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      ok_ = std::system("pactl info >/dev/null 2>&1") == 0;
    }
  }

  bool ok() const { return ok_; }
  const std::filesystem::path& folder() const { return temp_.path(); }

 private:
  testing::TempFolder temp_;
  std::optional<Child> process_;
  bool ok_ = false;
};

// Plays 16 kHz mono float signals, one stream per sink, all starting at the
// same moment; silence follows each signal's end.
class Player {
 public:
  Player() {
    pa_context_set_state_callback(context_, &wake, loop_);
    pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    pa_threaded_mainloop_start(loop_);
  }
  ~Player() {
    pa_threaded_mainloop_stop(loop_);
    for (auto& stream : streams_) pa_stream_unref(stream->stream);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
  }
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // Connects every stream corked, then starts them together. False when a
  // stream cannot play.
  bool play(std::vector<std::pair<std::string, std::vector<float>>> signals) {
    pa_threaded_mainloop_lock(loop_);
    while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
        pa_threaded_mainloop_unlock(loop_);
        return false;
      }
      pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 16000, 1};
    const pa_buffer_attr attributes{
        .maxlength = UINT32_MAX,
        .tlength = static_cast<uint32_t>(pa_usec_to_bytes(40'000, &spec)),
        .prebuf = UINT32_MAX,
        .minreq = UINT32_MAX,
        .fragsize = UINT32_MAX};
    for (auto& [sink, samples] : signals) {
      auto& stream = *streams_.emplace_back(
          new Stream{pa_stream_new(context_, "campaign signal", &spec, nullptr), std::move(samples)});
      pa_stream_set_write_callback(stream.stream, &Stream::write, &stream);
      pa_stream_set_state_callback(stream.stream, &wake, loop_);
      pa_stream_connect_playback(
          stream.stream, sink.c_str(), &attributes,
          static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                         PA_STREAM_DONT_MOVE | PA_STREAM_INTERPOLATE_TIMING |
                                         PA_STREAM_AUTO_TIMING_UPDATE),
          nullptr, nullptr);
    }
    bool ready = true;
    for (auto& stream : streams_) {
      while (pa_stream_get_state(stream->stream) == PA_STREAM_CREATING) {
        pa_threaded_mainloop_wait(loop_);
      }
      ready = ready && pa_stream_get_state(stream->stream) == PA_STREAM_READY;
    }
    for (auto& stream : streams_) {
      if (pa_operation* uncork = pa_stream_cork(stream->stream, 0, nullptr, nullptr)) {
        pa_operation_unref(uncork);
      }
    }
    pa_threaded_mainloop_unlock(loop_);
    return ready;
  }

  // How many frames of stream `index`'s signal the sink has played, by the
  // server's clock; -1 before the server has told.
  int64_t playedFrames(std::size_t index) {
    pa_threaded_mainloop_lock(loop_);
    pa_usec_t usec = 0;
    const int got = pa_stream_get_time(streams_.at(index)->stream, &usec);
    pa_threaded_mainloop_unlock(loop_);
    return got == 0 ? static_cast<int64_t>(usec * 16000 / 1'000'000) : -1;
  }

 private:
  struct Stream {
    pa_stream* stream;
    std::vector<float> samples;
    std::size_t position = 0;

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

  pa_threaded_mainloop* loop_ = pa_threaded_mainloop_new();
  pa_context* context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "halden-campaign");
  std::vector<std::unique_ptr<Stream>> streams_;
};

}  // namespace halden::campaign
