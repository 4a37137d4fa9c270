// Hears sinks through PipeWire's own client library, for tests that need to
// know when a PipeWire sink played a click. PipeWire's pulse server accounts
// for a playing stream by what it took from the client, not by what the
// sink played: up to a graph cycle off, 13 ms for a player with a long
// buffer. A capture of the sink's monitor runs in the very graph cycle that
// plays the audio, and the graph stamps each cycle on CLOCK_MONOTONIC.
#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace halden::testing {

class GraphListener {
 public:
  GraphListener()
      : loop_((pw_init(nullptr, nullptr), pw_thread_loop_new("halden-tests", nullptr))) {
    pw_thread_loop_start(loop_);
  }
  ~GraphListener() {
    pw_thread_loop_stop(loop_);
    for (auto& [sink, ear] : ears_) {
      if (ear->stream) pw_stream_destroy(ear->stream);
    }
    pw_thread_loop_destroy(loop_);
  }
  GraphListener(const GraphListener&) = delete;
  GraphListener& operator=(const GraphListener&) = delete;

  // Hears `sink` from now on (PIPEWIRE_RUNTIME_DIR names the server), if
  // not already. False when the stream cannot be made.
  bool listen(const std::string& sink) {
    pw_thread_loop_lock(loop_);
    std::unique_ptr<Ear>& ear = ears_[sink];
    if (!ear) {
      ear = std::make_unique<Ear>();
      ear->stream =
          pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "halden-tests reference",
                               pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                                 "Capture", PW_KEY_TARGET_OBJECT, sink.c_str(),
                                                 PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr),
                               &events, ear.get());
      uint8_t pod[512];
      spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof(pod));
      // The sink's own rate: no resampler between the sink and the ear.
      spa_audio_info_raw format{};
      format.format = SPA_AUDIO_FORMAT_F32;
      format.channels = 1;
      const spa_pod* params[] = {
          spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
      const auto flags = static_cast<pw_stream_flags>(
          PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
      if (ear->stream &&
          pw_stream_connect(ear->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
        pw_stream_destroy(std::exchange(ear->stream, nullptr));
      }
    }
    const bool listening = ear->stream != nullptr;
    pw_thread_loop_unlock(loop_);
    return listening;
  }

  // When `sink` played the click nearest to `around` (CLOCK_MONOTONIC
  // seconds), within `within` of it; nullopt when it played none there.
  // REQUIRES: listen(sink) before the click.
  std::optional<double> clickNear(const std::string& sink, double around, double within) {
    std::optional<double> nearest;
    if (const auto ear = ears_.find(sink); ear != ears_.end()) {
      std::lock_guard lock(ear->second->mutex);
      for (const double click : ear->second->clicks) {
        if (std::abs(click - around) <= within &&
            (!nearest || std::abs(click - around) < std::abs(*nearest - around))) {
          nearest = click;
        }
      }
    }
    return nearest;
  }

  // The longest time (seconds) within [from, to) (CLOCK_MONOTONIC) in which
  // none of `sinks` played a sample above 0.01. REQUIRES: listen() to each
  // before `from`.
  double longestQuiet(const std::vector<std::string>& sinks, double from, double to) {
    const double rate = 48000;  // a grid finer than any sink's frames here
    std::vector<bool> loud(static_cast<std::size_t>((to - from) * rate));
    for (const std::string& sink : sinks) {
      Ear& ear = *ears_.at(sink);
      std::lock_guard lock(ear.mutex);
      for (const auto& [began, samples] : ear.loud) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
          const auto at = std::lround((began + static_cast<double>(i) / ear.rate - from) * rate);
          if (samples[i] && at >= 0 && static_cast<std::size_t>(at) < loud.size()) {
            loud[static_cast<std::size_t>(at)] = true;
          }
        }
      }
    }
    std::size_t run = 0, longest = 0;
    for (const bool sample : loud) longest = std::max(longest, run = sample ? 0 : run + 1);
    return static_cast<double>(longest) / rate;
  }

 private:
  struct Ear {
    pw_stream* stream = nullptr;
    double rate = 0;
    // Graph thread: samples since the last loud one. Nothing was loud before
    // the ear heard anything: an idle sink's first cycle may carry a click.
    std::size_t quiet = std::numeric_limits<std::size_t>::max() / 2;
    std::mutex mutex;
    std::vector<double> clicks;  // under the mutex
    // Under the mutex: each cycle's start, and which of its samples were
    // above 0.01.
    std::vector<std::pair<double, std::vector<bool>>> loud;
  };

  static void formatChanged(void* data, uint32_t id, const spa_pod* param) {
    spa_audio_info_raw format{};
    if (id == SPA_PARAM_Format && param && spa_format_audio_raw_parse(param, &format) >= 0) {
      static_cast<Ear*>(data)->rate = format.rate;
    }
  }

  // Graph thread: frame i of the cycle's buffer is played i / rate after
  // the cycle began.
  static void process(void* data) {
    auto* ear = static_cast<Ear*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(ear->stream);
    if (!buffer) return;
    pw_time time{};
    pw_stream_get_time_n(ear->stream, &time, sizeof(time));
    const spa_data& plane = buffer->buffer->datas[0];
    if (plane.data && plane.chunk && ear->rate > 0) {
      const auto* samples =
          static_cast<const float*>(SPA_PTROFF(plane.data, plane.chunk->offset, void));
      const std::size_t settled = static_cast<std::size_t>(ear->rate / 10);
      const std::size_t count = plane.chunk->size / sizeof(float);
      std::vector<bool> heard(count);
      for (std::size_t i = 0; i < count; ++i) heard[i] = std::abs(samples[i]) > 0.01f;
      {
        std::lock_guard lock(ear->mutex);
        ear->loud.emplace_back(static_cast<double>(time.now) / 1e9, std::move(heard));
      }
      for (std::size_t i = 0; i < count; ++i) {
        const bool loud = std::abs(samples[i]) > 0.4f;
        if (loud && ear->quiet >= settled) {
          std::lock_guard lock(ear->mutex);
          ear->clicks.push_back(static_cast<double>(time.now) / 1e9 +
                                static_cast<double>(i) / ear->rate);
        }
        ear->quiet = loud ? 0 : ear->quiet + 1;
      }
    }
    pw_stream_queue_buffer(ear->stream, buffer);
  }

  static constexpr pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.param_changed = &formatChanged;
    e.process = &process;
    return e;
  }();

  pw_thread_loop* loop_;
  std::map<std::string, std::unique_ptr<Ear>> ears_;
};

}  // namespace halden::testing
