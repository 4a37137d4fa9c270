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
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/file_size_limit.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {
namespace fs = std::filesystem;

// The report of a whole run: one "PASS: <check>" line per check, then a summary.
constexpr std::size_t checkCount = 25;

struct ChildRun {
  int exitStatus = -1;           // -1 when the child did not exit normally
  std::vector<std::string> out;  // the lines of standard output, without their newlines
  std::string err;
};

// What the test does to a running child once it has printed some lines:
// anything but `nothing` sends its standard output through a pipe.
enum class Action { nothing, interrupt, closeOutput };

struct RunOptions {
  // Caps the size of every file the child writes. SIGXFSZ reaches the child
  // with its default action (ending the process): halden must ignore it, so
  // that writes past the cap fail with EFBIG instead.
  std::optional<rlim_t> fileSizeLimit;
  Action action = Action::nothing;
  std::size_t linesBeforeAction = 1;
};

// Far longer than a whole self-test: a child that hangs fails the test.
constexpr std::chrono::minutes runTimeout{8};

// Runs the halden binary with `argv` (argv[0] included), TMPDIR set to
// `temporary` and no display.
ChildRun runHalden(std::vector<std::string> argv, const fs::path& temporary,
                   RunOptions options = {}) {
  const bool piped = options.action != Action::nothing;
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

  std::string out;
  for (std::size_t i = 0; piped && i < options.linesBeforeAction; ++i) {
    out += child.readLine(runTimeout).value_or("");
  }
  if (options.action == Action::interrupt) {
    child.signal(SIGINT);
    while (std::optional<std::string> line = child.readLine(runTimeout)) out += *line;
  }
  child.closeOutput();
  const std::optional<int> status = child.wait(runTimeout);
  EXPECT_TRUE(status) << HALDEN_BINARY << " did not end";
  ChildRun run;
  if (status && WIFEXITED(*status)) run.exitStatus = WEXITSTATUS(*status);
  std::istringstream lines(piped ? out : child.stdoutText());
  for (std::string line; std::getline(lines, line);) run.out.push_back(line);
  run.err = child.stderrText();
  return run;
}

// How many lines from the first in a row report a passed check, each a different one.
std::size_t passedChecks(const std::vector<std::string>& lines) {
  std::set<std::string> checks;
  for (const std::string& line : lines) {
    if (!line.starts_with("PASS: ") || !checks.insert(line).second) break;
  }
  return checks.size();
}

TEST(HaldenCommandLine, SelfTestPrintsEveryCheckOnceAndLeavesNothingBehind) {
  testing::TempFolder temporary;
  const ChildRun run = runHalden({"halden", "--self-test"}, temporary.path());
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(passedChecks(run.out), checkCount);
  EXPECT_EQ(run.out.size(), checkCount + 1);
  EXPECT_TRUE(fs::is_empty(temporary.path()));
}

// Run with a file as its temporary directory, the self-test fails before its
// first check and the application ends as it does without a display: which of
// the two ran shows without running the checks.
TEST(HaldenCommandLine, OnlyTheExactWholeSwitchAnywhereSelectsTheSelfTest) {
  const struct {
    std::vector<std::string> argv;
    bool selfTest;
  } cases[] = {
      {{"halden", "x", "--self-test", "extra"}, true},
      {{"--self-test"}, true},  // the program path counts too
      {{"halden"}, false},
      {{"halden", "--self-test=1"}, false},
      {{"/usr/bin/--self-test"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.argv));
    testing::TempFolder folder;
    testing::writeBytes(folder / "file", std::string_view("x"));
    const ChildRun run = runHalden(c.argv, folder / "file");
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_TRUE(run.out.empty());
    EXPECT_THAT(run.err,
                ::testing::StartsWith(c.selfTest ? "Not a directory" : "halden: no display"));
  }
}

// Runs the self-test with `options` and expects it to end early: status 1,
// only distinct PASS lines (from `fewest` to `most` of them), standard error
// beginning with `err`, and nothing left in the temporary directory.
void expectEndedEarly(RunOptions options, std::size_t fewest, std::size_t most,
                      std::string_view err) {
  SCOPED_TRACE(err);
  testing::TempFolder temporary;
  const ChildRun run = runHalden({"halden", "--self-test"}, temporary.path(), options);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(passedChecks(run.out), run.out.size());  // and no summary
  EXPECT_GE(run.out.size(), fewest);
  EXPECT_LE(run.out.size(), most);
  EXPECT_THAT(run.err, ::testing::StartsWith(std::string(err)));
  EXPECT_TRUE(fs::is_empty(temporary.path()));
}

TEST(HaldenCommandLine, AFailingCheckAnInterruptOrAClosedOutputStopsTheRunAndCleansUp) {
  // Files are capped at 200 MB, so the four-hour track of check 10 cannot be
  // written: its append fails with "file too large" instead of the limit.
  expectEndedEarly({.fileSizeLimit = rlim_t{200} << 20}, 9, 9,
                   "Audio self-test failed: Four-hour limit is enforced before writing more audio");
  // Interrupted after check 9, while check 10 writes its four-hour track: the
  // check under way may still report, no later one runs.
  expectEndedEarly(
      {.fileSizeLimit = std::nullopt, .action = Action::interrupt, .linesBeforeAction = 9}, 9, 10,
      "The audio self-test was interrupted.\n");
  // As in `halden --self-test | head -1`: the reader goes away early.
  expectEndedEarly({.fileSizeLimit = std::nullopt, .action = Action::closeOutput}, 1, 1,
                   "The audio self-test could not write its report.\n");
}

}  // namespace
}  // namespace halden
