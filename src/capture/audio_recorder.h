// AudioRecorder: records one meeting at a time from the platform's capture
// stream into a meeting folder.
//
// Threads: start() and stop() are Tasks run on the main context; they never
// block it. Buffers, stop reports and the closing step of stop() run on the
// recorder's sample queue ("com.tallowmere.halden.audio"), one at a time;
// every per-recording state (track files, converters, first timestamps, write
// error) lives there. The two sides share only the id of the running stream
// (an atomic), so the queue drops whatever does not belong to it.
//
// States: idle (no stream), recording (stream, no write error), failed
// (stream and write error: buffers ignored), stopping (stream taken by stop:
// buffers still queued are discarded).
//
// The system track records what every other application plays. Where the
// platform cannot leave Halden's own sound out (keepsOwnSoundOut() false),
// the owner mutes the web view, its only sound, until stop() has returned.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/task.h"
#include "capture/capture_activity.h"
#include "capture/capture_stream.h"
#include "capture/sample_intake.h"
#include "capture/serial_queue.h"

namespace halden {

inline constexpr std::string_view sampleQueueLabel = "com.tallowmere.halden.audio";

inline constexpr std::string_view alreadyRecordingMessage = "A meeting is already recording.";
inline constexpr std::string_view microphoneAccessMessage =
    "Enable microphone access for Halden in System Settings, then try again.";
inline constexpr std::string_view noDisplayMessage =
    "No display is available for Mac audio capture.";

// "Recording stopped: <description>. Recover the saved recording to upload it."
std::string recordingStoppedMessage(const Error& error);
// "Audio could not be saved: <description>. End the meeting and check
// available disk space."
std::string audioNotSavedMessage(const Error& error);

class AudioRecorder final : private CaptureStreamOutput {
 public:
  explicit AudioRecorder(std::unique_ptr<CaptureService> service,
                         TrackFileFactory createTrack = defaultTrackFileFactory());
  // Stops a running stream (blocking briefly), then drains the sample queue.
  ~AudioRecorder() override;
  AudioRecorder(const AudioRecorder&) = delete;
  AudioRecorder& operator=(const AudioRecorder&) = delete;

  // Called on the sample queue with a user-facing message when the recording
  // fails: once for the first write failure, and for every stop report of the
  // platform. A receiver that touches the interface moves to the main thread
  // itself. REQUIRES: set while no recording runs.
  std::function<void(const std::string& message)> onError;

  // Starts recording into `directory` (an existing meeting folder). Fails,
  // changing nothing, when a recording runs or another start is under way
  // ("A meeting is already recording."), when the microphone cannot be recorded, when the platform
  // cannot be asked for its outputs (its error) or has none to record ("No
  // display …"). Later failures (making or starting the stream) leave the
  // recorder idle with the new directory and a cleared write error.
  Task<Result<void>> start(std::filesystem::path directory);

  // Ends the recording: stops the stream, waits until every buffer handed to
  // the queue before has been dealt with (buffers of the stopped stream still
  // queued are discarded), writes the audio the stream still held back (so a
  // stop during a source's first moments loses nothing), closes the track
  // files. Fails with the recording's write error, else with the error of
  // stopping the stream. Without a recording it still closes and reports a write error left over.
  Task<Result<void>> stop();

  // Main-context views, for the owner and tests.
  bool isRecording() const { return stream_ != nullptr; }
  // True while a recording runs whose system track leaves Halden's own
  // sound out.
  bool keepsOwnSoundOut() const { return stream_ && stream_->keepsOwnSoundOut(); }
  // The folder of the current or last recording; kept after stop.
  const std::optional<std::filesystem::path>& directory() const { return directory_; }

  // What the current or last recording received from each source; reset
  // when a recording starts.
  const CaptureActivity& activity() const { return activity_; }

  // The sample queue, for tests that need to hold it.
  SerialQueue& sampleQueue() { return queue_; }

 private:
  void streamDidOutput(CaptureStreamId stream, CaptureBuffer buffer) override;
  void streamDidStop(CaptureStreamId stream, Error error) override;
  Task<Result<void>> startStream(std::filesystem::path directory);
  bool isCurrent(CaptureStreamId stream) const;
  void report(const std::string& message);

  // Runs `work` on the sample queue and resumes when it has run.
  template <typename Work>
  auto onSampleQueue(Work work);

  std::unique_ptr<CaptureService> service_;
  // Main context only.
  std::unique_ptr<CaptureStream> stream_;
  std::optional<std::filesystem::path> directory_;
  CaptureStreamId lastStreamId_ = 0;
  bool starting_ = false;
  // Written on the main context, read on the queue: the id of stream_, 0 when
  // none. Cleared before a stream is stopped, so that nothing it delivers
  // afterwards is taken.
  std::atomic<CaptureStreamId> currentStream_ = 0;
  // Sample queue only (and the main context while the queue is idle).
  SampleIntake intake_;
  CaptureActivity activity_;
  // Last member: destroyed first, so its drained closures still find the rest.
  SerialQueue queue_{std::string(sampleQueueLabel)};
};

}  // namespace halden
