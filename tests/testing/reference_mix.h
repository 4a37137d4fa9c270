// The suite's oracle for a meeting's audio: the 16 kHz mono mix of known
// tracks and the chunk files it must become, computed from the format's
// stated arithmetic alone. It shares no code or constant with the store's
// mixing, which it checks; the store tests, the load test and the crash
// campaign all compare the product's chunks with it byte for byte.
//
// The arithmetic is float and order-dependent: build the callers without
// floating-point contraction (-ffp-contract=off), as the store itself is.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace halden::testing {

inline constexpr int64_t mixRate = 16000;           // frames per second
inline constexpr int64_t mixChunkFrames = 960'000;  // a minute: every chunk's frames but the last's

// A track as the mix places it: its samples from meeting frame `offset` on.
// A 16-bit track's sample n counts as n / 32768, which float holds exactly.
struct PlacedTrack {
  std::vector<float> samples;
  int64_t offset = 0;
};

// The first meeting frame of track `name`: trunc((start - earliest) x 16000),
// earliest being timing.json's smallest member (an absent track's counts);
// 0 for a track without a member.
inline int64_t mixOffset(const std::map<std::string, double>& timing, const std::string& name) {
  const auto start = timing.find(name);
  if (start == timing.end()) return 0;
  double earliest = start->second;
  for (const auto& [other, seconds] : timing) earliest = std::min(earliest, seconds);
  return static_cast<int64_t>(std::trunc((start->second - earliest) * mixRate));
}

// One track's sample added into a mixed frame.
inline float mixFrame(float frame, float sample) { return sample * 0.7f + frame; }

// The 16-bit sample of a mixed frame: 32767 at or above 1 and for NaN,
// otherwise trunc(max(x, -1) x 32767).
inline int16_t mixSample(float x) {
  if (x >= 1.0f || std::isnan(x)) return 32767;
  return static_cast<int16_t>(std::max(x, -1.0f) * 32767.0f);
}

// The mixed meeting, as long as its furthest-reaching track (empty tracks
// reach nowhere): every frame starts at 0 and takes mixFrame of each track in
// the order given, system before microphone.
inline std::vector<int16_t> referenceMix(const std::vector<PlacedTrack>& tracks) {
  int64_t frames = 0;
  for (const PlacedTrack& track : tracks) {
    if (track.samples.empty()) continue;
    frames = std::max(frames, track.offset + static_cast<int64_t>(track.samples.size()));
  }
  std::vector<float> mix(static_cast<std::size_t>(frames), 0.0f);
  for (const PlacedTrack& track : tracks) {
    for (std::size_t i = 0; i < track.samples.size(); ++i) {
      float& frame = mix[static_cast<std::size_t>(track.offset) + i];
      frame = mixFrame(frame, track.samples[i]);
    }
  }
  std::vector<int16_t> out(mix.size());
  std::transform(mix.begin(), mix.end(), out.begin(), mixSample);
  return out;
}

// The same for 16-bit tracks by name ("system", "microphone"; absent ones
// add nothing), placed by timing.json's members.
inline std::vector<int16_t> referenceMix(const std::map<std::string, std::vector<int16_t>>& tracks,
                                         const std::map<std::string, double>& timing) {
  std::vector<PlacedTrack> placed;
  for (const char* name : {"system", "microphone"}) {
    if (const auto track = tracks.find(name); track != tracks.end()) {
      placed.push_back({{track->second.begin(), track->second.end()}, mixOffset(timing, name)});
      for (float& sample : placed.back().samples) sample /= 32768;
    }
  }
  return referenceMix(placed);
}

// The chunk files of `mix`, a minute each but the last: the 44-byte header of
// 16 kHz mono 16-bit PCM, then the samples, all little-endian.
inline std::vector<std::vector<unsigned char>> referenceChunks(const std::vector<int16_t>& mix) {
  std::vector<std::vector<unsigned char>> files;
  for (std::size_t start = 0; start < mix.size(); start += mixChunkFrames) {
    const std::size_t frames = std::min<std::size_t>(mixChunkFrames, mix.size() - start);
    std::vector<unsigned char> file;
    const auto text = [&](const std::string& s) { file.insert(file.end(), s.begin(), s.end()); };
    const auto put = [&](uint32_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) file.push_back(static_cast<unsigned char>(value >> (8 * i)));
    };
    const auto dataSize = static_cast<uint32_t>(2 * frames);
    text("RIFF");
    put(36 + dataSize, 4);
    text("WAVEfmt ");
    put(16, 4);     // the fmt chunk's size
    put(1, 2);      // PCM
    put(1, 2);      // mono
    put(16000, 4);  // frames per second
    put(32000, 4);  // bytes per second
    put(2, 2);      // bytes per frame
    put(16, 2);     // bits per sample
    text("data");
    put(dataSize, 4);
    for (std::size_t i = 0; i < frames; ++i) put(static_cast<uint16_t>(mix[start + i]), 2);
    files.push_back(std::move(file));
  }
  return files;
}

}  // namespace halden::testing
