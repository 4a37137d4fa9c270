// The capture stream on PipeWire, through its own client library: one stream
// on the default source, left to the session manager to link so that it
// follows the user's choice, and one on each playback stream of another
// application, linked to that stream itself wherever it plays (a move to
// another output changes nothing), the playback streams summed.
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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "capture/pulse_connection.h"
#include "capture/source_clock.h"
#include "capture/source_delivery.h"
#include "capture/system_mix.h"
#include "store/format.h"

namespace halden {
namespace {

// How long the session manager may take to link a new stream to its device.
constexpr std::chrono::seconds linkTimeout{5};
// How often the mix of the playback streams is handed on.
constexpr std::chrono::milliseconds mixInterval{50};
// How far the mix stays behind the capture clock, seconds: a stream that
// starts playing is placed only once its clock has settled.
constexpr double mixHorizon = SourceClock::settleSeconds + 0.15;

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
  bool keepsOwnSoundOut() const override { return true; }

 private:
  // One capture stream. Its process callback runs on the stream's data
  // thread, within the graph cycle that produced the audio (only there does
  // the stream's time describe the buffers at hand); everything else under
  // the thread loop's lock.
  struct Source {
    Source(PipeWireCaptureStream* o, CaptureSource k)
        : owner(o), kind(k), delivery(o->id_, o->output_, o->queue_) {}
    PipeWireCaptureStream* owner;
    CaptureSource kind;
    std::optional<uint32_t> tap;  // the playback stream's node, for a tap
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
  Result<void> connect(Source& source, const char* target = nullptr);
  void teardown();
  void attachTap(uint32_t node, const char* serial);
  void dropTap(uint32_t node);
  void release(Source& source, std::vector<CaptureBuffer>& placed);
  void deliver(Source& source, std::vector<CaptureBuffer>& placed);
  static void flushMix(void* data, uint64_t expirations);
  static void registryGlobal(void* data, uint32_t id, uint32_t permissions, const char* type,
                             uint32_t version, const spa_dict* props);
  static void registryGlobalRemove(void* data, uint32_t id);
  void followLink(const spa_dict& props);
  // A playback node whose whole description has been asked for: the
  // registry announces only some of its properties.
  struct Asked {
    PipeWireCaptureStream* owner;
    uint32_t node;
    pw_proxy* proxy;
    spa_hook listener{};
  };
  static void nodeInfo(void* data, const pw_node_info* info);
  void forget(uint32_t node);
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
  static constexpr pw_registry_events registryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &registryGlobal;
    events.global_remove = &registryGlobalRemove;
    return events;
  }();
  static constexpr pw_node_events nodeEvents = [] {
    pw_node_events events{};
    events.version = PW_VERSION_NODE_EVENTS;
    events.info = &nodeInfo;
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
  pw_registry* registry_ = nullptr;
  spa_hook registryListener_{};
  spa_source* mixTimer_ = nullptr;
  // Hands the mix on; records nothing itself.
  Source system_{this, CaptureSource::system};
  Source microphone_{this, CaptureSource::microphone};
  std::map<uint32_t, std::unique_ptr<Source>> taps_;  // by playback node
  // The sink whose monitor the microphone records (a virtual microphone's),
  // by name and, once announced, node: what plays there is the microphone's.
  std::string micFeed_;
  uint32_t micFeedNode_ = SPA_ID_INVALID;
  std::vector<uint32_t> micStreams_;  // playback nodes heard there
  std::map<uint32_t, std::unique_ptr<Asked>> asked_;  // by node
  // Taps add to the mix on the data thread, the timer and the stop take
  // from it on the loop.
  std::mutex mixLock_;
  SystemMix mix_;
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
  // PipeWire's pulse server names the devices the way the user's settings
  // do; a sink whose monitor is the microphone (a virtual one, not the
  // output the user listens to) is heard in the microphone's track.
  if (auto pulse = pulse::PulseConnection::create("Halden"); pulse.ok()) {
    if (auto server = (*pulse)->server(); server.ok()) {
      auto feed = (*pulse)->microphoneOnlyMonitor(*server);
      constexpr std::string_view suffix = ".monitor";
      if (feed.ok() && *feed && (*feed)->ends_with(suffix)) {
        micFeed_ = (*feed)->substr(0, (*feed)->size() - suffix.size());
      }
    }
  }
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
  HALDEN_TRY(connect(microphone_));
  // Linked once the session manager has found each stream its device and
  // the format is agreed: paused until the device's graph runs.
  timespec deadline{};
  pw_thread_loop_get_time(loop_, &deadline, std::chrono::nanoseconds(linkTimeout).count());
  for (;;) {
    if (failed_) return *failed_;
    const bool linked = microphone_.state >= PW_STREAM_STATE_PAUSED && microphone_.clock;
    if (linked) break;
    if (pw_thread_loop_timed_wait_full(loop_, &deadline) == -ETIMEDOUT) {
      return pipeWireError(-ETIMEDOUT);
    }
  }
  // The playback streams are recorded at the graph's rate, which the
  // microphone's stream has now (taps on another graph's rate are left
  // out): a resampler in their path would hold back a cycle of audio that
  // the stream's time does not count.
  mix_.begin(startedAt, microphone_.format.sampleRate);
  // Every playback stream there is and will be is announced here.
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (!registry_) return pipeWireError(-errno);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
  pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
#pragma GCC diagnostic pop
  pw_loop* loop = pw_thread_loop_get_loop(loop_);
  mixTimer_ = pw_loop_add_timer(loop, &flushMix, this);
  if (!mixTimer_) return pipeWireError(-errno);
  timespec interval{0, std::chrono::nanoseconds(mixInterval).count()};
  pw_loop_update_timer(loop, mixTimer_, &interval, &interval, false);
  running_ = true;
  return success();
}

// `target`: the serial of the playback stream a tap records.
Result<void> PipeWireCaptureStream::connect(Source& source, const char* target) {
  const bool tap = source.tap.has_value();
  pw_properties* properties = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_APP_NAME, "Halden",
      PW_KEY_NODE_NAME, tap ? "halden-system-audio" : "halden-microphone", nullptr);
  // The microphone has no target: the session manager links the default
  // source, and moves the stream when the user picks another. A tap is
  // linked to its playback stream's own ports, and goes with it.
  if (tap) {
    pw_properties_set(properties, PW_KEY_TARGET_OBJECT, target);
    pw_properties_set(properties, PW_KEY_NODE_DONT_RECONNECT, "true");
  }
  source.stream =
      pw_stream_new(core_, tap ? "Halden system audio" : "Halden microphone", properties);
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
    if (mixTimer_) {
      pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), mixTimer_);
      mixTimer_ = nullptr;
    }
    while (!asked_.empty()) forget(asked_.begin()->first);
    if (registry_) {
      spa_hook_remove(&registryListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
      registry_ = nullptr;
    }
    // No tap's data thread runs after this: the mix is ours alone.
    for (auto& [node, tap] : taps_) {
      std::vector<CaptureBuffer> placed;
      release(*tap, placed);
      for (const CaptureBuffer& buffer : placed) mix_.add(node, buffer);
    }
    taps_.clear();
    // The queue no longer takes the streams' buffers: what is batched and
    // what the clocks still hold go to the recorder at the stop.
    microphone_.delivery.takeBatch(heldAtStop_);
    release(microphone_, heldAtStop_);
    system_.delivery.takeBatch(heldAtStop_);
    mix_.flushAll(monotonicSeconds(), heldAtStop_);
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

// Destroys the stream of `source` and appends what its clock still held
// to `placed`. Under the lock. Destroying the stream waits for its data
// thread to let go of it: after this, nothing touches the clock but us.
void PipeWireCaptureStream::release(Source& source, std::vector<CaptureBuffer>& placed) {
  if (source.stream) {
    spa_hook_remove(&source.listener);
    pw_stream_destroy(source.stream);
    source.stream = nullptr;
  }
  if (source.clock) {
    source.placePending(placed);
    source.clock->releaseHeld(placed);
  }
  source.pending.reset();
  source.clock.reset();
}

void PipeWireCaptureStream::deliver(Source& source, std::vector<CaptureBuffer>& placed) {
  if (source.tap) {
    std::lock_guard lock(mixLock_);
    for (const CaptureBuffer& buffer : placed) mix_.add(*source.tap, buffer);
  } else {
    for (CaptureBuffer& buffer : placed) source.delivery.deliver(std::move(buffer));
  }
  placed.clear();
}

// A node appeared: a playback stream of another application is recorded.
void PipeWireCaptureStream::registryGlobal(void* data, uint32_t id, uint32_t, const char* type,
                                           uint32_t, const spa_dict* props) {
  auto* self = static_cast<PipeWireCaptureStream*>(data);
  if (!props) return;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    self->followLink(*props);
    return;
  }
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0) return;
  const char* nodeName = spa_dict_lookup(props, PW_KEY_NODE_NAME);
  if (nodeName && !self->micFeed_.empty() && self->micFeed_ == nodeName) self->micFeedNode_ = id;
  const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
  if (!mediaClass || std::strcmp(mediaClass, "Stream/Output/Audio") != 0) return;
  // Whose stream it is comes with the node's whole description.
  auto* proxy = static_cast<pw_proxy*>(
      pw_registry_bind(self->registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
  if (!proxy) return;
  auto& asked = *self->asked_.emplace(id, std::make_unique<Asked>(Asked{self, id, proxy})).first->second;
  pw_proxy_add_object_listener(proxy, &asked.listener, &nodeEvents, &asked);
}

void PipeWireCaptureStream::nodeInfo(void* data, const pw_node_info* info) {
  auto& asked = *static_cast<Asked*>(data);
  if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS) || !info->props) return;
  PipeWireCaptureStream& self = *asked.owner;
  const uint32_t node = asked.node;
  const char* serial = spa_dict_lookup(info->props, PW_KEY_OBJECT_SERIAL);
  const char* application = spa_dict_lookup(info->props, PW_KEY_APP_ID);
  const bool own = application && ownApplicationId == application;
  const std::string target = serial ? serial : "";
  self.forget(node);  // destroys `asked`
  if (!own && !target.empty()) self.attachTap(node, target.c_str());
}

