#include "capture/aligned_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "store/format.h"

namespace halden {
namespace {

// Silence goes in one-second blocks, so a long pause never needs a buffer the
// size of the whole gap.
constexpr int64_t silenceBlockFrames = 16000;

}  // namespace

Result<void> appendAligned(std::span<const float> buffer, TrackOutput& file, double timestamp,
                           double firstTimestamp) {
  if (!std::isfinite(timestamp) || !std::isfinite(firstTimestamp) ||
      firstTimestamp - 1.0 > timestamp) {
    return failure(std::string(clockChangedMessage));
  }

  // Both times are finite, yet their difference may still overflow to +inf;
  // that, too, lies beyond the limit.
  const double offset = timestamp - firstTimestamp;
  const double targetSeconds = offset * meetingSampleRate;
  if (offset >= 0 && targetSeconds > static_cast<double>(maximumMeetingFrames)) {
    return failure(std::string(fourHourLimitMessage));
  }
  // A buffer stamped up to one second before the track's start goes to frame
  // 0. llround rounds halves away from zero; the value is at most the limit.
  const int64_t target = offset >= 0 ? std::llround(targetSeconds) : 0;
  const int64_t gap = target - file.length();

  if (gap > jitterTolerance) {
    for (int64_t remaining = gap; remaining > 0;) {
      const int64_t frames = std::min(remaining, silenceBlockFrames);
      const std::vector<float> silence(static_cast<std::size_t>(frames), 0.0f);
      if (Result<void> appended = file.append(silence); !appended) return appended;
      remaining -= frames;
    }
  }

  // Tested before the order: a repeated buffer on a full track reports the
  // limit. Silence appended above stays.
  if (file.length() + static_cast<int64_t>(buffer.size()) > maximumMeetingFrames) {
    return failure(std::string(fourHourLimitMessage));
  }
  if (gap < -jitterTolerance) return failure(std::string(outOfOrderMessage));
  return file.append(buffer);
}

}  // namespace halden
