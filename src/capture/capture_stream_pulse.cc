// The capture stream on PulseAudio: record streams on one connection, all
// timestamped on CLOCK_MONOTONIC: the default source, and the computer's
// sound from every sink, summed. A sink is heard through its monitor, which
// hears everything it plays from the first moment; while Halden's own sound
// plays on a sink, that sink is heard instead through monitors of its other
// playback streams, each alone, which are kept ready for that from when the
// stream appears (a monitor of a single stream misses what its sink
// rendered before the monitor came). A server too old for monitors of
// single streams gets the default sink's monitor, Halden's sound included.
//
// Each fragment is stamped with the time it was heard by the server's own
// account of the stream (pa_timing_info): the frame at the write index was
// heard the source's latency before the account was made, and, for a sink's
// monitor, will be heard the sink's latency after it, since a sink renders
// (and its monitor delivers) that far ahead of what it plays. The account
// covers what the time of arrival cannot see: an idle sink that rendered
// seconds ahead before the recording began, a virtual source whose latency
// is its master's, a sink whose latency changes. PipeWire's pulse server
// keeps no such account; there the PipeWire stream records instead.
#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/capture_stream_pipewire.h"
#include "capture/pulse_connection.h"
#include "capture/source_clock.h"
#include "capture/source_delivery.h"
#include "capture/system_mix.h"
#include "store/format.h"

namespace halden {
namespace {

using pulse::LoopLock;
using pulse::PulseConnection;
using pulse::pulseError;
using pulse::ServerFacts;
using pulse::SinkFacts;

constexpr char clientName[] = "Halden";
// Record fragments: small enough that buffers come every 20 ms instead of in
// two-second bursts, which keeps the arrival clock a usable reference (and
// several fragments fit in the clock's pause threshold).
constexpr pa_usec_t fragmentUsec = 20'000;
// How often the server is asked for its account of a stream, seconds: often
// enough that a change of latency reaches the placement within a fraction
// of a second, rarely enough to cost nothing measurable.
constexpr double accountInterval = 0.25;
// A pause in delivery longer than this, seconds (several fragments), means
// the stream's account has to be taken anew.
constexpr double deliveryGap = 0.1;
// How often the mix of the playback streams is handed on, seconds.
constexpr double mixInterval = 0.05;
// How far the mix stays behind the capture clock, seconds: a stream that
// starts playing is placed only once its clock has settled and the server
// has given its first account.
constexpr double mixHorizon = SourceClock::settleSeconds + 0.15;
// The first protocol version with monitors of single playback streams.
constexpr uint32_t streamMonitorProtocol = 13;
// A sink's monitor is mixed under its index plus this; streams under theirs.
constexpr uint64_t sinkKey = uint64_t{1} << 32;
// How long after Halden's stream left a sink it may still be heard there
// (what the sink rendered before it was told), seconds.
constexpr double ownTail = 0.1;
// Said once per run of the app.
bool saidMonitorOnly = false;

double secondsOf(const timespec& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

double monotonicSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return secondsOf(now);
}

std::optional<SampleFormat> sampleFormatOf(pa_sample_format_t format) {
  switch (format) {
    case PA_SAMPLE_FLOAT32NE:
      return SampleFormat::float32;
    case PA_SAMPLE_S16NE:
      return SampleFormat::int16;
    case PA_SAMPLE_S32NE:
      return SampleFormat::int32;
    default:
      return std::nullopt;
  }
}

class PulseCaptureStream final : public CaptureStream {
 public:
  PulseCaptureStream(std::string sinkName, CaptureStreamId id, CaptureStreamOutput& output,
                     SerialQueue& queue)
      : sinkName_(std::move(sinkName)), id_(id), output_(output), queue_(queue) {}

