// `halden` run as a child process: the run-mode switch, the self-test's
// output, its exit status and what it leaves in the temporary directory.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testing/temp_folder.h"

extern char** environ;

namespace halden {
namespace {
namespace fs = std::filesystem;

const char* const checkNames[] = {
    "Microphone and system start offsets preserve 1.5 seconds",
    "Both tracks are present at their original clock positions",
    "Recovery reuses the same verified chunks",
    "Clipping saturates without integer overflow",
    "61 seconds produces two chunks",
    "One-minute chunk boundary loses no samples",
    "A paused input preserves its two-second silence gap",
    "Repeated or out-of-order callback is rejected",
    "Non-finite audio clock is rejected",
    "Four-hour limit is enforced before writing more audio",
    "Recovery retains silence and later speech in the right positions",
    "Empty capture gives an actionable failure",
    "Version 0.1.0 recordings upgrade without changing audio",
    "Legacy recovery records SHA-256 identities",
    "Modified audio cannot silently reuse a retry identity",
    "Missing prepared chunk fails without replacing uploaded identities",
    "Manifest path traversal is rejected",
    "Symlinked source audio is rejected",
    "WAV header and actual PCM format must agree",
    "HTML success response cannot authorize audio deletion",
    "Missing summary acknowledgement keeps saved audio",
    "Mismatched chunk acknowledgement keeps saved audio",
    "Numeric truthy response is not a Boolean acknowledgement",
    "Expected saved-chunk acknowledgement accepted",
    "Malformed timing cannot silently change audio alignment",
};

// The first `count` PASS lines, and the summary line after all 25.
std::string passLines(std::size_t count) {
  std::string lines;
  for (std::size_t i = 0; i < count; ++i) lines += std::string("PASS: ") + checkNames[i] + "\n";
  if (count == std::size(checkNames)) {
    lines += "Halden native audio: 25 checks passed. No microphone or system audio was captured.\n";
  }
  return lines;
}

// The application mode, started without a display.
constexpr std::string_view applicationMessage =
    "halden: no display to show the Halden window on (is DISPLAY or WAYLAND_DISPLAY set?); "
    "`halden --self-test` runs the audio checks without one.\n";

struct ChildRun {
  int exitStatus = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

std::string contents(const fs::path& file) {
  Bytes bytes = testing::readBytes(file);
  return std::string(bytes.begin(), bytes.end());
}

// What the test does to a running child once it has printed some lines.
enum class AfterFirstLine { nothing, interrupt, closeOutput };

struct RunOptions {
  // Caps the size of every file the child writes. SIGXFSZ reaches the child
  // with its default action (ending the process): halden must ignore it, so
  // that writes past the cap fail with EFBIG instead.
  std::optional<rlim_t> fileSizeLimit;
  // Anything but `nothing` sends the child's standard output through a pipe.
  AfterFirstLine afterFirstLine = AfterFirstLine::nothing;
  std::size_t linesBeforeAction = 1;
};

// Reads one byte at a time up to and including the first newline, or to the
// end of the output.
std::string readLine(int fd) {
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos && ::read(fd, &c, 1) == 1) line.push_back(c);
  return line;
}

std::string readAll(int fd) {
  std::string all;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) all.append(buffer, got);
  return all;
}

// Runs the halden binary with `argv` (argv[0] included) and TMPDIR set to
// `temporary`; standard output and error go to files in a folder of their own
// (or standard output to a pipe, see RunOptions).
ChildRun runHalden(std::vector<std::string> argv, const fs::path& temporary,
                   RunOptions options = {}) {
  testing::TempFolder outputs;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view variable(*entry);
    if (variable.starts_with("TMPDIR=") || variable.starts_with("DISPLAY=") ||
        variable.starts_with("WAYLAND_DISPLAY=")) {
      continue;
    }
    environment.emplace_back(variable);
  }
  environment.push_back("TMPDIR=" + temporary.string());
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);

  const bool piped = options.afterFirstLine != AfterFirstLine::nothing;
  int pipeFds[2] = {-1, -1};
  if (piped) {
    EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string outPath = (outputs / "stdout").string();
  const std::string errPath = (outputs / "stderr").string();
  if (piped) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGXFSZ);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  // The limit is inherited by the child; this process restores its own right
  // after the spawn, having written nothing meanwhile.
  rlimit savedLimit{};
  if (options.fileSizeLimit) {
    getrlimit(RLIMIT_FSIZE, &savedLimit);
    rlimit limit{*options.fileSizeLimit, savedLimit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  pid_t pid = 0;
  const int spawned =
      posix_spawn(&pid, HALDEN_BINARY, &actions, &attributes, args.data(), envp.data());
  if (options.fileSizeLimit) setrlimit(RLIMIT_FSIZE, &savedLimit);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (piped) ::close(pipeFds[1]);

  ChildRun run;
  EXPECT_EQ(spawned, 0) << HALDEN_BINARY;
  if (spawned == 0 && piped) {
    for (std::size_t i = 0; i < options.linesBeforeAction; ++i) run.out += readLine(pipeFds[0]);
    if (options.afterFirstLine == AfterFirstLine::interrupt) {
      ::kill(pid, SIGINT);
      run.out += readAll(pipeFds[0]);
    }
  }
  if (piped) ::close(pipeFds[0]);
  if (spawned != 0) return run;
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (!piped) run.out = contents(outputs / "stdout");
  run.err = contents(outputs / "stderr");
  return run;
}

bool isEmptyFolder(const fs::path& folder) { return fs::is_empty(folder); }

TEST(HaldenCommandLine, SelfTestPrintsEveryCheckAndLeavesNothingBehind) {
  testing::TempFolder temporary;
  ChildRun run = runHalden({"halden", "--self-test"}, temporary.path());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.out, passLines(25));
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

TEST(HaldenCommandLine, SwitchAnywhereInTheArgumentsSelectsTheSelfTest) {
  const std::vector<std::vector<std::string>> argvs = {
      {"halden", "x", "--self-test"},
      {"halden", "--self-test", "--Self-test", "extra"},
      {"--self-test"},  // the program path counts too
  };
  for (const auto& argv : argvs) {
    testing::TempFolder temporary;
    ChildRun run = runHalden(argv, temporary.path());
    EXPECT_EQ(run.exitStatus, 0) << argv.back() << ": " << run.err;
    EXPECT_EQ(run.out, passLines(25)) << argv.back();
    EXPECT_TRUE(isEmptyFolder(temporary.path()));
  }
}

TEST(HaldenCommandLine, OnlyTheExactWholeSwitchSelectsTheSelfTest) {
  const std::vector<std::vector<std::string>> argvs = {
      {"halden"},
      {"halden", "--Self-test"},
      {"halden", "-self-test"},
      {"halden", "--self-test=1"},
      {"halden", "--self-test "},
      {"halden", "self-test"},
      {"halden", "--self-tests"},
      {"halden", "x", "--SELF-TEST"},
      {"/usr/bin/--self-test"},
  };
  for (const auto& argv : argvs) {
    testing::TempFolder temporary;
    ChildRun run = runHalden(argv, temporary.path());
    EXPECT_EQ(run.exitStatus, 1) << argv.back();
    EXPECT_EQ(run.out, "") << argv.back();
    EXPECT_EQ(run.err, applicationMessage) << argv.back();
    EXPECT_TRUE(isEmptyFolder(temporary.path()));
  }
}

TEST(HaldenCommandLine, FailingCheckStopsTheRunNamesTheCheckAndCleansUp) {
  // Files are capped at 200 MB, so the four-hour track of check 10 cannot be
  // written: its append fails with "file too large" instead of the limit.
  testing::TempFolder temporary;
  ChildRun run = runHalden({"halden", "--self-test"}, temporary.path(),
                           {.fileSizeLimit = rlim_t{200} << 20,
                            .afterFirstLine = AfterFirstLine::nothing,
                            .linesBeforeAction = 0});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, passLines(9));
  EXPECT_THAT(run.err,
              ::testing::StartsWith("Audio self-test failed: " + std::string(checkNames[9])));
  EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

TEST(HaldenCommandLine, InterruptedSelfTestStopsAndCleansUp) {
  // Interrupted after check 9, while check 10 writes its four-hour track.
  testing::TempFolder temporary;
  ChildRun run = runHalden({"halden", "--self-test"}, temporary.path(),
                           {.fileSizeLimit = std::nullopt,
                            .afterFirstLine = AfterFirstLine::interrupt,
                            .linesBeforeAction = 9});
  EXPECT_EQ(run.exitStatus, 1);
  // The check under way when the signal came still reports; no later one runs.
  EXPECT_THAT(run.out, ::testing::StartsWith(passLines(9)));
  EXPECT_THAT(run.out, ::testing::Not(::testing::HasSubstr("checks passed")));
  EXPECT_EQ(run.err, "The audio self-test was interrupted.\n");
  EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

TEST(HaldenCommandLine, ClosedOutputEndsTheSelfTestAndCleansUp) {
  // As in `halden --self-test | head -1`: the reader goes away early.
  testing::TempFolder temporary;
  ChildRun run = runHalden({"halden", "--self-test"}, temporary.path(),
                           {.fileSizeLimit = std::nullopt,
                            .afterFirstLine = AfterFirstLine::closeOutput,
                            .linesBeforeAction = 1});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, passLines(1));
  EXPECT_EQ(run.err, "The audio self-test could not write its report.\n");
  EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

TEST(HaldenCommandLine, UnusableTemporaryDirectoryFailsBeforeAnyCheck) {
  testing::TempFolder folder;
  testing::writeBytes(folder / "not-a-folder", std::string_view("x"));
  ChildRun run = runHalden({"halden", "--self-test"}, folder / "not-a-folder");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err, "");
}

}  // namespace
}  // namespace halden
