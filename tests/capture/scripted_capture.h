// A scripted capture service for tests: the test chooses what each platform
// step answers, and delivers chosen buffers and stop reports through the
// streams it made, on the recorder's sample queue like the real one.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "capture/capture_stream.h"

namespace halden::testing {

// What the platform answers; tests change it between steps.
struct CaptureScript {
  bool microphoneGranted = true;
  Result<std::optional<SystemAudioDevice>> systemAudio =
      std::optional<SystemAudioDevice>(SystemAudioDevice{"speakers"});
  std::optional<Error> createError;
  std::optional<Error> startError;
  std::optional<Error> stopError;
};

// The test's side of one stream made by the service. Outlives the stream, so
// a test can still deliver "late" buffers of a stream already stopped.
class ScriptedStreamEnd {
 public:
  ScriptedStreamEnd(CaptureStreamId id, CaptureStreamOutput& output, SerialQueue& queue)
      : id_(id), output_(output), queue_(queue) {}

  CaptureStreamId id() const { return id_; }
  // Hands `buffer` to the sample queue, as the platform does.
  void deliver(CaptureBuffer buffer);
  // Reports that the platform stopped the stream with `error`.
  void reportStop(Error error);

  // How often the recorder started and stopped the stream.
  int startCalls() const { return startCalls_; }
  int stopCalls() const { return stopCalls_; }
  void countStart() { ++startCalls_; }
  void countStop() { ++stopCalls_; }

 private:
  CaptureStreamId id_;
  CaptureStreamOutput& output_;
  SerialQueue& queue_;
  int startCalls_ = 0;
  int stopCalls_ = 0;
};

class ScriptedCaptureService final : public CaptureService {
 public:
  // The script and the streams are shared with the test, which keeps its own
  // pointer after handing the service to a recorder.
  struct State {
    CaptureScript script;
    std::vector<std::shared_ptr<ScriptedStreamEnd>> streams;
    int microphoneRequests = 0;
    int systemAudioRequests = 0;
  };

  explicit ScriptedCaptureService(std::shared_ptr<State> state) : state_(std::move(state)) {}

  void requestMicrophoneAccess(std::function<void(bool)> done) override;
  void findSystemAudio(std::function<void(Result<std::optional<SystemAudioDevice>>)> done) override;
  Result<std::unique_ptr<CaptureStream>> createStream(const SystemAudioDevice& device,
                                                      CaptureStreamId id,
                                                      CaptureStreamOutput& output,
                                                      SerialQueue& queue) override;

 private:
  std::shared_ptr<State> state_;
};

// A buffer of `frameCount` frames at `timestamp` in `format`, every channel
// holding a sine of `frequency` Hz and amplitude `amplitude` whose phase
// starts at sample `phaseFrame` (so consecutive buffers continue the wave).
CaptureBuffer sineBuffer(CaptureSource source, const AudioFormat& format, int64_t frameCount,
                         double timestamp, double frequency = 440, double amplitude = 0.5,
                         int64_t phaseFrame = 0);

}  // namespace halden::testing
