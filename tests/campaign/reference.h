// The campaign's own view of a meeting folder, written from the format
// description alone: track files read without the store's reader, the mix
// computed by its stated arithmetic, and the test signals with a way to find
// where in them a captured track lies.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halden::campaign {

// The samples of a 16 kHz mono 16-bit little-endian CAF track, as many as
// its header's data size counts (all bytes to the end when it says "unknown",
// never more than the file holds); nullopt for any other file.
std::optional<std::vector<int16_t>> readPcm16Track(const std::filesystem::path& file);

// timing.json's members; nullopt when the file is absent or not an object
// of numbers.
std::optional<std::map<std::string, double>> readTimingFile(const std::filesystem::path& folder);

// The meeting's mixed frames from its tracks ("system", "microphone"; absent
// ones empty) and timing, as the format prescribes: offsets trunc((start -
// earliest) x 16000), each sample n / 32768 times 0.7 added in float, system
// first, saturated to 16 bits.
std::vector<int16_t> referenceMix(const std::map<std::string, std::vector<int16_t>>& tracks,
                                  const std::map<std::string, double>& timing);

// Noise band-limited to 1 kHz, deterministic for `seed`, RMS about 0.2.
std::vector<float> bandLimitedNoise(uint64_t seed, std::size_t frames);

// Where a captured track lies in the signal it recorded.
struct Alignment {
  bool found = false;
  int64_t start = 0;          // signal frame of the track's first frame, in its first window
  int64_t end = 0;            // signal frame just past the track's last frame
  double worstCorrelation = 1;
  int64_t compared = 0;       // track frames in the windows compared
  std::string problem;        // why it was not found; empty when found
};

// Follows `track` through `signal` window by window (0.1 s), allowing the
// few frames of drift a resampler that follows the source clock brings.
// The first window is searched within +-0.5 s of `expectedStart`. Every
// window must correlate with the signal at `threshold` or better.
Alignment alignTrack(const std::vector<int16_t>& track, const std::vector<float>& signal,
                     int64_t expectedStart, double threshold);

}  // namespace halden::campaign
