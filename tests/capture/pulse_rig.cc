#include "capture/pulse_rig.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace halden::testing {

namespace {

// Waits up to `timeout` for `pid` to end; true when it has been reaped.
bool reap(pid_t pid, std::chrono::milliseconds timeout, int* status = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int ignored = 0;
  for (;;) {
    const pid_t done = waitpid(pid, status ? status : &ignored, WNOHANG);
    if (done == pid || done < 0) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::filesystem::path& log) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int pipeEnds[2] = {-1, -1};
  if (log.empty() && pipe2(pipeEnds, O_CLOEXEC) != 0) return;
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // Dies with the test process, whatever ends it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (log.empty()) {
      dup2(pipeEnds[1], 1);
    } else {
      const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      dup2(file, 1);
      dup2(file, 2);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  if (log.empty()) {
    close(pipeEnds[1]);
    output_ = pipeEnds[0];
  }
}

ChildProcess::~ChildProcess() {
  kill();
  if (output_ >= 0) close(output_);
}

std::string ChildProcess::readLine() {
  std::string line;
  char c = 0;
  while (output_ >= 0 && read(output_, &c, 1) == 1 && c != '\n') line.push_back(c);
  return line;
}

void ChildProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  reap(pid_, std::chrono::seconds(5));
  pid_ = -1;
}

void ChildProcess::terminate(int seconds) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (reap(pid_, std::chrono::seconds(seconds))) {
    pid_ = -1;
  } else {
    kill();
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return std::nullopt;
  int status = 0;
  if (!reap(pid_, timeout, &status)) return std::nullopt;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runCommand(const std::vector<std::string>& argv) {
  ChildProcess child(argv, "/dev/null");
  return child.wait(std::chrono::seconds(20)).value_or(-1);
}

PulseDaemon::PulseDaemon() {
  const std::filesystem::path runtime = temp_.folder("runtime");
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("HOME", temp_.folder("home").c_str(), 1);
  setenv("PULSE_RUNTIME_PATH", (runtime / "pulse").c_str(), 1);
  setenv("PULSE_STATE_PATH", temp_.folder("state").c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + (runtime / "pulse" / "native").string()).c_str(), 1);
  // -n: no default script, only the modules named here. --system=no with
  // root: the daemon warns and runs as a per-user server.
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"pulseaudio",
                               "-n",
                               "--daemonize=no",
                               "--system=no",
                               "--use-pid-file=no",
                               "--exit-idle-time=-1",
                               "--log-target=stderr",
                               "--log-level=warning",
                               "-L",
                               "module-native-protocol-unix",
                               "-L",
                               "module-null-sink sink_name=speakers",
                               "-L",
                               "module-null-sink sink_name=headphones",
                               "-L",
                               "module-null-sink sink_name=micsink",
                               "-L",
                               "module-null-sink sink_name=micsink2",
                               "-L",
                               "module-remap-source source_name=mic master=micsink.monitor",
                               "-L",
                               "module-remap-source source_name=mic2 master=micsink2.monitor"},
      temp_ / "pulseaudio.log");
  for (int attempt = 0; attempt < 100 && !process_->ended(); ++attempt) {
    if (pactl({"info"})) {
      if (pactl({"set-default-sink", "speakers"}) && pactl({"set-default-source", "mic"})) return;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  process_.reset();
}

PulseDaemon::~PulseDaemon() {
  if (process_) process_->terminate(5);
}

void PulseDaemon::kill() {
  if (process_) process_->kill();
}

bool PulseDaemon::pactl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(argv) == 0;
}

struct TonePlayer::State {
  struct Stream {
    State* owner = nullptr;
    pa_stream* stream = nullptr;
    std::vector<float> samples;
    std::size_t position = 0;
  };
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  std::vector<std::unique_ptr<Stream>> streams;

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

TonePlayer::TonePlayer() : state_(std::make_unique<State>()) {
  state_->loop = pa_threaded_mainloop_new();
  state_->context = pa_context_new(pa_threaded_mainloop_get_api(state_->loop), "halden-tests");
  pa_context_set_state_callback(
      state_->context,
      [](pa_context*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
      },
      state_->loop);
  pa_context_connect(state_->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
  pa_threaded_mainloop_start(state_->loop);
}

TonePlayer::~TonePlayer() {
  pa_threaded_mainloop_lock(state_->loop);
  for (auto& stream : state_->streams) {
    pa_stream_set_write_callback(stream->stream, nullptr, nullptr);
    pa_stream_disconnect(stream->stream);
    pa_stream_unref(stream->stream);
  }
  pa_context_disconnect(state_->context);
  pa_threaded_mainloop_unlock(state_->loop);
  pa_threaded_mainloop_stop(state_->loop);
  pa_context_unref(state_->context);
  pa_threaded_mainloop_free(state_->loop);
}

bool TonePlayer::prepare(std::vector<std::pair<std::string, std::vector<float>>> signals) {
  pa_threaded_mainloop_lock(state_->loop);
  while (pa_context_get_state(state_->context) != PA_CONTEXT_READY) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(state_->context))) {
      pa_threaded_mainloop_unlock(state_->loop);
      return false;
    }
    pa_threaded_mainloop_wait(state_->loop);
  }
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 16000, 1};
  for (auto& [sink, samples] : signals) {
    auto stream = std::make_unique<State::Stream>();
    stream->owner = state_.get();
    stream->samples = std::move(samples);
    stream->stream = pa_stream_new(state_->context, "test signal", &spec, nullptr);
    pa_stream_set_write_callback(stream->stream, &State::write, stream.get());
    pa_stream_set_state_callback(
        stream->stream,
        [](pa_stream*, void* loop) {
          pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
        },
        state_->loop);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(pa_usec_to_bytes(40'000, &spec));
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(-1);
    pa_stream_connect_playback(
        stream->stream, sink.c_str(), &attributes,
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                       PA_STREAM_DONT_MOVE),
        nullptr, nullptr);
    state_->streams.push_back(std::move(stream));
  }
  bool ready = true;
  for (auto& stream : state_->streams) {
    while (pa_stream_get_state(stream->stream) == PA_STREAM_CREATING) {
      pa_threaded_mainloop_wait(state_->loop);
    }
    ready = ready && pa_stream_get_state(stream->stream) == PA_STREAM_READY;
  }
  pa_threaded_mainloop_unlock(state_->loop);
  return ready;
}

void TonePlayer::start() {
  pa_threaded_mainloop_lock(state_->loop);
  for (auto& stream : state_->streams) {
    if (pa_operation* uncork = pa_stream_cork(stream->stream, 0, nullptr, nullptr)) {
      pa_operation_unref(uncork);
    }
  }
  pa_threaded_mainloop_unlock(state_->loop);
}

}  // namespace halden::testing