  ~PulseCaptureStream() override {
    // Runs after any start or stop still pending; control_ drains as it goes.
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
  bool keepsOwnSoundOut() const override { return perStream_; }

 private:
  // One record stream. Touched on the loop thread (or under its lock).
  struct Source {
    Source(PulseCaptureStream* o, CaptureSource k)
        : owner(o), kind(k), delivery(o->id_, o->output_, o->queue_) {}
    PulseCaptureStream* owner;
    CaptureSource kind;
    // For the system audio: the key the mix sums it under (a playback
    // stream's index, or a sink's with sinkKey set), and the sink it hears.
    std::optional<uint64_t> tap;
    bool wholeSink = false;  // a sink's monitor, rather than one stream's
    uint32_t sinkIndex = PA_INVALID_INDEX;
    pa_stream* stream = nullptr;
    AudioFormat format;
    int64_t position = 0;  // frames read so far, holes included: the read index
    // When frame 0 of the stream was heard, by the server's latest account
    // (capture clock, seconds); none before its first account.
    std::optional<double> origin;
    double asked = -accountInterval;   // when an account was last asked for
    double lastRead = 0;               // when the stream last had something
    std::optional<SourceClock> clock;  // made once the format is known
    // Fragments read before the server's first account of what was written.
    struct Fragment {
      int64_t position;
      int64_t frames;
      double arrival;  // when it was read, less what was still readable then
      std::optional<CaptureBuffer> buffer;
    };
    std::vector<Fragment> waiting;
    SourceDelivery delivery;
  };

  Result<void> start();
  Result<void> connect(Source& source, const char* device);
  void teardown();
  void release(Source& source);
  void disconnect(Source& source);
  void watchPlayback(uint32_t input);
  void watchSink(uint32_t sink);
  void attachTap(uint32_t input, uint32_t sinkIndex, const char* monitorSource);
  void attachSink(uint32_t sinkIndex, const char* monitorSource);
  std::unique_ptr<Source> recordSystem(uint64_t key, uint32_t sinkIndex, bool wholeSink,
                                       const char* monitorSource);
  void dropTap(uint32_t input);
  void dropSink(uint32_t sink);
  void ownPlays(uint32_t input, uint32_t sink);
  void mixIn(const Source& source, const CaptureBuffer& buffer);
  void tapEnded(Source& tap);
  void scheduleMix();
  void flushMix(double until);
  void read(Source& source);
  void account(Source& source);
  void place(Source& source, Source::Fragment fragment);
  void reportStop(int code);
  void followDefaultSink();
  void useSink(const pa_sink_info& sink);

  std::string sinkName_;
  uint32_t sinkIndex_ = PA_INVALID_INDEX;
  const CaptureStreamId id_;
  CaptureStreamOutput& output_;
  SerialQueue& queue_;
  std::unique_ptr<PulseConnection> connection_;
  // Records the default sink's monitor only on an old server; otherwise
  // hands the mix on.
  Source system_{this, CaptureSource::system};
  Source microphone_{this, CaptureSource::microphone};
  bool perStream_ = false;  // playback streams recorded one by one and mixed
  std::string micFeed_;     // the monitor the microphone records, if any
  std::map<uint32_t, std::unique_ptr<Source>> taps_;   // by playback stream
  std::map<uint32_t, std::unique_ptr<Source>> sinks_;  // monitors, by sink
  std::map<uint32_t, uint32_t> own_;  // Halden's playing streams: their sinks
  // Per sink, when Halden's own sound played there (capture clock, from and
  // until; until infinity while it plays).
  std::map<uint32_t, std::vector<std::pair<double, double>>> ownSpans_;
  SystemMix mix_;
  pa_time_event* mixTimer_ = nullptr;
  bool running_ = false;              // under the loop lock: started and not yet stopping
  bool reported_ = false;             // under the loop lock: a stop was reported
  std::vector<CaptureBuffer> ready_;  // loop thread: scratch for place()
  // Control queue: what the clocks still held when the streams were torn
  // down; taken after the stop has completed.
  std::vector<CaptureBuffer> heldAtStop_;
  // Last member: destroyed first, after running what was submitted to it.
  SerialQueue control_{"com.tallowmere.halden.pulse"};
};

Result<void> PulseCaptureStream::start() {
  // The recording begins now, however long the server takes to answer.
  const double startedAt = monotonicSeconds();
  for (Source* source : {&system_, &microphone_}) source->delivery.begin(startedAt);
  auto connection = PulseConnection::create(clientName);
  if (!connection.ok()) return std::move(connection).error();
  connection_ = std::move(connection).value();

  // The device found when the recording was asked for may be gone; the
  // default output is what the user hears now.
  const ServerFacts server = HALDEN_TRY(connection_->server());
  std::optional<SinkFacts> sink = HALDEN_TRY(connection_->sink(sinkName_));
  if (!sink || sink->monitorSourceName.empty()) {
    sink = HALDEN_TRY(connection_->sink(server.defaultSink));
  }
  if (!sink || sink->monitorSourceName.empty()) return pulseError(PA_ERR_NOENTITY);

  // A sink whose monitor is the microphone (a virtual one) is heard there,
  // unless it is the output the user listens to.
  micFeed_ = HALDEN_TRY(connection_->microphoneOnlyMonitor(server)).value_or("");
  pa_context* context = connection_->context();
  LoopLock lock(connection_->loop());
  sinkName_ = sink->name;
  sinkIndex_ = sink->index;
  perStream_ = pa_context_get_server_protocol_version(context) >= streamMonitorProtocol;
  mix_.begin(startedAt, meetingSampleRate);
  pa_context_set_state_callback(
      context,
      [](pa_context* c, void* data) {
        auto* self = static_cast<PulseCaptureStream*>(data);
        pa_threaded_mainloop_signal(self->connection_->loop(), 0);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) self->reportStop(pa_context_errno(c));
      },
      this);
  pa_context_set_subscribe_callback(
      context,
      [](pa_context*, pa_subscription_event_type_t event, uint32_t index, void* data) {
        auto* self = static_cast<PulseCaptureStream*>(data);
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
          if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
            self->dropTap(index);
            self->ownPlays(index, PA_INVALID_INDEX);
          } else {
            self->watchPlayback(index);
          }
          return;
        }
        if (self->perStream_ && facility == PA_SUBSCRIPTION_EVENT_SINK) {
          if (type == PA_SUBSCRIPTION_EVENT_NEW) self->watchSink(index);
          if (type == PA_SUBSCRIPTION_EVENT_REMOVE) self->dropSink(index);
          return;
        }
        if (type != PA_SUBSCRIPTION_EVENT_CHANGE || self->perStream_) return;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
            (facility == PA_SUBSCRIPTION_EVENT_SINK && index == self->sinkIndex_)) {
          self->followDefaultSink();
        }
      },
      this);
  if (pa_operation* subscribed =
          pa_context_subscribe(context,
                               static_cast<pa_subscription_mask_t>(
                                   perStream_ ? PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                    PA_SUBSCRIPTION_MASK_SINK
                                              : PA_SUBSCRIPTION_MASK_SERVER |
                                                    PA_SUBSCRIPTION_MASK_SINK),
                               nullptr, nullptr)) {
    pa_operation_unref(subscribed);
  }

  if (perStream_) {
    // The sinks and streams there are now; later ones are announced.
    pa_operation* sinks = pa_context_get_sink_info_list(
        context,
        [](pa_context*, const pa_sink_info* info, int, void* data) {
          auto* self = static_cast<PulseCaptureStream*>(data);
          if (info && info->monitor_source_name) {
            self->attachSink(info->index, info->monitor_source_name);
          }
        },
        this);
    if (sinks) pa_operation_unref(sinks);
    pa_operation* listed = pa_context_get_sink_input_info_list(
        context,
        [](pa_context*, const pa_sink_input_info* input, int, void* data) {
          if (input) static_cast<PulseCaptureStream*>(data)->watchPlayback(input->index);
        },
        this);
    if (listed) pa_operation_unref(listed);
    scheduleMix();
  } else if (!std::exchange(saidMonitorOnly, true)) {
    std::fputs("halden: This sound server cannot record single playback streams; the "
               "computer's audio is recorded from the default output, and the workspace page "
               "is muted while recording.\n",
               stderr);
  }
  if (!perStream_) HALDEN_TRY(connect(system_, sink->monitorSourceName.c_str()));
  // No device: the server moves this stream whenever the default source
  // changes, so the microphone track follows the user's choice.
  HALDEN_TRY(connect(microphone_, nullptr));
  for (;;) {
    const pa_stream_state_t system =
        system_.stream ? pa_stream_get_state(system_.stream) : PA_STREAM_READY;
    const pa_stream_state_t microphone = pa_stream_get_state(microphone_.stream);
    if (!PA_STREAM_IS_GOOD(system) || !PA_STREAM_IS_GOOD(microphone) ||
        !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
      return connection_->lastError();
    }
    if (system == PA_STREAM_READY && microphone == PA_STREAM_READY) break;
    pa_threaded_mainloop_wait(connection_->loop());
  }
  for (Source* source : {&system_, &microphone_}) {
    if (!source->stream) continue;
    const pa_sample_spec* spec = pa_stream_get_sample_spec(source->stream);
    const std::optional<SampleFormat> format = sampleFormatOf(spec->format);
    if (!format) return pulseError(PA_ERR_NOTSUPPORTED);
    source->format = AudioFormat{*format, static_cast<double>(spec->rate), spec->channels};
    source->clock.emplace(source->format.sampleRate);
  }
  running_ = true;
  return success();
}

