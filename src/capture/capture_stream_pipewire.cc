// The capture stream on PipeWire, through its own client library: one stream
// on the default sink's monitor and one on the default source, left to the
// session manager to link, so that both follow the user's default devices.
//
// PipeWire's graph stamps each of its cycles on CLOCK_MONOTONIC, and the
// audio a capture stream gets in a cycle is what its device played (a
// sink's monitor) or captured (a source, less the delay the graph reports
// from the device) from the cycle's start on. Unlike the pulse server's
// account, which counts what it took from each player, this holds for every
// stream from its first cycle, whatever the devices did before: an idle
// sink wakes with the cycle that carries its first audio.
#include "capture/capture_stream_pipewire.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

#include "capture/source_clock.h"
#include "capture/source_delivery.h"

namespace halden {
namespace {

// How long the session manager may take to link a new stream to its device.
constexpr std::chrono::seconds linkTimeout{5};

Error pipeWireError(int result) {
  // A lost daemon surfaces as a broken pipe; users know it by the name the
  // pulse client library gives it.
  if (result == -EPIPE) return Error("PipeWire", EPIPE, "Connection terminated");
  return Error("PipeWire", -result, spa_strerror(result));
}

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Holds the thread loop's lock for a scope. REQUIRES: not on the loop thread.
class ThreadLoopLock {
 public:
  explicit ThreadLoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~ThreadLoopLock() { pw_thread_loop_unlock(loop_); }
  ThreadLoopLock(const ThreadLoopLock&) = delete;
  ThreadLoopLock& operator=(const ThreadLoopLock&) = delete;

 private:
  pw_thread_loop* loop_;
};

class PipeWireCaptureStream final : public CaptureStream {
 public:
  PipeWireCaptureStream(CaptureStreamId id, CaptureStreamOutput& output, SerialQueue& queue)
      : id_(id), output_(output), queue_(queue) {
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
  }

  ~PipeWireCaptureStream() override {
    control_.submit([this] { teardown(); });
  }

  void startCapture(std::function<void(Result<void>)> done) override {
    control_.submit([this, done = std::move(done)] {
      Result<void> started = start();
      if (!started.ok()) teardown();
      done(std::move(started));
    });
  }

  void stopCapture(std::function<void(Result<void>)> done) override {
    control_.submit([this, done = std::move(done)] {
      teardown();
      done(success());
    });
  }

  std::vector<CaptureBuffer> takeHeldAudio() override { return std::exchange(heldAtStop_, {}); }

 private:
  // One capture stream. Its process callback runs on the stream's data
  // thread, within the graph cycle that produced the audio; everything else
  // under the thread loop's lock.
  struct Source {
    Source(PipeWireCaptureStream* o, CaptureSource k)
        : owner(o), kind(k), delivery(o->id_, o->output_, o->queue_) {}
    PipeWireCaptureStream* owner;
    CaptureSource kind;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
    // The negotiated format; a clock is made for each new rate. Written in
    // param_changed, which the stream calls while its data thread is idle.
    AudioFormat format;
    std::optional<SourceClock> clock;
    SourceDelivery delivery;
    // The last cycle's fragment, held until the next cycle tells how long
    // the device played it.
    struct Fragment {
      double heard;
      int64_t frames;
      std::optional<CaptureBuffer> buffer;  // none: time that passed without audio
    };
    std::optional<Fragment> pending;
    std::vector<CaptureBuffer> ready;  // data thread: scratch
    std::vector<pw_buffer*> dequeued;  // data thread: scratch

    // Places the pending fragment, cut where `next` begins, and holds `next`.
    void follow(Fragment next);
    // Places the pending fragment as it is, into `placed`.
    void placePending(std::vector<CaptureBuffer>& placed);
  };

  Result<void> start();
  Result<void> connect(Source& source);
  void teardown();
  void reportStop(Error error);
  static void process(void* data);
  static void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error);
  static void paramChanged(void* data, uint32_t id, const spa_pod* param);
  static void coreError(void* data, uint32_t id, int seq, int result, const char* message);

  static constexpr pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &stateChanged;
    events.param_changed = &paramChanged;
    events.process = &process;
    return events;
  }();
  static constexpr pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = &coreError;
    return events;
  }();

  const CaptureStreamId id_;
  CaptureStreamOutput& output_;
  SerialQueue& queue_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  spa_hook coreListener_{};
  Source system_{this, CaptureSource::system};
  Source microphone_{this, CaptureSource::microphone};
  std::atomic<bool> running_ = false;  // started and not yet stopping
  bool reported_ = false;              // under the lock: a stop was reported
  std::optional<Error> failed_;        // under the lock: why the start cannot go on
  std::vector<CaptureBuffer> heldAtStop_;
  // Last member: destroyed first, after running what was submitted to it.
  SerialQueue control_{"com.tallowmere.halden.pipewire"};
};

