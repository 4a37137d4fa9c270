// Meetings for the upload load test: a random but reproducible layout of
// tracks (lengths, start times, missing tracks, with or without timing.json)
// and deterministic audio, written into a meeting folder as capture writes it,
// and the chunks the folder must become, computed from the documented mix
// independently of the store's preparation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"

namespace halden::load {

// One source of a meeting: its 16-bit samples as the track file stores them.
struct SyntheticTrack {
  std::string name;  // "system" or "microphone"
  std::vector<int16_t> samples;
  int64_t offset = 0;  // meeting frame of the track's frame 0, as the mix places it
};

struct SyntheticMeeting {
  std::string meetingId;  // UUID text, the folder name
  int64_t frames = 0;     // the mixed meeting's length
  std::vector<SyntheticTrack> tracks;
  // Members of timing.json (track name -> seconds); nothing: no file.
  std::optional<std::vector<std::pair<std::string, double>>> timing;
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

// SHA-256 (lowercase hex) of every chunk file the meeting must be prepared
// into, in upload order.
std::vector<std::string> expectedChunkHashes(const SyntheticMeeting& meeting);

std::string sha256Hex(const void* data, std::size_t size);

}  // namespace halden::load
