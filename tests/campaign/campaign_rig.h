// What the crash campaign runs its work with: child processes it can kill at
// any moment, and a private PulseAudio daemon whose devices run at the
// tracks' own format. Its signals are played by the capture tests' player.
#pragma once

#include <pulse/pulseaudio.h>
#include <sys/wait.h>

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
#include "testing/child_process.h"
#include "testing/temp_folder.h"

namespace halden::campaign {

// A child process that dies with the campaign. Its stdout comes back through
// a pipe (readLine); its stderr goes to `log`.
class Child : public testing::ChildProcess {
 public:
  Child(std::vector<std::string> argv, const std::filesystem::path& log)
      : ChildProcess(std::move(argv), testing::ChildOutput::pipe(),
                     testing::ChildOutput::appendTo(log)) {}
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
