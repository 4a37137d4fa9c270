#include "capture/scripted_capture.h"

#include <cmath>
#include <cstring>
#include <numbers>

namespace halden::testing {

void ScriptedStreamEnd::deliver(CaptureBuffer buffer) {
  queue_.submit([&output = output_, id = id_, buffer = std::move(buffer)]() mutable {
    output.streamDidOutput(id, std::move(buffer));
  });
}

void ScriptedStreamEnd::reportStop(Error error) {
  queue_.submit([&output = output_, id = id_, error = std::move(error)]() mutable {
    output.streamDidStop(id, std::move(error));
  });
}

namespace {

class ScriptedStream final : public CaptureStream {
 public:
  ScriptedStream(std::shared_ptr<ScriptedCaptureService::State> state,
                 std::shared_ptr<ScriptedStreamEnd> end)
      : state_(std::move(state)), end_(std::move(end)) {}

  void startCapture(std::function<void(Result<void>)> done) override {
    end_->countStart();
    if (state_->script.startError) return done(*state_->script.startError);
    done(success());
  }
  void stopCapture(std::function<void(Result<void>)> done) override {
    end_->countStop();
    if (state_->script.stopError) return done(*state_->script.stopError);
    done(success());
  }

 private:
  std::shared_ptr<ScriptedCaptureService::State> state_;
  std::shared_ptr<ScriptedStreamEnd> end_;
};

}  // namespace

void ScriptedCaptureService::requestMicrophoneAccess(std::function<void(bool)> done) {
  ++state_->microphoneRequests;
  done(state_->script.microphoneGranted);
}

void ScriptedCaptureService::findSystemAudio(
    std::function<void(Result<std::optional<SystemAudioDevice>>)> done) {
  ++state_->systemAudioRequests;
  done(state_->script.systemAudio);
}

Result<std::unique_ptr<CaptureStream>> ScriptedCaptureService::createStream(
    const SystemAudioDevice&, CaptureStreamId id, CaptureStreamOutput& output, SerialQueue& queue) {
  if (state_->script.createError) return *state_->script.createError;
  auto end = std::make_shared<ScriptedStreamEnd>(id, output, queue);
  state_->streams.push_back(end);
  return std::unique_ptr<CaptureStream>(new ScriptedStream(state_, end));
}

CaptureBuffer sineBuffer(CaptureSource source, const AudioFormat& format, int64_t frameCount,
                         double timestamp, double frequency, double amplitude, int64_t phaseFrame) {
  CaptureBuffer buffer;
  buffer.source = source;
  buffer.format = format;
  buffer.frameCount = frameCount;
  buffer.timestamp = timestamp;
  buffer.samples.resize(static_cast<std::size_t>(frameCount) * format.bytesPerFrame());
  std::byte* out = buffer.samples.data();
  for (int64_t frame = 0; frame < frameCount; ++frame) {
    const double value =
        amplitude * std::sin(2 * std::numbers::pi * frequency *
                             static_cast<double>(phaseFrame + frame) / format.sampleRate);
    for (int channel = 0; channel < format.channelCount; ++channel) {
      switch (format.sampleFormat) {
        case SampleFormat::float32: {
          const float sample = static_cast<float>(value);
          std::memcpy(out, &sample, sizeof sample);
          out += sizeof sample;
          break;
        }
        case SampleFormat::int16: {
          const auto sample = static_cast<int16_t>(std::lround(value * 32767));
          std::memcpy(out, &sample, sizeof sample);
          out += sizeof sample;
          break;
        }
        case SampleFormat::int32: {
          const auto sample = static_cast<int32_t>(std::llround(value * 2147483647.0));
          std::memcpy(out, &sample, sizeof sample);
          out += sizeof sample;
          break;
        }
      }
    }
  }
  return buffer;
}

}  // namespace halden::testing
