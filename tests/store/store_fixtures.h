// Builders for meeting folders in the store's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "store/files.h"
#include "store/track_file.h"

namespace halden::testing {

// Writes a track file of `frames` samples, all `value`, in `encoding`.
inline void writeTrack(const std::filesystem::path& file, int64_t frames, float value,
                       TrackEncoding encoding = TrackEncoding::pcm16) {
  auto writer = TrackWriter::create(file, encoding);
  ASSERT_TRUE(writer.ok()) << writer.error().description();
  std::vector<float> block(static_cast<std::size_t>(std::min<int64_t>(frames, 65536)), value);
  for (int64_t left = frames; left > 0;) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(left, block.size()));
    ASSERT_TRUE((*writer)->append(std::span<const float>(block.data(), n)).ok());
    left -= static_cast<int64_t>(n);
  }
  ASSERT_TRUE((*writer)->close().ok());
}

// Writes a track holding exactly `samples`.
inline void writeTrack(const std::filesystem::path& file, const std::vector<float>& samples,
                       TrackEncoding encoding = TrackEncoding::pcm16) {
  auto writer = TrackWriter::create(file, encoding);
  ASSERT_TRUE(writer.ok()) << writer.error().description();
  ASSERT_TRUE((*writer)->append(samples).ok());
  ASSERT_TRUE((*writer)->close().ok());
}

// Sample `index` of a WAV chunk's bytes: signed 16-bit LE at 44 + 2 * index.
inline int sampleAt(const Bytes& chunk, std::size_t index) {
  const std::size_t at = 44 + 2 * index;
  return static_cast<int16_t>(chunk.at(at) | chunk.at(at + 1) << 8);
}

}  // namespace halden::testing