void PipeWireCaptureStream::forget(uint32_t node) {
  const auto asked = asked_.find(node);
  if (asked == asked_.end()) return;
  spa_hook_remove(&asked->second->listener);
  pw_proxy_destroy(asked->second->proxy);
  asked_.erase(asked);
}

// A link appeared: a playback stream linked to the microphone's sink is the
// microphone's sound. Its stream starts once linked, so its tap has mixed
// nothing yet.
void PipeWireCaptureStream::followLink(const spa_dict& props) {
  const char* from = spa_dict_lookup(&props, PW_KEY_LINK_OUTPUT_NODE);
  const char* to = spa_dict_lookup(&props, PW_KEY_LINK_INPUT_NODE);
  if (!from || !to || micFeedNode_ == SPA_ID_INVALID) return;
  if (static_cast<uint32_t>(std::strtoul(to, nullptr, 10)) != micFeedNode_) return;
  const auto node = static_cast<uint32_t>(std::strtoul(from, nullptr, 10));
  micStreams_.push_back(node);
  dropTap(node);
}

void PipeWireCaptureStream::registryGlobalRemove(void* data, uint32_t id) {
  auto* self = static_cast<PipeWireCaptureStream*>(data);
  self->forget(id);
  self->dropTap(id);
}

void PipeWireCaptureStream::attachTap(uint32_t node, const char* serial) {
  if (std::find(micStreams_.begin(), micStreams_.end(), node) != micStreams_.end()) return;
  std::unique_ptr<Source>& tap = taps_[node];
  if (tap) return;
  tap = std::make_unique<Source>(this, CaptureSource::system);
  tap->tap = node;
  {
    std::lock_guard lock(mixLock_);
    mix_.attach(node);
  }
  if (Result<void> connected = connect(*tap, serial); !connected.ok()) {
    std::fprintf(stderr, "halden: could not record a playback stream: %s\n",
                 connected.error().description().c_str());
    dropTap(node);
  }
}