Result<void> PipeWireCaptureStream::start() {
  // The recording begins now, however long the graph takes to link.
  const double startedAt = monotonicSeconds();
  for (Source* source : {&system_, &microphone_}) source->delivery.begin(startedAt);
  loop_ = pw_thread_loop_new("halden-capture", nullptr);
  if (!loop_) return Error::fromErrno(errno);
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (!context_) return Error::fromErrno(errno);
  if (const int started = pw_thread_loop_start(loop_); started < 0) return pipeWireError(started);

  ThreadLoopLock lock(loop_);
  core_ = pw_context_connect(context_, nullptr, 0);
  if (!core_) return pipeWireError(-errno);
    // The library's dispatch macro casts C-style.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
  pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
#pragma GCC diagnostic pop
  HALDEN_TRY(connect(system_));
  HALDEN_TRY(connect(microphone_));
  // Linked once the session manager has found each stream its device and
  // the format is agreed: paused until the device's graph runs.
  timespec deadline{};
  pw_thread_loop_get_time(loop_, &deadline, std::chrono::nanoseconds(linkTimeout).count());
  for (;;) {
    if (failed_) return *failed_;
    const bool linked = system_.state >= PW_STREAM_STATE_PAUSED && system_.clock &&
                        microphone_.state >= PW_STREAM_STATE_PAUSED && microphone_.clock;
    if (linked) break;
    if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) {
      return pipeWireError(-ETIMEDOUT);
    }
  }
  running_ = true;
  return success();
}

Result<void> PipeWireCaptureStream::connect(Source& source) {
  const bool monitor = source.kind == CaptureSource::system;
  pw_properties* properties = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_APP_NAME, "Halden",
      PW_KEY_NODE_NAME, monitor ? "halden-system-audio" : "halden-microphone", nullptr);
  // No target: the session manager links the default sink's monitor or the
  // default source, and moves the stream when the user picks another.
  if (monitor) pw_properties_set(properties, PW_KEY_STREAM_CAPTURE_SINK, "true");
  source.stream =
      pw_stream_new(core_, monitor ? "Halden system audio" : "Halden microphone", properties);
  if (!source.stream) return pipeWireError(-errno);
  pw_stream_add_listener(source.stream, &source.listener, &streamEvents, &source);
  // Mono float at the graph's own rate: no resampler in the graph, whose
  // delay the cycle's timing would have to include; the recorder converts.
  uint8_t pod[512];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof(pod));
  spa_audio_info_raw raw{};
  raw.format = SPA_AUDIO_FORMAT_F32;
  raw.channels = 1;
  raw.position[0] = SPA_AUDIO_CHANNEL_MONO;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &raw)};
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  const int connected =
      pw_stream_connect(source.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
  if (connected < 0) return pipeWireError(connected);
  return success();
}

void PipeWireCaptureStream::teardown() {
  if (!loop_) return;
  running_ = false;
  if (context_) {
    ThreadLoopLock lock(loop_);
    for (Source* source : {&system_, &microphone_}) {
      // Destroying the stream waits for its data thread to let go of it:
      // after this, nothing touches the source's clock but us.
      if (source->stream) {
        spa_hook_remove(&source->listener);
        pw_stream_destroy(source->stream);
        source->stream = nullptr;
      }
      // The queue no longer takes this stream's buffers: what is batched
      // and what the clock still holds go to the recorder at the stop.
      source->delivery.takeBatch(heldAtStop_);
      if (source->clock) {
        source->placePending(heldAtStop_);
        source->clock->releaseHeld(heldAtStop_);
      }
      source->pending.reset();
      source->clock.reset();
    }
    if (core_) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
      core_ = nullptr;
    }
  }
  pw_thread_loop_stop(loop_);
  if (context_) pw_context_destroy(context_);
  context_ = nullptr;
  pw_thread_loop_destroy(loop_);
  loop_ = nullptr;
}

// Under the lock.
void PipeWireCaptureStream::reportStop(Error error) {
  if (!running_) {
    if (!failed_) failed_ = std::move(error);
    pw_thread_loop_signal(loop_, false);
    return;
  }
  if (std::exchange(reported_, true)) return;
  queue_.submit([&output = output_, id = id_, error = std::move(error)]() mutable {
    output.streamDidStop(id, std::move(error));
  });
}

