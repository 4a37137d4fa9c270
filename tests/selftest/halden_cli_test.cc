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

constexpr std::string_view applicationMessage =
    "halden: the desktop application is not available in this build; run `halden --self-test` "
    "for the audio checks.\n";

struct ChildRun {
  int exitStatus = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

std::string contents(const fs::path& file) {
  Bytes bytes = testing::readBytes(file);
  return std::string(bytes.begin(), bytes.end());
}

// Runs the halden binary with `argv` (argv[0] included) and TMPDIR set to
// `temporary`; standard output and error go to files in a folder of their own.
// `fileSizeLimit`, when given, caps the size of every file the child writes
// (writes past it fail with EFBIG instead of raising SIGXFSZ).
ChildRun runHalden(std::vector<std::string> argv, const fs::path& temporary,
                   std::optional<rlim_t> fileSizeLimit = std::nullopt) {
  testing::TempFolder outputs;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (std::strncmp(*entry, "TMPDIR=", 7) != 0) environment.emplace_back(*entry);
  }
  environment.push_back("TMPDIR=" + temporary.string());
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string outPath = (outputs / "stdout").string();
  const std::string errPath = (outputs / "stderr").string();
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);

  // The limit and the ignored SIGXFSZ are inherited by the child; this
  // process restores its own right after the spawn.
  rlimit savedLimit{};
  struct sigaction savedAction {};
  if (fileSizeLimit) {
    getrlimit(RLIMIT_FSIZE, &savedLimit);
    rlimit limit{*fileSizeLimit, savedLimit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &savedAction);
  }
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, HALDEN_BINARY, &actions, nullptr, args.data(), envp.data());
  if (fileSizeLimit) {
    setrlimit(RLIMIT_FSIZE, &savedLimit);
    sigaction(SIGXFSZ, &savedAction, nullptr);
  }
  posix_spawn_file_actions_destroy(&actions);

  ChildRun run;
  EXPECT_EQ(spawned, 0) << HALDEN_BINARY;
  if (spawned != 0) return run;
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  run.out = contents(outputs / "stdout");
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
  ChildRun run = runHalden({"halden", "--self-test"}, temporary.path(), rlim_t{200} << 20);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out, passLines(9));
  EXPECT_THAT(run.err,
              ::testing::StartsWith("Audio self-test failed: " + std::string(checkNames[9])));
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
