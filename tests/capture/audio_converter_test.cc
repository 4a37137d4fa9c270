#include "capture/audio_converter.h"

#include <gtest/gtest.h>

#include <limits>
#include <span>
#include <vector>

#include "capture/scripted_capture.h"

namespace halden {
namespace {

// Converts one second of a continuous 1 kHz sine cut into buffers of the
// given sizes (repeated), each into exactly its capacity.
std::vector<float> convertSine(const AudioFormat& format, const std::vector<int64_t>& sizes) {
  const auto total = static_cast<int64_t>(format.sampleRate);
  auto converter = AudioConverter::create(format);
  EXPECT_TRUE(converter.ok());
  if (!converter.ok()) return {};
  std::vector<float> all;
  for (int64_t position = 0, i = 0; position < total; ++i) {
    const int64_t size =
        std::min(sizes[static_cast<std::size_t>(i) % sizes.size()], total - position);
    const CaptureBuffer buffer =
        testing::sineBuffer(CaptureSource::system, format, size, 0, 1000, 0.5, position);
    position += size;
    std::vector<float> out(outputCapacity(size, format.sampleRate));
    auto made = (*converter)->convert(buffer.samples, static_cast<std::size_t>(size), out);
    EXPECT_TRUE(made.ok());
    if (!made.ok()) break;
    all.insert(all.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*made));
  }
  return all;
}

TEST(AudioConverter, ResamplesEachFormatToA16kHzMonoToneOfTheSameLevelWhereverItIsCut) {
  const AudioFormat formats[] = {{SampleFormat::float32, 48000, 2},
                                 {SampleFormat::int16, 44100, 1},
                                 {SampleFormat::int32, 32000, 6}};
  for (const AudioFormat& format : formats) {
    SCOPED_TRACE(format.sampleRate);
    const auto whole = convertSine(format, {static_cast<int64_t>(format.sampleRate)});
    // The converter keeps its state across calls: the cut does not matter,
    // but for up to 10 ms that small pieces leave held back.
    const auto out = convertSine(format, {480, 97, 1, 4410, 13});
    const std::size_t common = std::min(out.size(), whole.size());
    EXPECT_GE(common + 160, whole.size());
    for (std::size_t i = 0; i < common; ++i) ASSERT_NEAR(out[i], whole[i], 1e-5) << i;
    // All but the resampler's delay (under 50 ms) comes out.
    EXPECT_GT(out.size(), 15200u);
    EXPECT_LE(out.size(), 16000u);
    EXPECT_NEAR(testing::toneLevel(out, 2000, 8000, 1000), 0.5, 0.01);
    EXPECT_LT(testing::toneLevel(out, 2000, 8000, 3000), 0.005);
  }
}

TEST(AudioConverter, AveragesChannelsBeforeResampling) {
  // Left +0.5, right -0.25 at 16 kHz: the mono result is their mean, exactly.
  const int16_t samples[] = {16384, -8192, 16384, -8192, 16384, -8192, 16384, -8192};
  auto converter = AudioConverter::create({SampleFormat::int16, 16000, 2});
  ASSERT_TRUE(converter.ok());
  std::vector<float> out(outputCapacity(4, 16000));
  auto made = (*converter)->convert(std::as_bytes(std::span(samples)), 4, out);
  ASSERT_TRUE(made.ok());
  ASSERT_EQ(*made, 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(out[i], 0.125f);
}

TEST(AudioConverter, RefusesFormatsItCannotConvert) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const AudioFormat refused[] = {{SampleFormat::float32, 0, 1},
                                 {SampleFormat::float32, nan, 1},
                                 {SampleFormat::int16, 48000, 0},
                                 {SampleFormat::int16, 48000, 65}};
  for (const AudioFormat& format : refused) {
    EXPECT_FALSE(AudioConverter::create(format).ok())
        << format.sampleRate << " Hz " << format.channelCount;
  }
}

}  // namespace
}  // namespace halden