// A playback stream appeared or changed: record it unless it is Halden's
// own, paused, or recorded already where it plays. Loop thread.
void PulseCaptureStream::watchPlayback(uint32_t input) {
  if (!perStream_) return;
  pa_operation* asked = pa_context_get_sink_input_info(
      connection_->context(), input,
      [](pa_context* context, const pa_sink_input_info* info, int, void* data) {
        auto* self = static_cast<PulseCaptureStream*>(data);
        if (!info || !self->running_) return;
        const char* application = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_ID);
        if (application && ownApplicationId == application) {
          self->ownPlays(info->index, info->corked ? PA_INVALID_INDEX : info->sink);
          return;
        }
        const auto tap = self->taps_.find(info->index);
        if (info->corked) {
          self->dropTap(info->index);
          return;
        }
        if (tap != self->taps_.end() && tap->second->stream && tap->second->sinkIndex == info->sink) {
          return;
        }
        struct Wanted {
          PulseCaptureStream* self;
          uint32_t input;
        };
        pa_operation* sinkAsked = pa_context_get_sink_info_by_index(
            context, info->sink,
            [](pa_context*, const pa_sink_info* sink, int, void* wanted) {
              auto* want = static_cast<Wanted*>(wanted);
              if (sink) {
                if (sink->monitor_source_name && want->self->running_ &&
                    want->self->micFeed_ != sink->monitor_source_name) {
                  want->self->attachTap(want->input, sink->index, sink->monitor_source_name);
                }
              } else {
                delete want;  // the list's end
              }
            },
            new Wanted{self, info->index});
        if (sinkAsked) pa_operation_unref(sinkAsked);
      },
      this);
  if (asked) pa_operation_unref(asked);
}

