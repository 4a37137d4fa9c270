// Builders for meeting folders in the store's tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
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

// The error of `result`; when it succeeded, a failure saying so, which equals
// no expected error and is no platform error.
template <typename T>
Error errorOf(const Result<T>& result) {
  return result.ok() ? failure("the call succeeded") : result.error();
}

}  // namespace halden::testing
