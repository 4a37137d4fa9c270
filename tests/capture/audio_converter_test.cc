#include "capture/audio_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

#include "capture/scripted_capture.h"

namespace halden {
namespace {

using testing::sineBuffer;

struct CapacityCase {
  double rate;
  int64_t frames;
  std::size_t capacity;
};

TEST(OutputCapacity, IsTheResampledLengthRoundedUpPlus128) {
  const CapacityCase cases[] = {
      {48000, 960, 448},   // 320 + 128
      {44100, 1024, 500},  // ceil(371.52) + 128
      {16000, 320, 448},   // 320 + 128
      {8000, 1, 130},      // ceil(2) + 128
      {96000, 7, 130},     // ceil(1.17) + 128
  };
  for (const CapacityCase& c : cases) {
    EXPECT_EQ(outputCapacity(c.frames, c.rate), c.capacity) << c.rate << " Hz x " << c.frames;
  }
}

// Converts `buffers` one after another, each into exactly its capacity.
std::vector<float> convertAll(AudioConverter& converter,
                              const std::vector<CaptureBuffer>& buffers) {
  std::vector<float> all;
  for (const CaptureBuffer& buffer : buffers) {
    std::vector<float> out(outputCapacity(buffer.frameCount, buffer.format->sampleRate));
    auto made = converter.convert(buffer.samples, static_cast<std::size_t>(buffer.frameCount), out);
    EXPECT_TRUE(made.ok());
    if (!made.ok()) return all;
    EXPECT_LE(*made, out.size());
    all.insert(all.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*made));
  }
  return all;
}

// `total` frames of a continuous sine cut into buffers of the given sizes.
std::vector<CaptureBuffer> sineInPieces(const AudioFormat& format, int64_t total,
                                        const std::vector<int64_t>& sizes, double frequency) {
  std::vector<CaptureBuffer> buffers;
  int64_t position = 0;
  for (std::size_t i = 0; position < total; ++i) {
    const int64_t size = std::min(sizes[i % sizes.size()], total - position);
    buffers.push_back(sineBuffer(CaptureSource::system, format, size, 0, frequency, 0.5, position));
    position += size;
  }
  return buffers;
}

// Amplitude of `frequency` Hz in `samples` at 16 kHz (single-bin DFT).
double toneAmplitude(const std::vector<float>& samples, std::size_t from, std::size_t count,
                     double frequency) {
  double re = 0, im = 0;
  for (std::size_t i = from; i < from + count; ++i) {
    const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / 16000.0;
    re += samples[i] * std::cos(phase);
    im += samples[i] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(count);
}

TEST(AudioConverter, ResamplesEachFormatToA16kHzMonoToneOfTheSameLevel) {
  const AudioFormat formats[] = {
      {SampleFormat::float32, 48000, 2},
      {SampleFormat::int16, 44100, 1},
      {SampleFormat::int32, 32000, 6},
      {SampleFormat::int16, 16000, 2},
  };
  for (const AudioFormat& format : formats) {
    SCOPED_TRACE(format.sampleRate);
    auto converter = AudioConverter::create(format);
    ASSERT_TRUE(converter.ok());
    const auto total = static_cast<int64_t>(format.sampleRate);  // one second
    auto out = convertAll(**converter, sineInPieces(format, total, {480}, 1000));
    // All but the resampler's delay (under 50 ms) comes out.
    EXPECT_GT(out.size(), 15200u);
    EXPECT_LE(out.size(), 16000u);
    EXPECT_NEAR(toneAmplitude(out, 2000, 8000, 1000), 0.5, 0.01);
    EXPECT_LT(toneAmplitude(out, 2000, 8000, 3000), 0.005);
  }
}

TEST(AudioConverter, KeepsItsStateAcrossCallsSoTheCutDoesNotMatter) {
  const AudioFormat format{SampleFormat::float32, 48000, 2};
  auto whole = AudioConverter::create(format);
  auto pieces = AudioConverter::create(format);
  ASSERT_TRUE(whole.ok() && pieces.ok());
  const auto a = convertAll(**whole, sineInPieces(format, 48000, {48000}, 700));
  const auto b = convertAll(**pieces, sineInPieces(format, 48000, {960, 97, 1, 4410, 13}, 700));
  ASSERT_GT(a.size(), 15000u);
  const std::size_t common = std::min(a.size(), b.size());
  EXPECT_GT(common + 64, a.size());
  for (std::size_t i = 0; i < common; ++i) ASSERT_NEAR(a[i], b[i], 1e-5) << "frame " << i;
}

TEST(AudioConverter, AveragesChannelsBeforeResampling) {
  // Left +0.5, right -0.25 at 16 kHz: the mono result is their mean, exactly.
  const AudioFormat format{SampleFormat::int16, 16000, 2};
  CaptureBuffer buffer;
  buffer.format = format;
  buffer.frameCount = 4;
  const int16_t samples[] = {16384, -8192, 16384, -8192, 16384, -8192, 16384, -8192};
  buffer.samples.resize(sizeof samples);
  std::memcpy(buffer.samples.data(), samples, sizeof samples);
  auto converter = AudioConverter::create(format);
  ASSERT_TRUE(converter.ok());
  auto out = convertAll(**converter, {buffer});
  ASSERT_EQ(out.size(), 4u);
  for (float sample : out) EXPECT_FLOAT_EQ(sample, 0.125f);
}

TEST(AudioConverter, RefusesFormatsItCannotConvert) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const AudioFormat refused[] = {
      {SampleFormat::float32, 0, 1},    {SampleFormat::float32, -48000, 1},
      {SampleFormat::float32, nan, 1},  {SampleFormat::int16, 48000, 0},
      {SampleFormat::int16, 48000, 65}, {SampleFormat::float32, 1e9, 2},
  };
  for (const AudioFormat& format : refused) {
    auto converter = AudioConverter::create(format);
    ASSERT_FALSE(converter.ok()) << format.sampleRate << " Hz " << format.channelCount;
    EXPECT_EQ(converter.error(), failure("Audio format is not supported."));
  }
}

}  // namespace
}  // namespace halden