void PulseCaptureStream::attachTap(uint32_t input, uint32_t sinkIndex, const char* monitorSource) {
  std::unique_ptr<Source>& tap = taps_[input];
  if (tap && tap->stream && tap->sinkIndex == sinkIndex) return;
  if (tap) release(*tap);
  // A monitor of one stream only: the server hands it what that stream
  // plays on its sink, before the sink mixes it with the others.
  tap = recordSystem(input, sinkIndex, false, monitorSource);
}

// A sink appeared. Loop thread.
void PulseCaptureStream::watchSink(uint32_t sink) {
  pa_operation* asked = pa_context_get_sink_info_by_index(
      connection_->context(), sink,
      [](pa_context*, const pa_sink_info* info, int, void* data) {
        auto* self = static_cast<PulseCaptureStream*>(data);
        if (info && info->monitor_source_name && self->running_) {
          self->attachSink(info->index, info->monitor_source_name);
        }
      },
      this);
  if (asked) pa_operation_unref(asked);
}

void PulseCaptureStream::attachSink(uint32_t sinkIndex, const char* monitorSource) {
  // The microphone's own sink (a virtual microphone's) is heard there.
  if (micFeed_ == monitorSource) return;
  std::unique_ptr<Source>& monitor = sinks_[sinkIndex];
  if (monitor && monitor->stream) return;
  monitor = recordSystem(sinkKey + sinkIndex, sinkIndex, true, monitorSource);
}

// A record stream of the computer's sound on `monitorSource`, mixed under
// `key`: the sink's whole monitor, or the stream `key` alone. Its failure
// is said on standard error; the others go on.
std::unique_ptr<PulseCaptureStream::Source> PulseCaptureStream::recordSystem(
    uint64_t key, uint32_t sinkIndex, bool wholeSink, const char* monitorSource) {
  auto source = std::make_unique<Source>(this, CaptureSource::system);
  source->tap = key;
  source->wholeSink = wholeSink;
  source->sinkIndex = sinkIndex;
  source->format = AudioFormat{SampleFormat::float32, meetingSampleRate, 1};
  source->clock.emplace(meetingSampleRate);
  mix_.attach(key);
  if (Result<void> connected = connect(*source, monitorSource); !connected.ok()) {
    std::fprintf(stderr, "halden: could not record %s: %s\n",
                 wholeSink ? "an output" : "a playback stream",
                 connected.error().description().c_str());
    release(*source);
    mix_.detach(key);
  }
  return source;
}

