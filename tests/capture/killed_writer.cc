// A recorder that is killed mid-track. Writes five seconds of audio into
// <folder>/microphone.caf the way capture does (a 16-bit track, 20 ms buffers
// through the aligned writer, timing.json written when the track is created),
// prints "ready" on standard output and then waits, track still open, for
// the test to kill it. Used by killed_writer_test.cc.
//
// The audio: 2 s at 0.25, a 1 s pause in delivery, 2 s at -0.5; timestamps
// jitter by up to half a millisecond.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/aligned_writer.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"

namespace {

int fail(const halden::Error& error) {
  std::fprintf(stderr, "killed_writer: %s\n", error.description().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: killed_writer <folder>\n");
    return 2;
  }
  // Never outlive the test that started us.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() == 1) return 1;

  const std::filesystem::path folder = argv[1];
  constexpr double firstTimestamp = 100.0;
  auto track = halden::TrackWriter::create(
      folder / halden::trackFileName(halden::microphoneTrackName), halden::TrackEncoding::pcm16);
  if (!track) return fail(track.error());
  auto timing =
      halden::writeTiming({{std::string(halden::microphoneTrackName), firstTimestamp}}, folder);
  if (!timing) return fail(timing.error());

  constexpr int bufferFrames = 320;  // 20 ms
  for (int k = 0; k < 250; ++k) {
    if (k >= 100 && k < 150) continue;  // the source pauses for one second
    const std::vector<float> buffer(bufferFrames, k < 100 ? 0.25f : -0.5f);
    // The first buffer and the one after the pause are on time, so the pause
    // ends exactly at 3 s.
    const double jitter = (((k + 1) % 3) - 1) * 0.0005;
    const double timestamp = firstTimestamp + k * 0.02 + jitter;
    auto appended = halden::appendAligned(buffer, **track, timestamp, firstTimestamp);
    if (!appended) return fail(appended.error());
  }

  std::printf("ready\n");
  std::fflush(stdout);
  ::sleep(60);
  return 3;  // the test should have killed us long before
}
