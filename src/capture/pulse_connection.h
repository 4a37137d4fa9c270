// A thin RAII wrapper around a PulseAudio client connection: a threaded main
// loop and a context connected to the default server. Platform header: only
// the PulseAudio capture code includes it.
#pragma once

#include <pulse/pulseaudio.h>

#include <memory>
#include <optional>
#include <string>

#include "base/error.h"

namespace halden::pulse {

// An error of the PulseAudio client library: domain "PulseAudio", its error
// code and pa_strerror's text ("Connection refused", "No such entity", …).
Error pulseError(int code);

// Holds the loop's lock for a scope. REQUIRES: not on the loop's own thread
// (callbacks already hold it).
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// What the server reports of one sink.
struct SinkFacts {
  std::string name;
  uint32_t index = PA_INVALID_INDEX;
  std::string monitorSourceName;  // empty: its audio cannot be recorded
};

// What the server reports of itself.
struct ServerFacts {
  // "pulseaudio", or "PulseAudio (on PipeWire 0.3.65)" for PipeWire's
  // pulse server.
  std::string name;
  std::string defaultSink, defaultSource;  // empty when it has none
};

// Invariant: after create() the context is READY or has failed since; the
// loop thread runs until the destructor.
class PulseConnection {
 public:
  // Connects to the default server and waits until the context is ready.
  // Blocking: call off the main thread. Never spawns a server.
  static Result<std::unique_ptr<PulseConnection>> create(const std::string& clientName);
  // Disconnects and joins the loop thread. REQUIRES: not on the loop thread.
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_threaded_mainloop* loop() const { return loop_; }
  pa_context* context() const { return context_; }
  // The context's last error. REQUIRES: the lock is held.
  Error lastError() const { return pulseError(pa_context_errno(context_)); }

  // Blocking queries, each made under the lock from another thread.
  Result<ServerFacts> server();
  // Facts of the sink `name`; none when it does not exist.
  Result<std::optional<SinkFacts>> sink(const std::string& name);
  // True when `name` is a source that is not a sink's monitor.
  Result<bool> isInputSource(const std::string& name);
  // The monitor source whose audio the source `name` records, when `name`
  // is a virtual microphone made of a sink's monitor (a remapped monitor on
  // PulseAudio, a loopback from one on PipeWire) or a monitor itself; none
  // for an input device.
  Result<std::optional<std::string>> monitorBehind(const std::string& name);
  // The monitor behind the default source, unless it is the default sink's
  // (a microphone that hears the output the user listens to): the sink a
  // virtual microphone is made of, whose sound is the microphone's.
  Result<std::optional<std::string>> microphoneOnlyMonitor(const ServerFacts& server);

 private:
  PulseConnection(pa_threaded_mainloop* loop, pa_context* context)
      : loop_(loop), context_(context) {}
  // Runs `operation` to its end, waiting on the loop. REQUIRES: lock held.
  Result<void> await(pa_operation* operation);

  pa_threaded_mainloop* loop_;
  pa_context* context_;
};

}  // namespace halden::pulse