void PulseCaptureStream::dropSink(uint32_t sink) {
  const auto monitor = sinks_.find(sink);
  if (monitor == sinks_.end()) return;
  release(*monitor->second);
  mix_.detach(sinkKey + sink);
  sinks_.erase(monitor);
}

// Halden's stream `input` now plays on `sink` (none: it stopped). From now
// on that sink is heard stream by stream, until a moment after it left.
void PulseCaptureStream::ownPlays(uint32_t input, uint32_t sink) {
  const auto known = own_.find(input);
  const uint32_t before = known == own_.end() ? PA_INVALID_INDEX : known->second;
  if (before == sink) return;
  const auto playsOn = [this](uint32_t where) {
    return std::any_of(own_.begin(), own_.end(), [where](const auto& own) { return own.second == where; });
  };
  const double now = monotonicSeconds();
  if (before != PA_INVALID_INDEX) {
    own_.erase(known);
    if (!playsOn(before)) {
      for (auto& span : ownSpans_[before]) span.second = std::min(span.second, now + ownTail);
    }
  }
  if (sink != PA_INVALID_INDEX) {
    if (!playsOn(sink)) {
      ownSpans_[sink].emplace_back(now, std::numeric_limits<double>::infinity());
    }
    own_[input] = sink;
  }
}

// Adds what the mix takes of a placed buffer: a sink's monitor outside the
// times Halden's sound played there, a single stream inside them.
void PulseCaptureStream::mixIn(const Source& source, const CaptureBuffer& buffer) {
  const auto spans = ownSpans_.find(source.sinkIndex);
  if (spans == ownSpans_.end() || spans->second.empty()) {
    if (source.wholeSink) mix_.add(*source.tap, buffer);
    return;
  }
  const double perFrame = 1.0 / (buffer.format->sampleRate * buffer.clockRatio.value_or(1));
  const double ends = buffer.timestamp + static_cast<double>(buffer.frameCount) * perFrame;
  const auto frameAt = [&](double time) {
    // Spans still open end at infinity, which no frame number holds.
    return std::clamp<int64_t>(
        std::llround((std::clamp(time, buffer.timestamp, ends) - buffer.timestamp) / perFrame), 0,
        buffer.frameCount);
  };
  // The frames inside the spans, in order, merged.
  std::vector<std::pair<int64_t, int64_t>> inside;
  for (const auto& [from, until] : spans->second) {
    const int64_t first = frameAt(from), last = frameAt(until);
    if (first < last) inside.emplace_back(first, last);
  }
  std::sort(inside.begin(), inside.end());
  std::vector<std::pair<int64_t, int64_t>> kept;
  int64_t at = 0;
  for (const auto& [begin, end] : inside) {
    if (source.wholeSink && begin > at) kept.emplace_back(at, begin);
    if (!source.wholeSink && end > std::max(begin, at)) kept.emplace_back(std::max(begin, at), end);
    at = std::max(at, end);
  }
  if (source.wholeSink && at < buffer.frameCount) kept.emplace_back(at, buffer.frameCount);
  const std::size_t frameSize = buffer.format->bytesPerFrame();
  for (const auto& [begin, end] : kept) {
    CaptureBuffer part;
    part.source = buffer.source;
    part.format = buffer.format;
    part.clockRatio = buffer.clockRatio;
    part.frameCount = end - begin;
    part.timestamp = buffer.timestamp + static_cast<double>(begin) * perFrame;
    part.samples.assign(buffer.samples.begin() + static_cast<std::ptrdiff_t>(begin * frameSize),
                        buffer.samples.begin() + static_cast<std::ptrdiff_t>(end * frameSize));
    mix_.add(*source.tap, part);
  }
}

// The stream is gone: what its monitor still held goes into the mix.
void PulseCaptureStream::dropTap(uint32_t input) {
  const auto tap = taps_.find(input);
  if (tap == taps_.end()) return;
  release(*tap->second);
  mix_.detach(input);
  taps_.erase(tap);
}

// The server ended a tap's record stream (its playback stream ended, or
// moved to another sink, which is then announced). Loop thread.
void PulseCaptureStream::tapEnded(Source& tap) { release(tap); }

