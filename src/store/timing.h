// timing.json: the first capture timestamp of each track, in seconds.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "base/error.h"

namespace halden {

// Track name -> first timestamp in seconds on the shared capture clock.
using TimingMap = std::map<std::string, double>;

// Writes `timing` as compact JSON to timing.json in `folder`, atomically.
Result<void> writeTiming(const TimingMap& timing, const std::filesystem::path& folder);

// Reads timing.json of `folder` for preparation: an empty map when the file is
// absent; the invalid-file error for a link or non-regular file; "The
// recording timing data is damaged. The source audio has been kept." when it
// is over 4096 bytes or not a JSON object of numbers. Values are returned as
// found (finiteness is the caller's check).
Result<TimingMap> readTiming(const std::filesystem::path& folder);

}  // namespace halden
