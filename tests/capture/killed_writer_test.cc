// A recorder killed with SIGKILL while its track is open loses none of the
// audio it had appended: the track, read back by chunk preparation, holds
// every frame at its position.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "store/format.h"
#include "store/prepare_chunks.h"
#include "store/track_file.h"
#include "store/wave.h"
#include "testing/temp_folder.h"

extern char** environ;

namespace halden {
namespace {

// Reads from `fd` until it has a whole line, end of file, or 30 s pass.
std::string readLine(int fd) {
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 30'000) <= 0) break;
    if (::read(fd, &c, 1) != 1) break;
    line.push_back(c);
  }
  return line;
}

int16_t sampleAt(const Bytes& chunk, std::size_t index) {
  const std::size_t offset = waveHeaderSize + 2 * index;
  return static_cast<int16_t>(static_cast<uint16_t>(chunk[offset] | (chunk[offset + 1] << 8)));
}

TEST(KilledWriter, TrackKeepsEveryFrameAppendedBeforeTheKill) {
  testing::TempFolder folder;
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::string program = HALDEN_KILLED_WRITER;
  std::string folderArgument = folder.path().string();
  char* argv[] = {program.data(), folderArgument.data(), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  ASSERT_EQ(spawned, 0) << program;

  const std::string line = readLine(pipeFds[0]);
  ::close(pipeFds[0]);
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_EQ(line, "ready\n") << "the writer did not finish its audio";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  auto track = TrackReader::open(folder / "microphone.caf");
  ASSERT_TRUE(track.ok()) << track.error().description();
  EXPECT_EQ((*track)->length(), 80000);

  Result<ChunkList> chunks = prepareChunks(folder.path());
  ASSERT_TRUE(chunks.ok()) << chunks.error().description();
  ASSERT_EQ(chunks->size(), 1u);
  Result<Bytes> chunk = validateChunk(chunks->front(), folder.path());
  ASSERT_TRUE(chunk.ok()) << chunk.error().description();
  ASSERT_EQ(chunk->size(), waveHeaderSize + std::size_t{2} * 80000);

  // Mixed at 0.7 of its level, as the only track.
  const double before = 0.25 * 0.7 * 32767;
  const double after = -0.5 * 0.7 * 32767;
  for (std::size_t i = 0; i < 32000; ++i) ASSERT_NEAR(sampleAt(*chunk, i), before, 2) << i;
  for (std::size_t i = 32000; i < 48000; ++i) ASSERT_EQ(sampleAt(*chunk, i), 0) << i;
  for (std::size_t i = 48000; i < 80000; ++i) ASSERT_NEAR(sampleAt(*chunk, i), after, 2) << i;
}

}  // namespace
}  // namespace halden