// Places what `source` still holds, and disconnects it. Under the lock.
void PulseCaptureStream::release(Source& source) {
  if (source.clock) {
    std::vector<CaptureBuffer> placed;
    // Stopped before the server told: placed by their arrival.
    for (Source::Fragment& fragment : source.waiting) {
      source.clock->take(fragment.arrival, fragment.frames, std::move(fragment.buffer), placed);
    }
    source.waiting.clear();
    source.clock->releaseHeld(placed);
    if (source.tap) {
      for (const CaptureBuffer& buffer : placed) mixIn(source, buffer);
    } else {
      source.delivery.takeBatch(heldAtStop_);
      for (CaptureBuffer& buffer : placed) heldAtStop_.push_back(std::move(buffer));
    }
    source.clock.reset();
  } else if (!source.tap) {
    source.delivery.takeBatch(heldAtStop_);  // the mix's
  }
  disconnect(source);
}

void PulseCaptureStream::disconnect(Source& source) {
  if (!source.stream) return;
  pa_stream_set_state_callback(source.stream, nullptr, nullptr);
  pa_stream_set_read_callback(source.stream, nullptr, nullptr);
  pa_stream_set_latency_update_callback(source.stream, nullptr, nullptr);
  pa_stream_disconnect(source.stream);
  pa_stream_unref(source.stream);
  source.stream = nullptr;
}

void PulseCaptureStream::scheduleMix() {
  mixTimer_ = pa_context_rttime_new(
      connection_->context(), pa_rtclock_now() + static_cast<pa_usec_t>(mixInterval * 1e6),
      [](pa_mainloop_api*, pa_time_event* timer, const timeval*, void* data) {
        auto* self = static_cast<PulseCaptureStream*>(data);
        self->flushMix(monotonicSeconds() - mixHorizon);
        pa_context_rttime_restart(self->connection_->context(), timer,
                                  pa_rtclock_now() + static_cast<pa_usec_t>(mixInterval * 1e6));
      },
      this);
}

// Loop thread.
void PulseCaptureStream::flushMix(double until) {
  if (!running_) return;
  mix_.flush(until, ready_);
  for (CaptureBuffer& mixed : ready_) system_.delivery.deliver(std::move(mixed));
  ready_.clear();
}

Result<void> PulseCaptureStream::connect(Source& source, const char* device) {
  // 16 kHz mono float, as the tracks hold it; the server converts.
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(meetingSampleRate), 1};
  const char* name =
      source.kind == CaptureSource::system ? "Halden system audio" : "Halden microphone";
  source.stream = pa_stream_new(connection_->context(), name, &spec, nullptr);
  if (!source.stream) return connection_->lastError();
  if (source.tap && !source.wholeSink &&
      pa_stream_set_monitor_stream(source.stream, static_cast<uint32_t>(*source.tap)) < 0) {
    return connection_->lastError();
  }
  pa_stream_set_state_callback(
      source.stream,
      [](pa_stream* stream, void* data) {
        auto* self = static_cast<Source*>(data)->owner;
        pa_threaded_mainloop_signal(self->connection_->loop(), 0);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) &&
            static_cast<Source*>(data)->tap) {
          self->tapEnded(*static_cast<Source*>(data));
        } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
          const int code = pa_context_errno(self->connection_->context());
          self->reportStop(code != PA_OK ? code : PA_ERR_KILLED);
        }
      },
      &source);
  pa_stream_set_read_callback(
      source.stream,
      [](pa_stream*, size_t, void* data) {
        auto* reading = static_cast<Source*>(data);
        reading->owner->read(*reading);
      },
      &source);
  pa_stream_set_latency_update_callback(
      source.stream,
      [](pa_stream*, void* data) {
        auto* updated = static_cast<Source*>(data);
        updated->owner->account(*updated);
      },
      &source);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(fragmentUsec, &spec));
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(source.stream, device, &attributes, flags) < 0) {
    return connection_->lastError();
  }
  return success();
}

void PulseCaptureStream::teardown() {
  if (!connection_) return;
  {
    LoopLock lock(connection_->loop());
    running_ = false;
    // Every callback that reaches this object through connection_ goes
    // before the lock is let go: once it is, the loop may run them while
    // connection_ is being reset.
    pa_context_set_state_callback(connection_->context(), nullptr, nullptr);
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
    if (mixTimer_) {
      pa_threaded_mainloop_get_api(connection_->loop())->time_free(mixTimer_);
      mixTimer_ = nullptr;
    }
    for (auto& [input, tap] : taps_) release(*tap);
    taps_.clear();
    for (auto& [sink, monitor] : sinks_) release(*monitor);
    sinks_.clear();
    own_.clear();
    ownSpans_.clear();
    for (Source* source : {&system_, &microphone_}) release(*source);
    if (perStream_) {
      std::vector<CaptureBuffer> mixed;
      mix_.flushAll(monotonicSeconds(), mixed);
      for (CaptureBuffer& buffer : mixed) heldAtStop_.push_back(std::move(buffer));
    }
  }
  connection_.reset();
}

