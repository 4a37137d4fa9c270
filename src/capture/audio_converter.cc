#include "capture/audio_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "store/format.h"

namespace halden {

std::size_t outputCapacity(int64_t frameCount, double sampleRate) {
  return static_cast<std::size_t>(
             std::ceil(static_cast<double>(frameCount) * meetingSampleRate / sampleRate)) +
         128;
}

struct AudioConverter::Resampler {
  soxr_t soxr = nullptr;
  ~Resampler() {
    if (soxr) soxr_delete(soxr);
  }
};

namespace {

// The widest clock ratio a converter follows; also sizes libsoxr's
// variable-rate filter.
constexpr double maximumClockDeviation = 0.01;

}  // namespace

AudioConverter::AudioConverter(const AudioFormat& input, bool followsClock,
                               std::unique_ptr<Resampler> resampler)
    : input_(input), followsClock_(followsClock), resampler_(std::move(resampler)) {}

AudioConverter::~AudioConverter() = default;

Result<std::unique_ptr<AudioConverter>> AudioConverter::create(const AudioFormat& input,
                                                               bool followsClock) {
  constexpr int maximumChannels = 64;
  if (!std::isfinite(input.sampleRate) || input.sampleRate < 1 || input.sampleRate > 1e6 ||
      input.channelCount < 1 || input.channelCount > maximumChannels) {
    return failure(std::string(unsupportedFormatMessage));
  }
  std::unique_ptr<Resampler> resampler;
  if (followsClock || input.sampleRate != meetingSampleRate) {
    resampler = std::make_unique<Resampler>();
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, followsClock ? SOXR_VR : 0);
    // One thread: the sample queue is the only place conversion runs, and a
    // thread pool would only add wake-ups for 10 ms buffers.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    if (followsClock) {
      // Variable rate: created with the largest input/output ratio it will
      // be asked for, then set to the ratio itself.
      const double nominal = input.sampleRate / meetingSampleRate;
      resampler->soxr = soxr_create(nominal * (1 + maximumClockDeviation), 1, 1, &error, &io,
                                    &quality, &runtime);
      if (!error && resampler->soxr) error = soxr_set_io_ratio(resampler->soxr, nominal, 0);
    } else {
      resampler->soxr =
          soxr_create(input.sampleRate, meetingSampleRate, 1, &error, &io, &quality, &runtime);
    }
    if (error || !resampler->soxr) return failure(std::string(unsupportedFormatMessage));
  }
  return std::unique_ptr<AudioConverter>(
      new AudioConverter(input, followsClock, std::move(resampler)));
}

void AudioConverter::setClockRatio(double ratio) {
  if (!followsClock_ || !std::isfinite(ratio)) return;
  ratio = std::clamp(ratio, 1 - maximumClockDeviation, 1 + maximumClockDeviation);
  if (ratio == clockRatio_) return;
  clockRatio_ = ratio;
  // At once (no slew): the steps are ppm-sized, and the variable-rate
  // resampler keeps its phase across them.
  soxr_set_io_ratio(resampler_->soxr, input_.sampleRate * ratio / meetingSampleRate, 0);
}

namespace {

template <typename Sample>
void averageChannels(const std::byte* samples, std::size_t frameCount, int channels, float scale,
                     float* out) {
  const float gain = scale / static_cast<float>(channels);
  for (std::size_t frame = 0; frame < frameCount; ++frame) {
    float sum = 0;
    for (int channel = 0; channel < channels; ++channel) {
      Sample sample;
      std::memcpy(&sample, samples, sizeof sample);
      samples += sizeof sample;
      sum += static_cast<float>(sample);
    }
    out[frame] = sum * gain;
  }
}

}  // namespace

void AudioConverter::downMix(std::span<const std::byte> samples, std::size_t frameCount) {
  if (mono_.size() < frameCount) mono_.resize(frameCount);
  const int channels = input_.channelCount;
  switch (input_.sampleFormat) {
    case SampleFormat::float32:
      if (channels == 1) {
        std::memcpy(mono_.data(), samples.data(), frameCount * sizeof(float));
      } else {
        averageChannels<float>(samples.data(), frameCount, channels, 1.0f, mono_.data());
      }
      break;
    case SampleFormat::int16:
      averageChannels<int16_t>(samples.data(), frameCount, channels, 1.0f / 32768.0f, mono_.data());
      break;
    case SampleFormat::int32:
      averageChannels<int32_t>(samples.data(), frameCount, channels, 1.0f / 2147483648.0f,
                               mono_.data());
      break;
  }
}

Result<std::size_t> AudioConverter::convert(std::span<const std::byte> samples,
                                            std::size_t frameCount, std::span<float> out) {
  downMix(samples, frameCount);
  if (!resampler_) {
    // Already at 16 kHz: nothing to resample, nothing to hold back.
    const std::size_t count = std::min(frameCount, out.size());
    std::copy_n(mono_.begin(), count, out.begin());
    return count;
  }
  std::size_t consumed = 0;
  std::size_t produced = 0;
  // soxr takes only as much input as the output space can eventually hold;
  // with the usual capacity one pass takes everything.
  while (consumed < frameCount && produced < out.size()) {
    std::size_t used = 0;
    std::size_t made = 0;
    soxr_error_t error =
        soxr_process(resampler_->soxr, mono_.data() + consumed, frameCount - consumed, &used,
                     out.data() + produced, out.size() - produced, &made);
    if (error) return Error("soxr", 1, error);
    consumed += used;
    produced += made;
    if (used == 0 && made == 0) break;
  }
  return produced;
}

Result<std::size_t> AudioConverter::drain(std::span<float> out) {
  if (!resampler_) return 0;
  std::size_t made = 0;
  // No input: libsoxr takes it as the end of the stream and flushes.
  soxr_error_t error = soxr_process(resampler_->soxr, nullptr, 0, nullptr, out.data(), out.size(),
                                    &made);
  if (error) return Error("soxr", 1, error);
  return made;
}

}  // namespace halden
