// SourceDelivery: hands one capture source's placed audio to the recorder's
// sample queue, for the platform streams.
//
// A source whose first audio is heard only later than the recording began
// (an idle sink that had rendered ahead, a virtual source waiting for its
// master, a graph that starts its next cycle) still began with the
// recording: its track opens with the silence until then, so that the
// meeting is as long as what the user recorded.
//
// Placed buffers that follow each other exactly go to the queue in batches
// of about `batchSeconds`: a server hands over a fragment every 5-20 ms, and
// each hand-over would otherwise cost a wake-up, a conversion call and a
// rewritten track header. What a kill can lose grows by as much.
//
// Not thread-safe: the platform's loop (or data) thread calls everything.
#pragma once

#include <optional>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/serial_queue.h"

namespace halden {

class SourceDelivery {
 public:
  static constexpr double batchSeconds = 0.1;

  // REQUIRES: `output` and `queue` outlive every closure submitted.
  SourceDelivery(CaptureStreamId id, CaptureStreamOutput& output, SerialQueue& queue)
      : id_(id), output_(output), queue_(queue) {}

  // A new recording began at `startedAt` (capture clock, seconds): nothing
  // delivered yet, nothing batched.
  void begin(double startedAt);

  // Delivers one placed buffer (timestamp and clock ratio set).
  void deliver(CaptureBuffer buffer);

  // Appends what is batched and not yet submitted to `held`, for a stop.
  void takeBatch(std::vector<CaptureBuffer>& held);

 private:
  void submit(CaptureBuffer buffer);

  const CaptureStreamId id_;
  CaptureStreamOutput& output_;
  SerialQueue& queue_;
  double startedAt_ = 0;
  bool begun_ = false;
  std::optional<CaptureBuffer> batch_;  // back to back, one format
};

}  // namespace halden
