// Runs the stand-in service halden-devservice as a child process for a test.
//
// The child listens on a free loopback port; its stderr goes to a file that
// stderrText() returns. A DevService never outlives its owner's process:
// stop() and the destructor end it (SIGTERM, then SIGKILL after a grace
// period), and the child is killed by the kernel if the test process dies.
// Not thread-safe: use one DevService from one thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testing/child_process.h"

namespace halden::testing {

struct DevServiceOptions {
  std::filesystem::path dataFolder;      // Empty: the service's own temporary folder.
  std::filesystem::path tlsCertificate;  // Both set: HTTPS.
  std::filesystem::path tlsKey;
  std::vector<std::string> sessions;  // Each becomes --session VALUE.
};

class DevService {
 public:
  DevService() = default;
  ~DevService();
  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  // Starts the service on port 0 and waits for its ready line. Returns the base
  // URL ("http://127.0.0.1:PORT", https with TLS). On failure records a test
  // failure (with the child's stderr) and returns "".
  // REQUIRES: not running.
  std::string start(const DevServiceOptions& options = {});

  // Like start() but records no failure: for tests that expect the service to
  // refuse to start. Returns nullopt when the child ended or stayed silent.
  std::optional<std::string> tryStart(const DevServiceOptions& options);

  // Sends SIGTERM and waits for the child (SIGKILL after a few seconds).
  // Returns the wait status as waitpid gives it, or -1 when nothing ran.
  int stop();

  bool running() const { return pid() > 0; }
  pid_t pid() const { return child_ ? child_->pid() : -1; }
  int port() const { return port_; }
  const std::string& baseUrl() const { return baseUrl_; }
  // Everything the child wrote to stderr so far.
  std::string stderrText() const { return child_ ? child_->stderrText() : ""; }

 private:
  // Returns what went wrong, or "" once the ready line named the URL.
  std::string launch(const DevServiceOptions& options);

  std::optional<ChildProcess> child_;  // Kept after it ends, for its stderr.
  int port_ = 0;
  std::string baseUrl_;
};

}  // namespace halden::testing
