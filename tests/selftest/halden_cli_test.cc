// `halden` run as a child process: the run-mode switch, the self-test's
// output, its exit status and what it leaves in the temporary directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/file_size_limit.h"
#include "testing/temp_folder.h"

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

// What the test does to a running child once it has printed some lines.
enum class AfterFirstLine { nothing, interrupt, closeOutput };

struct RunOptions {
  // Caps the size of every file the child writes. SIGXFSZ reaches the child
  // with its default action (ending the process), as every child starts with
  // default signal handling: halden must ignore it, so that writes past the
  // cap fail with EFBIG instead.
  std::optional<rlim_t> fileSizeLimit;
  // Anything but `nothing` sends the child's standard output through a pipe.
  AfterFirstLine afterFirstLine = AfterFirstLine::nothing;
  std::size_t linesBeforeAction = 1;
};

// Far longer than a whole self-test: a child that hangs fails the test.
constexpr std::chrono::minutes runTimeout{8};

// Runs the halden binary with `argv` (argv[0] included), TMPDIR set to
// `temporary` and no display; its standard output is kept in memory (or
// piped, see RunOptions), its standard error in memory.
ChildRun runHalden(std::vector<std::string> argv, const fs::path& temporary,
                   RunOptions options = {}) {
  const bool piped = options.afterFirstLine != AfterFirstLine::nothing;
  // The child inherits the limit; this process drops its own right after the
  // start, having written nothing meanwhile.
  std::optional<testing::FileSizeLimit> limit;
  if (options.fileSizeLimit) limit.emplace(*options.fileSizeLimit);
  testing::ChildProcess child(
      std::move(argv), piped ? testing::ChildOutput::pipe() : testing::ChildOutput::memory(),
      testing::ChildOutput::memory(),
      {.program = HALDEN_BINARY,
       .environment = {"DISPLAY", "WAYLAND_DISPLAY", "TMPDIR=" + temporary.string()}});
  limit.reset();

  ChildRun run;
  for (std::size_t i = 0; piped && i < options.linesBeforeAction; ++i) {
    run.out += child.readLine(runTimeout).value_or("");
  }
  if (options.afterFirstLine == AfterFirstLine::interrupt) {
    child.signal(SIGINT);
    while (std::optional<std::string> line = child.readLine(runTimeout)) run.out += *line;
  }
  child.closeOutput();
  const std::optional<int> status = child.wait(runTimeout);
  EXPECT_TRUE(status) << HALDEN_BINARY << " did not end";
  if (status && WIFEXITED(*status)) run.exitStatus = WEXITSTATUS(*status);
  if (!piped) run.out = child.stdoutText();
  run.err = child.stderrText();
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
