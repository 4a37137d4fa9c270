// Plays click trains into PulseAudio sinks, all streams starting together,
// for end-to-end tests that check where the clicks land in a recording.
//
//   halden_play_clicks SECONDS SINK=+T1,T2,... [SINK=-T1,...]
//
// Silence plays into every named sink from the start, and the clicks begin
// when a line arrives on standard input: a sink's latency follows the
// latency its players ask for, so it is settled before a recorder that
// started meanwhile hears the first click.
// Each argument after the length names a sink and the times (seconds from
// the start) of its clicks: 1 ms pulses of 0.8 full scale, positive or
// negative as the sign says, so that a mix of both trains still tells them
// apart. Returns once everything has played; exit status 1 when a stream
// cannot play.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
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
  constexpr int rate = 16000;
  const double seconds = std::atof(argv[1]);
  std::vector<std::pair<std::string, std::vector<float>>> signals;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::size_t equals = argument.find('=');
    if (equals == std::string::npos || equals + 1 >= argument.size()) return 2;
    const float level = argument[equals + 1] == '-' ? -0.8f : 0.8f;
    std::vector<float> samples(static_cast<std::size_t>(seconds * rate), 0.0f);
    std::stringstream times(argument.substr(equals + 2));
    for (std::string time; std::getline(times, time, ',');) {
      const auto at = static_cast<std::size_t>(std::atof(time.c_str()) * rate);
      for (std::size_t k = at; k < at + rate / 1000 && k < samples.size(); ++k) samples[k] = level;
    }
    signals.emplace_back(argument.substr(0, equals), std::move(samples));
  }
  std::vector<std::pair<std::string, std::vector<float>>> silence;
  for (const auto& signal : signals) silence.emplace_back(signal.first, std::vector<float>());
  halden::testing::TonePlayer keeper;
  if (!keeper.play(std::move(silence))) return 1;
  std::string go;
  std::getline(std::cin, go);
  halden::testing::TonePlayer player;
  if (!player.play(std::move(signals))) return 1;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds + 0.5));
  return 0;
}
