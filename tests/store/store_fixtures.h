// Builders for meeting folders in the store's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "store/files.h"
#include "store/track_file.h"

namespace halden::testing {

// Writes a track holding exactly `samples`.
inline void writeTrack(const std::filesystem::path& file, const std::vector<float>& samples,
                       TrackEncoding encoding = TrackEncoding::pcm16) {
  auto writer = TrackWriter::create(file, encoding);
  ASSERT_TRUE(writer.ok()) << writer.error().description();
  ASSERT_TRUE((*writer)->append(samples).ok());
  ASSERT_TRUE((*writer)->close().ok());
}

// Writes a track of `frames` samples, all `value`.
inline void writeTrack(const std::filesystem::path& file, int64_t frames, float value,
                       TrackEncoding encoding = TrackEncoding::pcm16) {
  writeTrack(file, std::vector<float>(static_cast<std::size_t>(frames), value), encoding);
}

// Sample `index` of a WAV chunk's bytes: signed 16-bit LE at 44 + 2 * index.
inline int sampleAt(const Bytes& chunk, std::size_t index) {
  const std::size_t at = 44 + 2 * index;
  return static_cast<int16_t>(chunk.at(at) | chunk.at(at + 1) << 8);
}

// The error of `result`; when it succeeded, a failure saying so, which equals
// no expected error and is no platform error.
template <typename T>
Error errorOf(const Result<T>& result) {
  return result.ok() ? failure("the call succeeded") : result.error();
}

// What the readers must refuse in place of a regular file of the folder.
inline const std::vector<std::string> irregularKinds = {"link to a file of the folder",
                                                        "dangling link", "folder"};

// Replaces the regular file `file` by one of irregularKinds; the link points
// to the file's own bytes, moved beside it, so only the link can be refused.
inline void makeIrregular(const std::filesystem::path& file, const std::string& kind) {
  namespace fs = std::filesystem;
  const std::string moved = file.filename().string() + ".moved";
  fs::rename(file, file.parent_path() / moved);
  if (kind == irregularKinds[2]) {
    fs::create_directory(file);
  } else {
    fs::create_symlink(kind == irregularKinds[0] ? moved : "missing", file);
  }
}

}  // namespace halden::testing
