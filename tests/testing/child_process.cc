#include "testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

extern char** environ;

namespace halden::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environmentWith(const std::vector<std::string>& changes) {
  auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  for (const std::string& change : changes) {
    std::erase_if(environment, [&](const std::string& e) { return nameOf(e) == nameOf(change); });
    if (change.find('=') != std::string::npos) environment.push_back(change);
  }
  return environment;
}

// The null-terminated array exec wants; points into `strings`.
std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& string : strings) result.push_back(string.data());
  result.push_back(nullptr);
  return result;
}

// Opens the child's end of `output` as `child` (-1: this process's own);
// the end this process keeps, if any, goes to `pipe` or `memory`.
bool openOutput(const ChildOutput& output, int& child, int& pipe, int& memory) {
  int ends[2];
  switch (output.to) {
    case ChildOutput::To::parent:
      return true;
    case ChildOutput::To::file:
      child = ::open(output.file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      break;
    case ChildOutput::To::memory:
      // Both ends share one file offset: the child appends, text() uses pread.
      memory = ::memfd_create("child-output", MFD_CLOEXEC);
      child = memory < 0 ? -1 : ::fcntl(memory, F_DUPFD_CLOEXEC, 0);
      break;
    case ChildOutput::To::pipe:
      if (::pipe2(ends, O_CLOEXEC) != 0) return false;
      pipe = ends[0];
      child = ends[1];
      break;
  }
  return child >= 0;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, const ChildOutput& out,
                           const ChildOutput& err, const ChildOptions& options) {
  // Everything the child needs is made before fork: after it, only
  // async-signal-safe calls run until exec.
  std::vector<std::string> environment = environmentWith(options.environment);
  const std::vector<char*> args = pointers(argv);
  const std::vector<char*> envp = pointers(environment);
  const std::string program = options.program.empty() ? argv.front() : options.program.string();
  int streams[3] = {::open("/dev/null", O_RDONLY | O_CLOEXEC), -1, -1};
  int errPipe = -1;  // only stdout is read as it comes
  const bool opened = streams[0] >= 0 && openOutput(out, streams[1], pipe_, outMemory_) &&
                      openOutput(err, streams[2], errPipe, errMemory_);
  const pid_t parent = ::getpid();
  pid_ = opened ? ::fork() : -1;
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent died before the line above took effect.
    if (::getppid() != parent) ::_exit(127);
    for (int stream = 0; stream < 3; ++stream) {
      if (streams[stream] >= 0) ::dup2(streams[stream], stream);
    }
    ::close_range(3, ~0U, 0);
    // Ignored signals would stay ignored across exec.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number) ::sigaction(number, &defaults, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execvpe(program.c_str(), args.data(), envp.data());
    ::_exit(127);
  }
  const int error = errno;
  for (int fd : {streams[0], streams[1], streams[2], errPipe}) {
    if (fd >= 0) ::close(fd);
  }
  if (pid_ < 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", program.c_str(), std::strerror(error));
    status_ = 127 << 8;
  }
}

ChildProcess::~ChildProcess() {
  stop();
  for (int fd : {pipe_, outMemory_, errMemory_}) {
    if (fd >= 0) ::close(fd);
  }
}

void ChildProcess::reap(int flags) {
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid_, &status, flags)) < 0 && errno == EINTR) {
  }
  if (done == 0) return;
  // Reaped elsewhere (done < 0): how it ended is unknown.
  status_ = done == pid_ ? status : -1;
  pid_ = -1;
}

std::optional<int> ChildProcess::poll() {
  if (!status_) reap(WNOHANG);
  return status_;
}

void ChildProcess::signal(int signal) {
  if (running()) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!poll() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

int ChildProcess::stop(int signal, std::chrono::milliseconds grace) {
  if (running()) {
    if (signal != 0) ::kill(pid_, signal);
    if (!wait(grace)) kill();
  }
  return *status_;
}

bool ChildProcess::kill() {
  if (!running()) return false;
  ::kill(pid_, SIGKILL);
  reap(0);
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string line;
  // One byte at a time: what follows the line stays in the pipe.
  for (char c = 0; pipe_ >= 0 && !line.ends_with('\n');) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd polled{pipe_, POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&polled, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || ::read(pipe_, &c, 1) != 1) break;
    line += c;
  }
  if (line.empty()) return std::nullopt;
  return line;
}

void ChildProcess::closeOutput() {
  if (pipe_ >= 0) ::close(pipe_);
  pipe_ = -1;
}

std::string ChildProcess::text(int fd) {
  struct stat file {};
  std::string text(fd >= 0 && ::fstat(fd, &file) == 0 ? file.st_size : 0, '\0');
  text.resize(static_cast<std::size_t>(std::max(::pread(fd, text.data(), text.size(), 0), 0L)));
  return text;
}

}  // namespace halden::testing
