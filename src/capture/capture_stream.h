// The platform capture service seen from the recorder: one stream that
// delivers the computer's audio output ("system") and the microphone as
// timestamped PCM buffers on the recorder's sample queue.
//
// Portable: the PulseAudio implementation lives in capture_stream_pulse.cc,
// tests use a scripted one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "capture/serial_queue.h"

namespace halden {

// Every playback stream of Halden's web processes carries this as its
// "application.id" (see markOwnSound); the system track never records them.
inline constexpr std::string_view ownApplicationId = "com.tallowmere.halden";

// Has every pulse client this process starts from now on (its web processes
// among them, sandboxed or not) tag its streams as Halden's own sound.
// Call before any of them starts.
void markOwnSound();

// Which source a buffer comes from.
enum class CaptureSource {
  system,      // all audio the computer plays but Halden's own
  microphone,  // the default input
};

// The track a source is written to: "system" or "microphone".
std::string_view trackNameOf(CaptureSource source);

enum class SampleFormat {
  float32,  // 32-bit float, full scale +-1.0
  int16,    // signed 16-bit integer
  int32,    // signed 32-bit integer
};

std::size_t bytesPerSample(SampleFormat format);

// The layout of a buffer's samples: interleaved, native byte order.
struct AudioFormat {
  SampleFormat sampleFormat = SampleFormat::float32;
  double sampleRate = 0;  // frames per second
  int channelCount = 0;

  std::size_t bytesPerFrame() const {
    return bytesPerSample(sampleFormat) * static_cast<std::size_t>(channelCount);
  }
  bool operator==(const AudioFormat&) const = default;
};

// One delivery of captured audio.
struct CaptureBuffer {
  CaptureSource source = CaptureSource::system;
  // Absent when the platform could not describe the samples; such a buffer
  // is ignored.
  std::optional<AudioFormat> format;
  // Frames in `samples`. A buffer whose byte count is not frameCount times
  // the format's frame size is invalid and ignored.
  int64_t frameCount = 0;
  // Seconds on the capture clock (CLOCK_MONOTONIC on Linux, corrected for
  // the source's latency) at which the first frame was heard or spoken. Both
  // sources share the clock, so their differences are real distances.
  double timestamp = 0;
  // How fast the source's clock runs against the capture clock: 1.0001 means
  // it delivers 1.0001 x sampleRate frames per capture second. Conversion
  // resamples by it, so that the track holds 16000 frames per capture
  // second. Absent for a source taken to run on the capture clock.
  std::optional<double> clockRatio;
  std::vector<std::byte> samples;

  // True when the byte count matches frameCount and the format.
  bool isValid() const;
};

// Identifies one stream for the lifetime of its recorder; never 0.
using CaptureStreamId = uint64_t;

// What a stream delivers to. Every call runs on the sample queue the stream
// was created with, never concurrently.
class CaptureStreamOutput {
 public:
  virtual ~CaptureStreamOutput() = default;
  virtual void streamDidOutput(CaptureStreamId stream, CaptureBuffer buffer) = 0;
  // The platform stopped the stream by itself (a failed source, a lost
  // server). Buffers may still follow; the stream delivers nothing useful.
  virtual void streamDidStop(CaptureStreamId stream, Error error) = 0;
};

// One capture stream for both sources. Created stopped. Completion callbacks
// are called exactly once, on any thread.
class CaptureStream {
 public:
  virtual ~CaptureStream() = default;
  // Connects both sources and starts delivering. On failure nothing is
  // delivered and nothing of the stream keeps running.
  virtual void startCapture(std::function<void(Result<void>)> done) = 0;
  // Stops delivering and releases the platform's resources; buffers already
  // submitted to the queue stay there. The stream may be destroyed as soon as
  // `done` has been called.
  virtual void stopCapture(std::function<void(Result<void>)> done) = 0;
  // Audio the stream still held back and never delivered (while it found a
  // source's time), timestamped at its best estimate, and forgotten. The
  // recorder writes it before it closes the tracks.
  // REQUIRES: stopCapture has completed.
  virtual std::vector<CaptureBuffer> takeHeldAudio() { return {}; }
  // True when the system audio leaves Halden's own sound out; false when it
  // hears everything the output plays, so that the owner has to mute what
  // Halden plays while recording. REQUIRES: startCapture has succeeded.
  virtual bool keepsOwnSoundOut() const { return false; }
};

// The output whose audio the system track records, as the platform named it
// when it was looked up.
struct SystemAudioDevice {
  std::string name;
  // The sound server is PipeWire: its own client library records, and its
  // graph's clock places the audio.
  bool onPipeWire = false;
};

// The platform side of starting a recording.
class CaptureService {
 public:
  virtual ~CaptureService() = default;
  // Answers whether the microphone can be recorded at all.
  virtual void requestMicrophoneAccess(std::function<void(bool granted)> done) = 0;
  // Looks up the output whose audio would be recorded: none when there is no
  // such output; an error when the platform could not be asked.
  virtual void findSystemAudio(
      std::function<void(Result<std::optional<SystemAudioDevice>>)> done) = 0;
  // Makes a stream that records `device` and the microphone and hands every
  // buffer and stop report, tagged with `id`, to `output` through `queue`.
  // REQUIRES: `output` and `queue` outlive the stream and every closure it
  // submitted.
  virtual Result<std::unique_ptr<CaptureStream>> createStream(const SystemAudioDevice& device,
                                                              CaptureStreamId id,
                                                              CaptureStreamOutput& output,
                                                              SerialQueue& queue) = 0;
};

// The capture service of PulseAudio and of PipeWire, asked through the pulse
// protocol both serve; on PipeWire the streams use its own library. The
// microphone is the default source and follows it when it changes. The
// system audio is what every other application plays, on whatever output,
// summed: on PipeWire each playback stream recorded on its own; on PulseAudio
// every sink's monitor, and each stream alone on a sink where Halden's own
// sound plays (a server too old for that records the default sink's monitor,
// following the default sink). Connection errors keep the client library's
// text.
std::unique_ptr<CaptureService> createPulseCaptureService();

}  // namespace halden