void PulseCaptureStream::reportStop(int code) {
  if (!running_ || reported_) return;
  reported_ = true;
  queue_.submit([&output = output_, id = id_, error = pulseError(code)]() mutable {
    output.streamDidStop(id, std::move(error));
  });
}

void PulseCaptureStream::read(Source& source) {
  if (!running_ || !source.clock) return;
  const double now = monotonicSeconds();
  const std::size_t frameSize = source.format.bytesPerFrame();
  const double rate = source.format.sampleRate;
  std::size_t readable = pa_stream_readable_size(source.stream);
  if (readable == static_cast<std::size_t>(-1)) return;
  if (now - source.lastRead > deliveryGap) {
    // The source delivered nothing for a while: it was moved, suspended, or
    // its sink had rendered ahead. Whatever changed, the last account may no
    // longer hold: what comes now waits for a new one.
    source.origin.reset();
    source.asked = -accountInterval;
  }
  source.lastRead = now;
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(source.stream, &data, &bytes) < 0 || bytes == 0) break;
    const auto frames = static_cast<int64_t>(bytes / frameSize);
    // Everything still readable was captured before now, back to back: this
    // fragment arrived that long ago, or later.
    Source::Fragment fragment{
        source.position, frames, now - static_cast<double>(readable / frameSize) / rate, {}};
    source.position += frames;
    if (data) {
      // A hole (no data) is time that passed without audio.
      CaptureBuffer& buffer = fragment.buffer.emplace();
      buffer.source = source.kind;
      buffer.format = source.format;
      buffer.frameCount = frames;
      const auto* begin = static_cast<const std::byte*>(data);
      buffer.samples.assign(begin, begin + static_cast<std::size_t>(frames) * frameSize);
    }
    pa_stream_drop(source.stream);
    readable = readable > bytes ? readable - bytes : 0;
    if (source.origin) {
      place(source, std::move(fragment));
    } else {
      source.waiting.push_back(std::move(fragment));
    }
  }
  if (now - source.asked >= accountInterval) {
    source.asked = now;
    // The answer comes to account().
    if (pa_operation* asked = pa_stream_update_timing_info(source.stream, nullptr, nullptr)) {
      pa_operation_unref(asked);
    }
  }
}

void PulseCaptureStream::place(Source& source, Source::Fragment fragment) {
  const double counted =
      *source.origin + static_cast<double>(fragment.position) / source.format.sampleRate;
  // A monitor delivers what its sink renders before the sink plays it, a
  // source what it captured after it was heard: the arrival bounds the time
  // heard from below for the one and from above for the other.
  const double heard = source.kind == CaptureSource::system ? std::max(counted, fragment.arrival)
                                                            : std::min(counted, fragment.arrival);
  source.clock->take(heard, fragment.frames, std::move(fragment.buffer), ready_);
  for (CaptureBuffer& placed : ready_) {
    if (source.tap) {
      mixIn(source, placed);
    } else {
      source.delivery.deliver(std::move(placed));
    }
  }
  ready_.clear();
}

// The server's account of a stream came. Loop thread.
void PulseCaptureStream::account(Source& source) {
  const pa_timing_info* timing = pa_stream_get_timing_info(source.stream);
  // Until something was written, an account only tells that frame 0 will
  // be heard later than now.
  if (!running_ || !source.clock || !timing || timing->write_index_corrupt ||
      timing->write_index <= 0) {
    return;
  }
  // The account is stamped with the server's wall-clock time; both clocks
  // are read together to carry it onto the capture clock.
  timespec wall{}, monotonic{};
  clock_gettime(CLOCK_REALTIME, &wall);
  clock_gettime(CLOCK_MONOTONIC, &monotonic);
  const double made = static_cast<double>(timing->timestamp.tv_sec) +
                      static_cast<double>(timing->timestamp.tv_usec) / 1e6 - secondsOf(wall) +
                      secondsOf(monotonic);
  const double written = static_cast<double>(static_cast<uint64_t>(timing->write_index) /
                                             source.format.bytesPerFrame()) /
                         source.format.sampleRate;
  // sink_usec is the monitored sink's latency, and 0 for other sources.
  source.origin = made - written - static_cast<double>(timing->source_usec) / 1e6 +
                  static_cast<double>(timing->sink_usec) / 1e6;
  for (Source::Fragment& fragment : source.waiting) place(source, std::move(fragment));
  source.waiting.clear();
}

