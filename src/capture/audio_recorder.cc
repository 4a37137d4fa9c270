#include "capture/audio_recorder.h"

#include <future>
#include <type_traits>
#include <utility>

#include "base/main_context.h"

namespace halden {

std::string recordingStoppedMessage(const Error& error) {
  return "Recording stopped: " + error.description() +
         ". Recover the saved recording to upload it.";
}

std::string audioNotSavedMessage(const Error& error) {
  return "Audio could not be saved: " + error.description() +
         ". End the meeting and check available disk space.";
}

AudioRecorder::AudioRecorder(std::unique_ptr<CaptureService> service, TrackFileFactory createTrack)
    : service_(std::move(service)), intake_(std::move(createTrack)) {}

AudioRecorder::~AudioRecorder() {
  currentStream_.store(0);
  if (stream_) {
    std::promise<void> stopped;
    stream_->stopCapture([&stopped](const Result<void>&) { stopped.set_value(); });
    stopped.get_future().wait();
    stream_.reset();
  }
  // queue_ is destroyed first of the members and drains; its closures see no
  // current stream and only let go of their buffers.
}

template <typename Work>
auto AudioRecorder::onSampleQueue(Work work) {
  using T = std::invoke_result_t<Work&>;
  return awaitCallback<T>([this, work = std::move(work)](Resolver<T> resolve) mutable {
    queue_.submit([work = std::move(work), resolve]() mutable { resolve(work()); });
  });
}

namespace {

// Awaits one completion callback of the platform, delivered on any thread.
template <typename T, typename Request>
auto platformAnswer(Request request) {
  return awaitCallback<T>([request = std::move(request)](Resolver<T> resolve) mutable {
    request([resolve](T answer) { resolve(std::move(answer)); });
  });
}

}  // namespace

Task<Result<void>> AudioRecorder::start(std::filesystem::path directory) {
  // A start still waiting for the platform counts as a recording: two
  // overlapping starts would otherwise both make a stream.
  if (stream_ || starting_) co_return failure(std::string(alreadyRecordingMessage));
  // Cleared however this start ends, a destroyed (abandoned) task included.
  struct StartingFlag {
    bool& flag;
    explicit StartingFlag(bool& f) : flag(f) { flag = true; }
    ~StartingFlag() { flag = false; }
  } starting(starting_);
  Result<void> started = co_await startStream(std::move(directory));
  co_return started;
}

Task<Result<void>> AudioRecorder::startStream(std::filesystem::path directory) {
  const bool granted = co_await platformAnswer<bool>(
      [this](auto answer) { service_->requestMicrophoneAccess(std::move(answer)); });
  if (!granted) co_return failure(std::string(microphoneAccessMessage));

  Result<std::optional<SystemAudioDevice>> device =
      co_await platformAnswer<Result<std::optional<SystemAudioDevice>>>(
          [this](auto answer) { service_->findSystemAudio(std::move(answer)); });
  if (!device.ok()) co_return std::move(device).error();
  if (!device.value()) co_return failure(std::string(noDisplayMessage));

  // No stream of this recorder runs now; resetting on the queue still orders
  // the reset after whatever an earlier stream left queued.
  directory_ = directory;
  auto reset = onSampleQueue([this] {
    intake_.reset(*directory_);
    activity_.reset();
    return true;
  });
  co_await reset;

  const CaptureStreamId id = ++lastStreamId_;
  auto made = service_->createStream(**device, id, *this, queue_);
  if (!made.ok()) co_return std::move(made).error();
  stream_ = std::move(made).value();
  currentStream_.store(id);

  CaptureStream* stream = stream_.get();
  Result<void> started = co_await platformAnswer<Result<void>>(
      [stream](auto answer) { stream->startCapture(std::move(answer)); });
  if (!started.ok()) {
    // Unless stop() has taken the stream meanwhile, it is still ours to drop.
    if (stream_.get() == stream) {
      currentStream_.store(0);
      stream_.reset();
    }
    co_return std::move(started).error();
  }
  co_return success();
}

Task<Result<void>> AudioRecorder::stop() {
  std::unique_ptr<CaptureStream> stream = std::move(stream_);
  // From here on the queue ignores buffers and stop reports of the stream.
  currentStream_.store(0);

  std::optional<Error> stopError;
  std::vector<CaptureBuffer> held;
  if (stream) {
    CaptureStream* running = stream.get();
    Result<void> stopped = co_await platformAnswer<Result<void>>(
        [running](auto answer) { running->stopCapture(std::move(answer)); });
    if (!stopped.ok()) stopError = std::move(stopped).error();
    held = stream->takeHeldAudio();
    stream.reset();
  }

  // The queue is serial: when this has run, so has every closure submitted
  // before it, and any write in progress has finished or failed. Audio the
  // stream held back was never delivered, so it is no queued buffer to
  // discard: it goes in last, where its timestamps place it.
  auto closing = onSampleQueue([this, held = std::move(held)] {
    for (const CaptureBuffer& buffer : held) intake_.take(buffer);
    intake_.close();
    return intake_.writeError();
  });
  std::optional<Error> writeError = co_await closing;
  if (writeError) co_return std::move(*writeError);
  if (stopError) co_return std::move(*stopError);
  co_return success();
}

bool AudioRecorder::isCurrent(CaptureStreamId stream) const {
  return stream != 0 && currentStream_.load() == stream;
}

void AudioRecorder::report(const std::string& message) {
  if (onError) onError(message);
}

void AudioRecorder::streamDidOutput(CaptureStreamId stream, CaptureBuffer buffer) {
  if (!isCurrent(stream)) return;
  activity_.record(buffer);
  if (std::optional<Error> error = intake_.take(buffer)) report(audioNotSavedMessage(*error));
}

void AudioRecorder::streamDidStop(CaptureStreamId stream, Error error) {
  if (!isCurrent(stream)) return;
  // The stream stays the recorder's: the owner answers the report with stop(),
  // which then fails with this error.
  const std::string message = recordingStoppedMessage(error);
  intake_.fail(std::move(error));
  report(message);
}

}  // namespace halden
