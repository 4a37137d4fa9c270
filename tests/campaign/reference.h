// The campaign's own view of a meeting folder, written from the format
// description alone: track files read without the store's reader, and the
// test signals with a way to find where in them a captured track lies. The
// mix they must give is testing/reference_mix.h's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace halden::campaign {

// The samples of a 16 kHz mono 16-bit little-endian CAF track, as many as
// its header's data size counts (all bytes to the end when it says "unknown",
// never more than the file holds); nullopt for any other file.
std::optional<std::vector<int16_t>> readPcm16Track(const std::filesystem::path& file);

// Noise band-limited to 1 kHz, deterministic for `seed`, RMS about 0.2.
std::vector<float> bandLimitedNoise(uint64_t seed, std::size_t frames);

// Where a captured track lies in the signal it recorded.
struct Alignment {
  int64_t end = 0;  // signal frame just past the track's last frame
  double worstCorrelation = 1;
  std::string problem;  // empty when found, else why it was not
};

// Follows `track` through `signal` window by window (0.1 s), allowing the
// few frames of drift a resampler that follows the source clock brings.
// The first window is searched within +-0.5 s of `expectedStart`. Every
// window must correlate with the signal at `threshold` or better.
Alignment alignTrack(const std::vector<int16_t>& track, const std::vector<float>& signal,
                     int64_t expectedStart, double threshold);

}  // namespace halden::campaign
