// SystemMix: sums the computer's playback streams, each recorded on its own,
// into the one timeline of the system track.
//
// Each stream ("tap") is placed by its own clock and hands over placed mono
// float buffers at the mix's rate. A buffer lands at the frame its timestamp
// names on the capture clock, counted from the recording's start; where taps
// overlap they add. A tap's buffers that follow each other within a frame
// stay back to back, so rounding never opens a hole or repeats a sample, and
// audio of a tap that lies before the end of what it already gave (a stream
// whose recording was made anew, heard again from where its sink replays
// it) is not added twice.
//
// The mix is final up to the time flush() is given, which lags the capture
// clock by more than a new tap takes to place its first audio; what came for
// earlier time than that is dropped. While nothing plays, flush() hands over
// silence, so that the track runs on as the recording does. While streams
// play and none of them has yet delivered anything, it hands over nothing:
// a capture that hears no stream stays visible as a source without audio.
//
// Not thread-safe: one thread (the platform's loop) calls everything.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "capture/capture_stream.h"

namespace halden {

class SystemMix {
 public:
  using TapId = uint64_t;

  // A new recording began at `startedAt` (capture clock, seconds), mixed at
  // `rate` frames per second: no taps, nothing mixed. REQUIRES: rate > 0.
  void begin(double startedAt, double rate);

  // A stream began playing, or stopped. Detaching forgets where the tap's
  // audio ended; a tap attached again under the same id keeps it.
  void attach(TapId tap);
  void detach(TapId tap);

  // Sums one placed buffer of `tap` (float32 mono at the mix's rate; others
  // are ignored) into the mix.
  void add(TapId tap, const CaptureBuffer& buffer);

  // Appends to `ready` the mix from where the last flush ended up to
  // `until` (capture clock), as system buffers on the capture clock.
  void flush(double until, std::vector<CaptureBuffer>& ready);
  // Appends everything mixed so far, however far ahead, for a stop.
  void flushAll(double now, std::vector<CaptureBuffer>& ready);

  // Frames that came for time already handed over, for tests.
  int64_t framesTooLate() const { return tooLate_; }

 private:
  struct Tap {
    bool attached = false;
    int64_t end = -1;  // frame after the tap's last one; -1 before any
  };

  void emit(int64_t frames, std::vector<CaptureBuffer>& ready);

  double rate_ = 1;
  double origin_ = 0;
  int64_t flushed_ = 0;      // frames handed over
  std::vector<float> mix_;   // from flushed_ on
  std::map<TapId, Tap> taps_;
  bool heardAny_ = false;
  int64_t tooLate_ = 0;
};

}  // namespace halden
