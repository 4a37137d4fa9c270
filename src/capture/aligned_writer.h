// The aligned track writer: places captured audio in its track by timestamp.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "base/error.h"
#include "store/track_file.h"

namespace halden {

inline constexpr std::string_view clockChangedMessage =
    "The audio clock changed unexpectedly. Recover the saved recording.";
inline constexpr std::string_view fourHourLimitMessage = "The four-hour recording limit was reached.";
inline constexpr std::string_view outOfOrderMessage =
    "Audio arrived out of order. Recover the saved recording before continuing.";

// Gaps within this many frames (0.1 s) either way are clock jitter: the
// buffer goes straight after the previous one.
inline constexpr int64_t jitterTolerance = 1600;

// Appends `buffer` (16 kHz mono float) to `file` so that its first frame lands
// at (timestamp - firstTimestamp) x 16000, rounded half away from zero:
//  - a gap of more than 1600 frames (0.1 s) is filled with silence, in blocks
//    of at most 16 000 frames; a gap within +-1600 frames is ignored, so
//    jittering timestamps keep continuous audio continuous;
//  - a buffer stamped more than 1 s before firstTimestamp, or any non-finite
//    time, fails with clockChangedMessage; nothing is written;
//  - a buffer that would start more than 1600 frames before the end of what
//    the file holds fails with outOfOrderMessage;
//  - no file grows past maximumMeetingFrames (fourHourLimitMessage); the limit
//    is tested before the order.
// Keeps no state: a track's state is its length and its first timestamp.
// REQUIRES: not called concurrently for the same file.
Result<void> appendAligned(std::span<const float> buffer, TrackOutput& file, double timestamp,
                           double firstTimestamp);

}  // namespace halden
