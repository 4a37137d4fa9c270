#include "capture/source_clock.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace halden {
namespace {

// The loop measures its phase error over this much audio, seconds: enough
// fragments (50 of 20 ms) that the earliest of them has arrived almost
// without delay.
constexpr double bucketSeconds = 1.0;
// Natural frequency (rad/s) and damping of the loop. At 0.05 rad/s it locks
// within about a minute, a 300 ppm offset costs at most ~2 ms of phase on the
// way, and 1 ms of arrival noise moves the ratio by only 100 ppm.
constexpr double naturalFrequency = 0.05;
constexpr double damping = 1.0;
constexpr double proportionalGain = 2 * damping * naturalFrequency;   // per second
constexpr double integralGain = naturalFrequency * naturalFrequency;  // per second squared
// A phase error beyond this is a step (a device moved, a late burst of
// wake-ups), not drift: it is slewed away at no more than `slewLimit` and
// leaves the rate estimate alone, so that the pitch never bends by more
// than a fraction of a cent for it.
constexpr double lockRange = 0.005;  // seconds
constexpr double slewLimit = 150e-6;

}  // namespace

SourceClock::SourceClock(double sampleRate)
    : rate_(sampleRate), next_(-std::numeric_limits<double>::infinity()) {}

void SourceClock::take(double arrival, int64_t frames, std::optional<CaptureBuffer> buffer,
                       std::vector<CaptureBuffer>& ready) {
  if (frames <= 0) return;
  if (!settling_ && arrival - next_ > pauseThreshold) {
    // The source delivered nothing for a while: a real pause, which the
    // writer turns into silence once the time is taken anew.
    settling_ = true;
    heldFrames_ = 0;
  }
  if (!settling_) {
    track(arrival, frames);
    if (buffer) {
      place(*buffer, frames);
      ready.push_back(std::move(*buffer));
    } else {
      next_ += static_cast<double>(frames) / (rate_ * ratio_);
    }
    return;
  }
  double start = arrival - static_cast<double>(heldFrames_) / (rate_ * ratio_);
  if (heldFrames_ > 0 && start - earliest_ > pauseThreshold) {
    // The source paused while its time was being found (it was moved to a
    // device that starts late): what came before the pause keeps its time,
    // and the time is found anew from here.
    settle(ready);
    settling_ = true;
    start = arrival;
  }
  if (heldFrames_ == 0 || start < earliest_) earliest_ = start;
  if (buffer) held_.emplace_back(heldFrames_, std::move(*buffer));
  heldFrames_ += frames;
  if (static_cast<double>(heldFrames_) / rate_ >= settleSeconds) settle(ready);
}

void SourceClock::releaseHeld(std::vector<CaptureBuffer>& ready) {
  if (settling_ && !held_.empty()) settle(ready);
}

void SourceClock::settle(std::vector<CaptureBuffer>& ready) {
  // Audio already placed keeps its place: time never runs backwards.
  const double anchor = std::max(earliest_, next_);
  const double framesPerSecond = rate_ * ratio_;
  for (auto& [offset, buffer] : held_) {
    buffer.timestamp = anchor + static_cast<double>(offset) / framesPerSecond;
    buffer.clockRatio = ratio_;
    ready.push_back(std::move(buffer));
  }
  held_.clear();
  next_ = anchor + static_cast<double>(heldFrames_) / framesPerSecond;
  heldFrames_ = 0;
  settling_ = false;
  bucketFrames_ = 0;
}

void SourceClock::place(CaptureBuffer& buffer, int64_t frames) {
  buffer.timestamp = next_;
  buffer.clockRatio = ratio_;
  next_ += static_cast<double>(frames) / (rate_ * ratio_);
}

void SourceClock::track(double arrival, int64_t frames) {
  // Arrivals are late, never early: the largest (placed - arrival) of the
  // bucket is the closest to the true phase error.
  const double error = next_ - arrival;
  bucketError_ = bucketFrames_ == 0 ? error : std::max(bucketError_, error);
  bucketFrames_ += frames;
  const double seconds = static_cast<double>(bucketFrames_) / rate_;
  if (seconds < bucketSeconds) return;
  // Placed ahead of the arrivals (a positive error) means the source's frames
  // were taken as longer than they are: its rate is higher than estimated.
  if (std::abs(bucketError_) < lockRange) {
    integral_ = std::clamp(integral_ + integralGain * seconds * bucketError_, -maximumDeviation,
                           maximumDeviation);
  }
  const double slew = std::clamp(proportionalGain * bucketError_, -slewLimit, slewLimit);
  ratio_ = 1 + std::clamp(integral_ + slew, -maximumDeviation, maximumDeviation);
  bucketFrames_ = 0;
}

}  // namespace halden
