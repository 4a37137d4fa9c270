// A private PulseAudio daemon for integration tests, and a player that feeds
// it known audio.
//
// The daemon runs in its own runtime folder with null sinks "speakers" and
// "headphones" as outputs and two virtual microphones, "mic" and "mic2": each
// the monitor of a null sink ("micsink", "micsink2") that the test plays
// into. Defaults: sink "speakers", source "mic". The test process's
// environment points the client library at it for the fixture's lifetime.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testing/temp_folder.h"

namespace halden::testing {

// Runs `argv` to its end; returns its exit status (-1 when it could not run).
int runCommand(const std::vector<std::string>& argv);

// A child process that dies with the test process, so that a test that is
// killed leaves nothing behind. Its standard output is readable.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::filesystem::path& log = {});
  // Kills the child if it still runs, and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // One line of the child's standard output, without its end; empty at end
  // of output. Only when no log file was given.
  std::string readLine();
  // SIGKILL, then reap.
  void kill();
  // SIGTERM; reaps within `seconds`, else kills.
  void terminate(int seconds);
  // Waits up to `timeout` for the child to end; its exit status (-1 when
  // killed by a signal), or none while it still runs.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  // True when the child has ended (and is reaped).
  bool ended() { return pid_ <= 0 || wait(std::chrono::milliseconds(0)).has_value(); }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
};

class PulseDaemon {
 public:
  // Starts the daemon and waits until it answers. Check ok() afterwards.
  PulseDaemon();
  // Stops the daemon and waits for it to end.
  ~PulseDaemon();
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  bool ok() const { return process_ != nullptr; }
  // "pactl <args…>"; true when it succeeded.
  bool pactl(const std::vector<std::string>& args) const;
  // Kills the daemon at once, as a crash would.
  void kill();
  const std::filesystem::path& folder() const { return temp_.path(); }

 private:
  TempFolder temp_;
  std::unique_ptr<ChildProcess> process_;
};

// Plays 16 kHz mono float audio into sinks, every stream starting at the
// same moment and staying on its sink. Silence follows each signal's end.
class TonePlayer {
 public:
  TonePlayer();
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;

  // Connects one stream per (sink, samples), filled and held until start().
  bool prepare(std::vector<std::pair<std::string, std::vector<float>>> signals);
  void start();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace halden::testing
