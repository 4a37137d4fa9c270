#include "bench_support.h"

#include <errno.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "store/format.h"
#include "store/track_file.h"

namespace halden::bench {

void die(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
  std::exit(1);
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void writeTrack(const std::filesystem::path& file, int64_t frames, double frequency,
                uint32_t seed) {
  auto writer = TrackWriter::create(file);
  if (!writer.ok()) die(writer.error().description());
  std::vector<float> block(1 << 16);
  for (int64_t written = 0; written < frames;) {
    const auto n = static_cast<std::size_t>(
        std::min<int64_t>(static_cast<int64_t>(block.size()), frames - written));
    for (std::size_t i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double t = static_cast<double>(written + static_cast<int64_t>(i)) / meetingSampleRate;
      const double noise = static_cast<double>(seed >> 8) / 16777216.0 - 0.5;
      block[i] = static_cast<float>(0.4 * std::sin(2 * M_PI * frequency * t) + 0.2 * noise);
    }
    if (auto appended = (*writer)->append(std::span<const float>(block.data(), n)); !appended) {
      die(appended.error().description());
    }
    written += static_cast<int64_t>(n);
  }
  if (auto closed = (*writer)->close(); !closed) die(closed.error().description());
}

}  // namespace halden::bench