// The default sink changed, or the one recorded did: record the monitor of
// whatever the default sink is now. Loop thread.
void PulseCaptureStream::followDefaultSink() {
  pa_operation* operation = pa_context_get_server_info(
      connection_->context(),
      [](pa_context* context, const pa_server_info* info, void* data) {
        auto* self = static_cast<PulseCaptureStream*>(data);
        if (!info || !info->default_sink_name || !self->running_) return;
        pa_operation* query = pa_context_get_sink_info_by_name(
            context, info->default_sink_name,
            [](pa_context*, const pa_sink_info* sink, int, void* owner) {
              if (sink) static_cast<PulseCaptureStream*>(owner)->useSink(*sink);
            },
            self);
        if (query) pa_operation_unref(query);
      },
      this);
  if (operation) pa_operation_unref(operation);
}

void PulseCaptureStream::useSink(const pa_sink_info& sink) {
  if (!running_ || !system_.stream || !sink.monitor_source_name) return;
  if (sink.name && sinkName_ == sink.name) return;
  sinkName_ = sink.name ? sink.name : "";
  sinkIndex_ = sink.index;
  // Moving keeps the stream and its sample count: nothing is lost, and a
  // pause while moving becomes silence through the arrival clock.
  pa_operation* move = pa_context_move_source_output_by_name(
      connection_->context(), pa_stream_get_index(system_.stream), sink.monitor_source_name,
      nullptr, nullptr);
  if (move) pa_operation_unref(move);
}

class PulseCaptureService final : public CaptureService {
 public:
  void requestMicrophoneAccess(std::function<void(bool)> done) override {
    std::thread([done = std::move(done)] { done(microphoneAvailable()); }).detach();
  }

  void findSystemAudio(
      std::function<void(Result<std::optional<SystemAudioDevice>>)> done) override {
    std::thread([done = std::move(done)] { done(defaultSinkMonitor()); }).detach();
  }

  Result<std::unique_ptr<CaptureStream>> createStream(const SystemAudioDevice& device,
                                                      CaptureStreamId id,
                                                      CaptureStreamOutput& output,
                                                      SerialQueue& queue) override {
    if (device.onPipeWire) return createPipeWireCaptureStream(id, output, queue);
    return std::unique_ptr<CaptureStream>(new PulseCaptureStream(device.name, id, output, queue));
  }

 private:
  // The microphone can be recorded when the server answers and its default
  // source is an input (not the monitor of an output, which would record the
  // computer's sound twice).
  static bool microphoneAvailable() {
    auto connection = PulseConnection::create(clientName);
    if (!connection.ok()) return false;
    auto server = (*connection)->server();
    if (!server.ok() || server->defaultSource.empty()) return false;
    auto input = (*connection)->isInputSource(server->defaultSource);
    return input.ok() && *input;
  }

  static Result<std::optional<SystemAudioDevice>> defaultSinkMonitor() {
    auto connection = HALDEN_TRY(PulseConnection::create(clientName));
    const ServerFacts server = HALDEN_TRY(connection->server());
    if (server.defaultSink.empty()) return std::optional<SystemAudioDevice>();
    const std::optional<SinkFacts> sink = HALDEN_TRY(connection->sink(server.defaultSink));
    if (!sink || sink->monitorSourceName.empty()) return std::optional<SystemAudioDevice>();
    return std::optional<SystemAudioDevice>(
        SystemAudioDevice{sink->name, server.name.find("PipeWire") != std::string::npos});
  }
};

}  // namespace

void markOwnSound() {
  // The client library adds what PULSE_PROP names to every stream of the
  // process; children inherit it.
  std::string properties = "application.id=" + std::string(ownApplicationId);
  if (const char* earlier = std::getenv("PULSE_PROP"); earlier && *earlier) {
    properties = std::string(earlier) + " " + properties;
  }
  setenv("PULSE_PROP", properties.c_str(), 1);
}

std::unique_ptr<CaptureService> createPulseCaptureService() {
  return std::make_unique<PulseCaptureService>();
}

}  // namespace halden
