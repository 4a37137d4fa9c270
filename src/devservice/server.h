// The stand-in service's HTTP(S) server: one listener on a loopback address,
// handlers on httplib's thread pool, every request logged before it is
// answered (so a test that reads the log right after an answer finds it), and
// planned faults applied on the way.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "devservice/options.h"
#include "devservice/service_state.h"

namespace halden::devservice {

class DevServer {
 public:
  // Builds the server; with a certificate and key, HTTPS. Returns nullptr and
  // sets `problem` when the TLS files cannot be used.
  static std::unique_ptr<DevServer> create(const ServiceOptions& options,
                                           const std::filesystem::path& dataFolder,
                                           std::string* problem);
  ~DevServer();

  // Binds and listens on `host`:`port` (0: any free port). Returns the port,
  // or -1. Connections queue from here on; call run() to serve them.
  int bind(const std::string& host, int port);
  // Sets the service's own origin (default: the listening URL).
  // REQUIRES: called once, after bind() and before run().
  void setOrigin(const std::string& origin);
  // Serves until stop(); returns at once when stop() came first. Blocks the
  // calling thread.
  bool run();
  // Any thread: interrupts planned delays and stops the listener.
  void stop();

  bool tls() const { return tls_; }

 private:
  DevServer(std::unique_ptr<httplib::Server> server, bool tls, std::vector<std::string> sessions,
            std::filesystem::path dataFolder);
  void handle(const httplib::Request& request, httplib::Response& response);
  void route(const httplib::Request& request, httplib::Response& response);
  // Answers in place of normal handling; false when `fault` adds to it.
  bool applyFault(const Fault& fault, const httplib::Request& request, httplib::Response& response);
  // Waits `ms` unless stop() comes first.
  void pause(int ms);

  std::unique_ptr<httplib::Server> server_;
  const bool tls_;
  std::vector<std::string> sessions_;
  std::filesystem::path dataFolder_;
  std::unique_ptr<ServiceState> state_;  // Made by setOrigin().

  // httplib's stop() does nothing until listen_after_bind() has marked the
  // server running, so a stop that comes right after start-up must wait for
  // that, and a run() that starts after a stop must not listen at all.
  std::mutex stopMutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;    // Guarded by stopMutex_.
  bool runEntered_ = false;  // Guarded by stopMutex_.
  std::atomic<bool> runFinished_ = false;
};

}  // namespace halden::devservice
