#include "testing/devservice_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace halden::testing {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view readyPrefix = "halden-devservice listening on ";
constexpr int readyTimeoutMs = 20000;
constexpr auto terminateGrace = std::chrono::seconds(10);

std::vector<std::string> commandLine(const DevServiceOptions& options) {
  std::vector<std::string> args = {DevService::binaryPath().string(), "--host", options.host,
                                   "--port", "0"};
  if (!options.dataFolder.empty()) args.insert(args.end(), {"--data", options.dataFolder.string()});
  if (!options.tlsCertificate.empty()) {
    args.insert(args.end(), {"--tls-cert", options.tlsCertificate.string(), "--tls-key",
                             options.tlsKey.string()});
  }
  for (const std::string& session : options.sessions) {
    args.insert(args.end(), {"--session", session});
  }
  if (!options.origin.empty()) args.insert(args.end(), {"--origin", options.origin});
  args.insert(args.end(), options.extraArguments.begin(), options.extraArguments.end());
  return args;
}

}  // namespace

fs::path DevService::binaryPath() { return HALDEN_DEVSERVICE_BINARY; }

DevService::~DevService() {
  stop();
  if (!stderrFile_.empty()) {
    std::error_code ignored;
    fs::remove(stderrFile_, ignored);
  }
}

std::string DevService::start(const DevServiceOptions& options) {
  std::string problem;
  std::optional<std::string> url = launch(options, &problem);
  if (!url) {
    ADD_FAILURE() << "halden-devservice did not start: " << problem << "\nstderr:\n"
                  << stderrText();
    return "";
  }
  return *url;
}

std::optional<std::string> DevService::tryStart(const DevServiceOptions& options) {
  std::string problem;
  return launch(options, &problem);
}

std::optional<std::string> DevService::launch(const DevServiceOptions& options,
                                              std::string* problem) {
  if (running()) {
    *problem = "already running";
    return std::nullopt;
  }
  port_ = 0;
  baseUrl_.clear();
  if (stderrFile_.empty()) {
    std::string pattern = (fs::temp_directory_path() / "halden-devservice-stderr-XXXXXX").string();
    int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
      *problem = "cannot create the stderr file";
      return std::nullopt;
    }
    ::close(fd);
    stderrFile_ = pattern;
  }
  int errFd = ::open(stderrFile_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  int pipeFds[2];
  if (errFd < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (errFd >= 0) ::close(errFd);
    *problem = "cannot create pipes";
    return std::nullopt;
  }

  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls run until exec.
  std::vector<std::string> args = commandLine(options);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t parent = ::getpid();

  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    ::close_range(3, ~0U, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  ::close(errFd);
  if (child < 0) {
    ::close(pipeFds[0]);
    *problem = "fork failed";
    return std::nullopt;
  }
  pid_ = child;

  // Reads up to the first newline; the service prints nothing else on stdout.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readyTimeoutMs);
  bool complete = false;
  while (!complete) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{pipeFds[0], POLLIN, 0};
    int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[256];
    ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    line.append(buffer, static_cast<std::size_t>(got));
    if (std::size_t end = line.find('\n'); end != std::string::npos) {
      line.resize(end);
      complete = true;
    }
  }
  ::close(pipeFds[0]);

  if (!complete || !line.starts_with(readyPrefix)) {
    *problem = complete ? "unexpected first line: " + line : "no ready line";
    return std::nullopt;
  }
  baseUrl_ = line.substr(readyPrefix.size());
  std::size_t colon = baseUrl_.rfind(':');
  port_ = colon == std::string::npos ? 0 : std::atoi(baseUrl_.c_str() + colon + 1);
  if (port_ <= 0) {
    *problem = "no port in the ready line: " + line;
    return std::nullopt;
  }
  return baseUrl_;
}

int DevService::stop() { return reap(true); }

int DevService::waitForExit() { return reap(false); }

int DevService::reap(bool terminate) {
  if (!running()) return -1;
  if (terminate) ::kill(pid_, SIGTERM);
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + terminateGrace;
  while (true) {
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  return status;
}

std::string DevService::stderrText() const {
  if (stderrFile_.empty()) return "";
  std::ifstream in(stderrFile_, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace halden::testing
