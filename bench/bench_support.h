// Helpers shared by the benchmark programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace halden::bench {

// Prints "<program>: <message>" on stderr and exits with status 1.
[[noreturn]] void die(const std::string& message);

// Seconds on the monotonic clock.
double now();

// Writes a recorded (16-bit) track of `frames` frames: a quiet tone of
// `frequency` Hz under deterministic noise seeded by `seed`, so that no chunk
// is silent and no two chunks are alike. Written in small blocks, so that the
// generator adds nothing to a benchmark's peak resident size.
void writeTrack(const std::filesystem::path& file, int64_t frames, double frequency, uint32_t seed);

}  // namespace halden::bench
