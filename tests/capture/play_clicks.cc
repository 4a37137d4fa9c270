// Plays click trains into PulseAudio sinks, for end-to-end tests that check
// where the clicks land in a recording.
//
//   halden_play_clicks SECONDS SINK=+T1,T2,... [SINK=-T1,...]
//
// Plays when a line arrives on standard input, as a media player would: at
// the server's default latency, into sinks in whatever state they are.
// Each argument after the length names a sink and the times (seconds from
// the start) of its clicks: 1 ms pulses of 0.8 full scale, positive or
// negative as the sign says, so that a mix of both trains still tells them
// apart. Once everything has played, prints for each click, in the order
// given, when the server played it (CLOCK_MONOTONIC seconds, by its own
// account), one per line, or "-" where it never told. Exit status 1 when a
// stream cannot play.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/pulse_rig.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SECONDS SINK=+T1,T2,... [SINK=-T1,...]\n", argv[0]);
    return 2;
  }
  const double seconds = std::atof(argv[1]);
  std::vector<std::pair<std::string, std::vector<float>>> signals;
  std::vector<std::vector<double>> clicks;  // per stream, seconds into it
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals + 1 >= argument.size()) return 2;
    std::stringstream times(argument.substr(equals + 2));
    clicks.emplace_back();
    for (std::string time; std::getline(times, time, ',');) {
      clicks.back().push_back(std::atof(time.c_str()));
    }
    const float level = argument[equals + 1] == '-' ? -0.8f : 0.8f;
    signals.emplace_back(argument.substr(0, equals),
                         halden::testing::clickSignal(seconds, 0, clicks.back(), level));
  }
  std::string go;
  std::getline(std::cin, go);
  halden::testing::TonePlayer player;
  if (!player.play(std::move(signals), halden::testing::TonePlayer::serverDefaultLatency)) {
    return 1;
  }
  player.followPlayback();
  // An idle sink may play everything up to 2 s later than it was written.
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds + 2.5));
  for (std::size_t stream = 0; stream < clicks.size(); ++stream) {
    for (const double at : clicks[stream]) {
      if (const std::optional<double> played = player.playedAt(stream, at)) {
        std::printf("%.6f\n", *played);
      } else {
        std::printf("-\n");
      }
    }
  }
  return 0;
}
