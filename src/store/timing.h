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
// Values should be finite: JSON has no infinity or NaN, so such a value is
// written as null, which readTiming then reports as damaged.
Result<void> writeTiming(const TimingMap& timing, const std::filesystem::path& folder);

// Reads timing.json of `folder` for preparation: an empty map when the file is
// absent; the invalid-file error for a link or non-regular file; "The
// recording timing data is damaged. The source audio has been kept." when it
// is over 4096 bytes or not a JSON object of numbers. Values are returned as
// found (finiteness is the caller's check).
Result<TimingMap> readTiming(const std::filesystem::path& folder);

// The earliest first timestamp of `timing`, over every member whether or not
// its track file exists; 0.0 for an empty map. Fails with "The recording
// timing data is invalid." when any value is infinite or not a number.
Result<double> earliestStart(const TimingMap& timing);

}  // namespace halden
