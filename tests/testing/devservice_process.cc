#include "testing/devservice_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace halden::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view readyPrefix = "halden-devservice listening on ";
constexpr auto readyTimeout = std::chrono::seconds(20);
constexpr auto terminateGrace = std::chrono::seconds(10);

std::vector<std::string> commandLine(const DevServiceOptions& options) {
  std::vector<std::string> args = {DevService::binaryPath().string(), "--host", options.host,
                                   "--port", "0"};
  if (!options.dataFolder.empty()) args.insert(args.end(), {"--data", options.dataFolder.string()});
  if (!options.tlsCertificate.empty()) {
    args.insert(args.end(), {"--tls-cert", options.tlsCertificate.string(), "--tls-key",
                             options.tlsKey.string()});
  }
  for (const std::string& session : options.sessions)
    args.insert(args.end(), {"--session", session});
  if (!options.origin.empty()) args.insert(args.end(), {"--origin", options.origin});
  args.insert(args.end(), options.extraArguments.begin(), options.extraArguments.end());
  return args;
}

// The first line `fd` gives within the timeout (without its newline), or
// nullopt when the writer closed it or stayed silent.
std::optional<std::string> readLine(int fd) {
  std::string line;
  const auto deadline = Clock::now() + readyTimeout;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd polled{fd, POLLIN, 0};
    int ready = left > 0 ? ::poll(&polled, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    char buffer[256];
    ssize_t got = ready > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    line.append(buffer, static_cast<std::size_t>(got));
  }
  return line.substr(0, line.find('\n'));
}

}  // namespace

std::filesystem::path DevService::binaryPath() { return HALDEN_DEVSERVICE_BINARY; }

DevService::~DevService() {
  stop();
  if (stderrFd_ >= 0) ::close(stderrFd_);
}

std::string DevService::start(const DevServiceOptions& options) {
  if (std::string problem = launch(options); !problem.empty()) {
    ADD_FAILURE() << "halden-devservice did not start: " << problem << "\nstderr:\n"
                  << stderrText();
    return "";
  }
  return baseUrl_;
}

std::optional<std::string> DevService::tryStart(const DevServiceOptions& options) {
  if (!launch(options).empty()) return std::nullopt;
  return baseUrl_;
}

std::string DevService::launch(const DevServiceOptions& options) {
  if (running()) return "already running";
  port_ = 0;
  baseUrl_.clear();
  if (stderrFd_ < 0) stderrFd_ = ::memfd_create("halden-devservice-stderr", MFD_CLOEXEC);
  int pipeFds[2];
  if (stderrFd_ < 0 || ::ftruncate(stderrFd_, 0) != 0 || ::lseek(stderrFd_, 0, SEEK_SET) != 0 ||
      ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    return "cannot create the stderr file or the stdout pipe";
  }
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls run until exec.
  std::vector<std::string> args = commandLine(options);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();

  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(stderrFd_, STDERR_FILENO);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    ::close_range(3, ~0U, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  if (child < 0) {
    ::close(pipeFds[0]);
    return "fork failed";
  }
  pid_ = child;
  // The service prints nothing on stdout but this line.
  std::optional<std::string> line = readLine(pipeFds[0]);
  ::close(pipeFds[0]);
  if (!line) return "no ready line";
  if (!line->starts_with(readyPrefix)) return "unexpected first line: " + *line;
  std::string url = line->substr(readyPrefix.size());
  std::size_t colon = url.rfind(':');
  port_ = colon == std::string::npos ? 0 : std::atoi(url.c_str() + colon + 1);
  if (port_ <= 0) return "no port in the ready line: " + *line;
  baseUrl_ = url;
  return "";
}

int DevService::stop() { return reap(true); }

int DevService::waitForExit() { return reap(false); }

int DevService::reap(bool terminate) {
  if (!running()) return -1;
  if (terminate) ::kill(pid_, SIGTERM);
  int status = -1;
  const auto deadline = Clock::now() + terminateGrace;
  pid_t done = 0;
  while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 || (done < 0 && errno == EINTR)) {
    if (Clock::now() > deadline) {
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
  std::string text;
  char buffer[4096];
  ssize_t got = 0;
  while (stderrFd_ >= 0 &&
         (got = ::pread(stderrFd_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

}  // namespace halden::testing