// The playback stream is gone: what its tap still held goes into the mix.
void PipeWireCaptureStream::dropTap(uint32_t node) {
  const auto tap = taps_.find(node);
  if (tap == taps_.end()) return;
  std::vector<CaptureBuffer> placed;
  release(*tap->second, placed);
  std::lock_guard lock(mixLock_);
  for (const CaptureBuffer& buffer : placed) mix_.add(node, buffer);
  mix_.detach(node);
  taps_.erase(tap);
}

// Thread loop, every mixInterval.
void PipeWireCaptureStream::flushMix(void* data, uint64_t) {
  auto* self = static_cast<PipeWireCaptureStream*>(data);
  if (!self->running_) return;
  std::vector<CaptureBuffer>& mixed = self->system_.ready;
  {
    std::lock_guard lock(self->mixLock_);
    self->mix_.flush(monotonicSeconds() - mixHorizon, mixed);
  }
  for (CaptureBuffer& buffer : mixed) self->system_.delivery.deliver(std::move(buffer));
  mixed.clear();
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
    // What a playback stream hands over in a cycle, its sink plays from the
    // next one on: a cycle later than a monitor or a source delivers it.
    if (source.tap) heard += framesOf(buffers.back()) / rate;
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
    source.owner->deliver(source, source.ready);
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
  if (state == PW_STREAM_STATE_ERROR && source.tap) {
    // The playback stream could not be followed (it went as it was being
    // linked, or the graph refused): the others are still recorded.
    std::lock_guard lock(self.mixLock_);
    self.mix_.detach(*source.tap);
  } else if (state == PW_STREAM_STATE_ERROR) {
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
      source.owner->deliver(source, source.ready);
    }
    source.format = format;
    source.clock.emplace(format.sampleRate);
  }
  pw_thread_loop_signal(source.owner->loop_, false);
}

void PipeWireCaptureStream::coreError(void* data, uint32_t id, int, int result, const char*) {
  // Errors of single requests are the streams' to report. The core also
  // tells of requests to objects the daemon has already dropped ("unknown
  // resource": a playback stream's tap whose stream just ended); only a
  // broken connection means the daemon is gone.
  if (id != PW_ID_CORE || result != -EPIPE) return;
  static_cast<PipeWireCaptureStream*>(data)->reportStop(pipeWireError(result));
}

}  // namespace

std::unique_ptr<CaptureStream> createPipeWireCaptureStream(CaptureStreamId id,
                                                           CaptureStreamOutput& output,
                                                           SerialQueue& queue) {
  return std::make_unique<PipeWireCaptureStream>(id, output, queue);
}

}  // namespace halden
