// SourceClock: places the buffers of one capture source on the capture clock.
//
// A source delivers frames counted by its own device clock, which runs a few
// tens to hundreds of ppm fast or slow against the capture clock; placing
// buffers by sample count alone lets a track drift by seconds over a long
// meeting. The platform tells, for each fragment it reads, when its first
// frame was heard on the capture clock, as well as it can tell: its estimate
// may be late (by scheduling, by a coarse account of the server), hardly
// ever early. SourceClock turns those times, called arrivals here, into:
//   - a contiguous, monotonic timestamp for every buffer (frames follow each
//     other at the source's estimated true rate), and
//   - the estimated ratio of the source's true rate to its nominal rate,
//     which the converter resamples by, so that a track holds exactly 16000
//     frames per second of the capture clock.
//
// The estimate is a second-order delay-locked loop: once per second of
// audio, the phase error (placed time minus the earliest arrival the second's
// fragments allow) corrects the ratio proportionally and through an
// integrator. Corrections are a few ppm at a time: the pitch never steps
// audibly, nothing is dropped or repeated.
//
// At the start and after a pause (arrivals run later than the placed time by
// more than a few fragments: a suspended device delivers nothing) the source
// settles: buffers are held until `settleSeconds` of audio have come, then
// placed from the earliest time any of their arrivals allows, never before
// the end of what was already placed. A pause while settling settles what
// came before it at once. The rate estimate survives a pause.
//
// Not thread-safe: one owner thread (the platform's loop) calls everything.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "capture/capture_stream.h"

namespace halden {

class SourceClock {
 public:
  // Audio held back to find the source's time, seconds.
  static constexpr double settleSeconds = 0.3;
  // How far an arrival may run behind the placed time before the source is
  // taken to have paused, seconds: a few 20 ms fragments, more than jitter.
  static constexpr double pauseThreshold = 0.08;
  // The ratio stays within 1 +- this: beyond every real crystal, so a wild
  // arrival can never bend the pitch audibly.
  static constexpr double maximumDeviation = 0.002;

  // REQUIRES: sampleRate > 0 (the source's nominal rate, frames per second).
  explicit SourceClock(double sampleRate);

  // Takes one fragment of `frames` frames whose first frame arrived at
  // `arrival` (capture clock, seconds). `buffer` holds its samples, or is
  // absent for a hole the platform reported (time that passed without
  // audio). Appends to `ready` every buffer that can be delivered now, with
  // its timestamp and clock ratio set, in order.
  void take(double arrival, int64_t frames, std::optional<CaptureBuffer> buffer,
            std::vector<CaptureBuffer>& ready);

  // Appends to `ready` the buffers still held while settling, placed at the
  // best estimate so far, and forgets them. For a stop: nothing delivered is
  // lost however short the recording was.
  void releaseHeld(std::vector<CaptureBuffer>& ready);

  // The current estimate of true rate / nominal rate.
  double ratio() const { return ratio_; }
  bool settling() const { return settling_; }

 private:
  void settle(std::vector<CaptureBuffer>& ready);
  void place(CaptureBuffer& buffer, int64_t frames);
  void track(double arrival, int64_t frames);

  const double rate_;
  double ratio_ = 1;
  double integral_ = 0;  // the loop's integrator: the ratio's long-term part
  double next_ = 0;      // capture time of the next frame, seconds
  bool placedAny_ = false;

  bool settling_ = true;
  double earliest_ = 0;
  int64_t heldFrames_ = 0;
  std::vector<std::pair<int64_t, CaptureBuffer>> held_;  // frame offset, buffer

  // The current one-second measurement of the loop.
  int64_t bucketFrames_ = 0;
  double bucketError_ = 0;
};

}  // namespace halden
