// Meetings for the upload load test: a random but reproducible layout of
// tracks (lengths, start times, missing tracks, with or without timing.json)
// and deterministic audio, written into a meeting folder as capture writes it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "store/timing.h"

namespace halden::load {

// The load test's draws, all from one generator, so that its seed replays a run.
inline int64_t uniform(std::mt19937_64& random, int64_t low, int64_t high) {
  return std::uniform_int_distribution<int64_t>(low, high)(random);
}
inline bool chance(std::mt19937_64& random, double probability) {
  return std::bernoulli_distribution(probability)(random);
}

// One track ends where the mixed meeting ends, none later.
struct SyntheticMeeting {
  std::string meetingId;                               // UUID text, the folder name
  std::map<std::string, std::vector<int16_t>> tracks;  // "system", "microphone": 16-bit samples
  std::optional<TimingMap> timing;                     // nothing: no timing.json
};

// A meeting of `minFrames` to `maxFrames` frames (16 kHz). Lengths near a
// chunk boundary are drawn more often than chance would draw them.
// REQUIRES: 1 <= minFrames <= maxFrames.
SyntheticMeeting makeMeeting(std::mt19937_64& random, int64_t minFrames, int64_t maxFrames);

// Creates root/<meetingId> with meeting.json naming `origin`, the tracks
// (written through the store's track writer in one-second appends) and
// timing.json. Checks that every track reads back as written.
Result<std::filesystem::path> writeMeetingFolder(const SyntheticMeeting& meeting,
                                                 const std::filesystem::path& root,
                                                 const std::string& origin);

}  // namespace halden::load
