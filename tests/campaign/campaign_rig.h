// What the crash campaign runs its work with: child processes it can kill at
// any moment, and a private PulseAudio daemon whose devices run at the
// tracks' own format. Its signals are played by the capture tests' player.
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

#include "capture/pulse_rig.h"
#include "testing/temp_folder.h"

namespace halden::campaign {

// A child process that dies with the campaign. Its stdout comes back through
// a pipe (readLine); its stderr goes to `log`.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
    const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = testing::spawnTiedChild(argv, pipeFds[1], file);
    if (file >= 0) close(file);
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

}  // namespace halden::campaign
