// Conversion of captured audio to the tracks' format: 16 kHz mono float.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/error.h"
#include "capture/capture_stream.h"

namespace halden {

inline constexpr std::string_view unsupportedFormatMessage = "Audio format is not supported.";
inline constexpr std::string_view conversionFailedMessage = "Audio conversion failed.";

// Output frames to provide for one input buffer of `frameCount` frames at
// `sampleRate`: ceil(frameCount x 16000 / sampleRate) + 128. Enough that the
// converter always takes the whole input in one call.
// REQUIRES: sampleRate > 0.
std::size_t outputCapacity(int64_t frameCount, double sampleRate);

// A streaming converter for one source format: channels are averaged to mono,
// then resampled to 16 kHz with libsoxr. The resampler's history carries over
// from one call to the next and the stream is never ended, so consecutive
// buffers join without clicks; its delay (a few milliseconds) is not
// compensated. Not thread-safe.
//
// A converter that follows a source clock resamples by a ratio that may
// change between calls (libsoxr's variable-rate mode, even at 16 kHz): input
// at sampleRate x clockRatio frames per second comes out at 16000.
class AudioConverter {
 public:
  // Fails with unsupportedFormatMessage for formats it cannot convert: a rate
  // that is not finite or outside 1 Hz..1 MHz, or 0 or more than 64 channels.
  static Result<std::unique_ptr<AudioConverter>> create(const AudioFormat& input,
                                                        bool followsClock = false);
  ~AudioConverter();
  AudioConverter(const AudioConverter&) = delete;
  AudioConverter& operator=(const AudioConverter&) = delete;

  const AudioFormat& inputFormat() const { return input_; }
  bool followsClock() const { return followsClock_; }

  // Sets the source's clock ratio for the next conversions; it is clamped to
  // 1 +- 1%. Ignored by a converter that does not follow a clock.
  void setClockRatio(double ratio);
  // The ratio in effect: 1 for a converter that does not follow a clock.
  double clockRatio() const { return clockRatio_; }

  // Converts `frameCount` interleaved frames of inputFormat() in `samples`
  // and writes at most out.size() frames to `out`; returns how many. With
  // out.size() >= outputCapacity(frameCount, rate) every input frame is taken
  // (output the resampler holds back comes with later calls); with less, the
  // input that would overflow `out` is dropped.
  // REQUIRES: samples.size() >= frameCount x inputFormat().bytesPerFrame().
  Result<std::size_t> convert(std::span<const std::byte> samples, std::size_t frameCount,
                              std::span<float> out);

  // Ends the input: writes to `out` up to out.size() of the frames the
  // resampler still holds (the last few milliseconds); returns how many.
  // Call until it returns 0; the converter takes no input afterwards.
  Result<std::size_t> drain(std::span<float> out);

 private:
  struct Resampler;
  AudioConverter(const AudioFormat& input, bool followsClock,
                 std::unique_ptr<Resampler> resampler);
  void downMix(std::span<const std::byte> samples, std::size_t frameCount);

  AudioFormat input_;
  bool followsClock_;
  double clockRatio_ = 1;
  std::unique_ptr<Resampler> resampler_;  // none when the input is at 16 kHz
  std::vector<float> mono_;               // scratch: the down-mixed input
};

}  // namespace halden
