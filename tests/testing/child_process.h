// A child process that a test starts and that never outlives the test.
//
// The child is killed by the kernel when the thread that started it ends
// (PR_SET_PDEATHSIG), so a test that crashes or is killed leaves nothing
// behind; the destructor ends it too (stop()). It starts with stdin on
// /dev/null, no other descriptor of this process, default signal handling
// and no blocked signals, whatever this process has set up.
// Not thread-safe: use one ChildProcess from one thread.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace halden::testing {

// Where one of the child's output streams goes.
struct ChildOutput {
  enum class To {
    parent,  // this process's own stream
    file,    // appended to `file` (created 0600): a log that outlives the child
    memory,  // an in-memory file: stdoutText() / stderrText()
    pipe,    // read as it comes: readLine(); stdout only
  };
  To to = To::parent;
  std::filesystem::path file;

  static ChildOutput appendTo(std::filesystem::path file) { return {To::file, std::move(file)}; }
  static ChildOutput memory() { return {To::memory, {}}; }
  static ChildOutput pipe() { return {To::pipe, {}}; }
};

struct ChildOptions {
  std::filesystem::path program;         // Empty: argv[0], searched on PATH.
  std::vector<std::string> environment;  // Changes: "NAME=value" sets, "NAME" removes.
};

class ChildProcess {
 public:
  // Starts `argv` with its stdout and stderr going to `out` and `err`. A
  // child that cannot be started (the reason goes to this process's stderr)
  // counts as one that exited at once with status 127, as when exec fails.
  // REQUIRES: argv is not empty.
  explicit ChildProcess(std::vector<std::string> argv, const ChildOutput& out = {},
                        const ChildOutput& err = {}, const ChildOptions& options = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // -1 once the child has been reaped, so that a pid the kernel may reuse is
  // never signalled.
  pid_t pid() const { return pid_; }

  // The wait status (as waitpid gives it) once the child has ended, which
  // reaps it; nullopt while it runs. Never blocks.
  std::optional<int> poll();
  bool running() { return !poll(); }
  // Sends `signal` unless the child has ended.
  void signal(int signal);
  // Waits up to `timeout` for the child to end by itself; nullopt while it
  // still runs.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  // Sends `signal` (0: none, for a child that ends by itself), waits up to
  // `grace`, then SIGKILL. Returns the wait status.
  int stop(int signal = SIGTERM, std::chrono::milliseconds grace = std::chrono::seconds(5));
  // Ends the child at once, as a crash would (SIGKILL), and reaps it. True
  // when it had not ended by itself.
  bool kill();

  // The next line of a piped stdout, with its newline, or what came of it
  // before the child closed its end or `timeout` passed; nullopt when
  // nothing came.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Stops reading a piped stdout: the child's further writes fail with EPIPE.
  void closeOutput();

  // Everything the child has written so far to stdout / stderr in memory.
  std::string stdoutText() const { return text(outMemory_); }
  std::string stderrText() const { return text(errMemory_); }

 private:
  // Reaps the child if it has ended (with WNOHANG) or once it ends.
  void reap(int flags);
  static std::string text(int fd);

  pid_t pid_ = -1;
  std::optional<int> status_;  // set once reaped
  int pipe_ = -1;              // this process's end of a piped stdout
  int outMemory_ = -1;         // the memory files of stdout and stderr
  int errMemory_ = -1;
};

}  // namespace halden::testing