// Data thread, once per graph cycle.
void PipeWireCaptureStream::process(void* data) {
  auto& source = *static_cast<Source*>(data);
  pw_time time{};
  pw_stream_get_time_n(source.stream, &time, sizeof(time));
  // Buffers not taken in earlier cycles (the thread was late) lie before
  // this cycle's, back to back.
  std::vector<pw_buffer*>& buffers = source.dequeued;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(source.stream)) buffers.push_back(buffer);
  const std::size_t frameSize = source.format.bytesPerFrame();
  const auto framesOf = [frameSize](const pw_buffer* buffer) -> int64_t {
    const spa_chunk* chunk = buffer->buffer->datas[0].chunk;
    return chunk && frameSize > 0 ? chunk->size / frameSize : 0;
  };
  if (source.owner->running_ && source.clock && !buffers.empty()) {
    const double rate = source.format.sampleRate;
    const double travelled =
        time.rate.denom > 0 ? static_cast<double>(time.delay) * time.rate.num / time.rate.denom : 0;
    double heard = static_cast<double>(time.now) / 1e9 - travelled;
    for (std::size_t i = 0; i + 1 < buffers.size(); ++i) heard -= framesOf(buffers[i]) / rate;
    for (const pw_buffer* dequeued : buffers) {
      const int64_t frames = framesOf(dequeued);
      if (frames == 0) continue;
      const spa_data& plane = dequeued->buffer->datas[0];
      std::optional<CaptureBuffer> captured;  // none: time that passed without audio
      if (plane.data && !(plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) &&
          plane.chunk->offset + static_cast<uint64_t>(frames) * frameSize <= plane.maxsize) {
        CaptureBuffer& buffer = captured.emplace();
        buffer.source = source.kind;
        buffer.format = source.format;
        buffer.frameCount = frames;
        const auto* begin = static_cast<const std::byte*>(plane.data) + plane.chunk->offset;
        buffer.samples.assign(begin, begin + static_cast<std::size_t>(frames) * frameSize);
      }
      source.follow({heard, frames, std::move(captured)});
      heard += frames / rate;
    }
    for (CaptureBuffer& placed : source.ready) source.delivery.deliver(std::move(placed));
    source.ready.clear();
  }
  for (pw_buffer* buffer : buffers) pw_stream_queue_buffer(source.stream, buffer);
  buffers.clear();
}

void PipeWireCaptureStream::Source::follow(Fragment next) {
  if (pending) {
    // A cycle's audio plays from the cycle's start until the next one
    // begins. Where a graph changes its cycle's length, a buffer may hold
    // more frames than that (the rest was never played) or fewer (the time
    // beyond them passed in silence); counting frames alone would move
    // everything after by the difference.
    const double rate = format.sampleRate;
    const auto spanned = static_cast<int64_t>(std::llround((next.heard - pending->heard) * rate));
    if (spanned > 0 && spanned < pending->frames - 1) {
      pending->frames = spanned;
      if (pending->buffer) {
        pending->buffer->frameCount = spanned;
        pending->buffer->samples.resize(static_cast<std::size_t>(spanned) * format.bytesPerFrame());
      }
    }
    const double end = pending->heard + static_cast<double>(pending->frames) / rate;
    // Longer silences are pauses, which the clock and the writer place.
    const int64_t silent = spanned - pending->frames;
    placePending(ready);
    if (silent > 1 && silent < static_cast<int64_t>(rate * SourceClock::pauseThreshold)) {
      CaptureBuffer silence;
      silence.source = kind;
      silence.format = format;
      silence.frameCount = silent;
      silence.samples.assign(static_cast<std::size_t>(silent) * format.bytesPerFrame(),
                             std::byte{0});
      clock->take(end, silent, std::move(silence), ready);
    }
  }
  pending = std::move(next);
}

void PipeWireCaptureStream::Source::placePending(std::vector<CaptureBuffer>& placed) {
  if (!pending) return;
  clock->take(pending->heard, pending->frames, std::move(pending->buffer), placed);
  pending.reset();
}

void PipeWireCaptureStream::stateChanged(void* data, pw_stream_state, pw_stream_state state,
                                         const char* error) {
  auto& source = *static_cast<Source*>(data);
  source.state = state;
  PipeWireCaptureStream& self = *source.owner;
  if (state == PW_STREAM_STATE_ERROR) {
    self.reportStop(Error("PipeWire", EIO, error && *error ? error : "Stream failed"));
  }
  pw_thread_loop_signal(self.loop_, false);
}

void PipeWireCaptureStream::paramChanged(void* data, uint32_t id, const spa_pod* param) {
  if (id != SPA_PARAM_Format || !param) return;
  auto& source = *static_cast<Source*>(data);
  spa_audio_info_raw raw{};
  if (spa_format_audio_raw_parse(param, &raw) < 0 || raw.format != SPA_AUDIO_FORMAT_F32 ||
      raw.rate == 0 || raw.channels == 0) {
    source.owner->reportStop(pipeWireError(-ENOTSUP));
    return;
  }
  const AudioFormat format{SampleFormat::float32, static_cast<double>(raw.rate),
                           static_cast<int>(raw.channels)};
  if (!source.clock || !(format == source.format)) {
    // A new rate is a new clock: what the old one held is placed first.
    if (source.clock) {
      source.placePending(source.ready);
      source.clock->releaseHeld(source.ready);
      for (CaptureBuffer& placed : source.ready) source.delivery.deliver(std::move(placed));
      source.ready.clear();
    }
    source.format = format;
    source.clock.emplace(format.sampleRate);
  }
  pw_thread_loop_signal(source.owner->loop_, false);
}

void PipeWireCaptureStream::coreError(void* data, uint32_t id, int, int result, const char*) {
  // Errors of single requests are the streams' to report; the core's own
  // mean the daemon is gone.
  if (id != PW_ID_CORE) return;
  static_cast<PipeWireCaptureStream*>(data)->reportStop(pipeWireError(result));
}

}  // namespace

std::unique_ptr<CaptureStream> createPipeWireCaptureStream(CaptureStreamId id,
                                                           CaptureStreamOutput& output,
                                                           SerialQueue& queue) {
  return std::make_unique<PipeWireCaptureStream>(id, output, queue);
}

}  // namespace halden
