// Test doubles and signals for the capture tests: a scripted capture service
// (the test chooses what each platform step answers, and delivers chosen
// buffers and stop reports on the recorder's sample queue like the real
// one), sine buffers, and measurements of 16 kHz tracks.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <numbers>
#include <optional>
#include <utility>
#include <vector>

#include "capture/capture_stream.h"
#include "capture/source_clock.h"
#include "store/track_file.h"

namespace halden::testing {

// What the platform answers (microphone access is always granted); tests
// change it between steps.
struct CaptureScript {
  Result<std::optional<SystemAudioDevice>> systemAudio =
      std::optional<SystemAudioDevice>(SystemAudioDevice{"speakers"});
  std::optional<Error> startError, stopError;
  // Run inside startCapture and stopCapture, before they answer.
  std::function<void()> onStart, onStop;
};

// The test's side of one stream the service made. Outlives the stream, so a
// test can still deliver "late" buffers of a stream already stopped.
struct ScriptedStreamEnd {
  CaptureStreamId id;
  CaptureStreamOutput& output;
  SerialQueue& queue;
  int stopCalls = 0;

  void deliver(CaptureBuffer buffer) {
    queue.submit([this, buffer = std::move(buffer)]() mutable {
      output.streamDidOutput(id, std::move(buffer));
    });
  }
  void reportStop(Error error) {
    queue.submit(
        [this, error = std::move(error)]() mutable { output.streamDidStop(id, std::move(error)); });
  }
  // Waits until the queue has handled everything submitted so far.
  void drain() {
    std::promise<void> done;
    queue.submit([&done] { done.set_value(); });
    done.get_future().wait();
  }

  // Reads `buffer` the way the platform stream does: through its source's
  // clock, with its first frame arriving at `arrival`; delivers whatever the
  // clock lets go.
  void capture(CaptureBuffer buffer, double arrival) {
    auto clock = clocks.try_emplace(buffer.source, buffer.format->sampleRate).first;
    std::vector<CaptureBuffer> ready;
    const int64_t frames = buffer.frameCount;
    clock->second.take(arrival, frames, std::move(buffer), ready);
    for (CaptureBuffer& placed : ready) deliver(std::move(placed));
  }
  std::map<CaptureSource, SourceClock> clocks{};
};

class ScriptedCaptureService final : public CaptureService {
 public:
  // Shared with the test, which keeps it after handing the service over.
  struct State {
    CaptureScript script;
    std::vector<std::shared_ptr<ScriptedStreamEnd>> streams;
  };

  explicit ScriptedCaptureService(std::shared_ptr<State> state) : state_(std::move(state)) {}

  void requestMicrophoneAccess(std::function<void(bool)> done) override { done(true); }
  void findSystemAudio(
      std::function<void(Result<std::optional<SystemAudioDevice>>)> done) override {
    done(state_->script.systemAudio);
  }
  Result<std::unique_ptr<CaptureStream>> createStream(const SystemAudioDevice&, CaptureStreamId id,
                                                      CaptureStreamOutput& output,
                                                      SerialQueue& queue) override {
    state_->streams.push_back(
        std::make_shared<ScriptedStreamEnd>(ScriptedStreamEnd{id, output, queue}));
    return std::unique_ptr<CaptureStream>(new Stream(state_, state_->streams.back()));
  }

 private:
  struct Stream final : CaptureStream {
    Stream(std::shared_ptr<State> s, std::shared_ptr<ScriptedStreamEnd> e)
        : state(std::move(s)), end(std::move(e)) {}
    void startCapture(std::function<void(Result<void>)> done) override {
      if (state->script.onStart) state->script.onStart();
      done(state->script.startError ? Result<void>(*state->script.startError) : success());
    }
    void stopCapture(std::function<void(Result<void>)> done) override {
      ++end->stopCalls;
      if (state->script.onStop) state->script.onStop();
      done(state->script.stopError ? Result<void>(*state->script.stopError) : success());
    }
    // Called after stopCapture, as the recorder does: what stopping left held.
    std::vector<CaptureBuffer> takeHeldAudio() override {
      std::vector<CaptureBuffer> held;
      for (auto& [source, clock] : end->clocks) clock.releaseHeld(held);
      return held;
    }
    std::shared_ptr<State> state;
    std::shared_ptr<ScriptedStreamEnd> end;
  };

  std::shared_ptr<State> state_;
};

// A buffer of `frameCount` frames at `timestamp` in `format`, every channel
// holding a sine of `frequency` Hz and `amplitude` whose phase starts at
// frame `phaseFrame` (so consecutive buffers continue the wave).
inline CaptureBuffer sineBuffer(CaptureSource source, const AudioFormat& format, int64_t frameCount,
                                double timestamp, double frequency = 440, double amplitude = 0.5,
                                int64_t phaseFrame = 0) {
  CaptureBuffer buffer{.source = source,
                       .format = format,
                       .frameCount = frameCount,
                       .timestamp = timestamp,
                       .clockRatio = std::nullopt,
                       .samples = std::vector<std::byte>(static_cast<std::size_t>(frameCount) *
                                                         format.bytesPerFrame())};
  std::byte* out = buffer.samples.data();
  auto put = [&out](auto sample) {
    std::memcpy(out, &sample, sizeof sample);
    out += sizeof sample;
  };
  for (int64_t frame = 0; frame < frameCount; ++frame) {
    const double value =
        amplitude * std::sin(2 * std::numbers::pi * frequency *
                             static_cast<double>(phaseFrame + frame) / format.sampleRate);
    for (int channel = 0; channel < format.channelCount; ++channel) {
      switch (format.sampleFormat) {
        case SampleFormat::float32:
          put(static_cast<float>(value));
          break;
        case SampleFormat::int16:
          put(static_cast<int16_t>(std::lround(value * 32767)));
          break;
        case SampleFormat::int32:
          put(static_cast<int32_t>(std::llround(value * 2147483647.0)));
          break;
      }
    }
  }
  return buffer;
}

// Every frame of a track file; a test failure when it cannot be read.
inline std::vector<float> readTrack(const std::filesystem::path& file) {
  auto reader = TrackReader::open(file);
  EXPECT_TRUE(reader.ok()) << file;
  if (!reader.ok()) return {};
  std::vector<float> frames(static_cast<std::size_t>((*reader)->length()));
  auto read = (*reader)->read(0, frames);
  EXPECT_TRUE(read.ok()) << file;
  frames.resize(read.ok() ? *read : 0);
  return frames;
}

// Amplitude of `frequency` Hz in frames [from, from + count) of 16 kHz audio.
inline double toneLevel(const std::vector<float>& track, std::size_t from, std::size_t count,
                        double frequency) {
  double re = 0, im = 0;
  for (std::size_t i = from; i < from + count && i < track.size(); ++i) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / 16000.0;
    re += track[i] * std::cos(phase);
    im += track[i] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(count);
}

}  // namespace halden::testing
