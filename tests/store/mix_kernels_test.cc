#include "store/mix_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace halden {
namespace {

std::vector<int> convert(const std::vector<float>& mix) {
  std::vector<unsigned char> bytes(2 * mix.size());
  mixToPcm16(mix.data(), mix.size(), bytes.data());
  std::vector<int> samples;
  for (std::size_t i = 0; i < mix.size(); ++i) {
    samples.push_back(static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
  }
  return samples;
}

TEST(MixToPcm16, SaturatesAndTruncatesTowardZero) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float mix;
    int sample;
  };
  // Long enough that the vector loop, not only its scalar tail, sees them.
  const std::vector<Case> cases = {
      {0.0f, 0},
      {-0.0f, 0},
      {0.5f, 16383},
      {-0.5f, -16383},  // 16383.5 truncates toward zero
      {1.0f, 32767},
      {1.4f, 32767},
      {inf, 32767},
      {nan, 32767},
      {-nan, 32767},
      {-1.0f, -32767},
      {-1.4f, -32767},
      {-inf, -32767},
      {0.99999994f, 32766},  // 32766.998
      {-0.99999994f, -32766},
      {1.0f / 32767, 1},
      {0.9f / 32767, 0},
      {-0.9f / 32767, 0},
      {0.28f, 9174},
  };
  std::vector<float> mix(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) mix[i] = cases[i].mix;
  const std::vector<int> samples = convert(mix);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(samples[i], cases[i].sample) << "mix " << cases[i].mix;
  }
}

TEST(MixToPcm16, WritesLittleEndian) {
  const std::vector<float> mix = {-1.0f, 0.5f};
  unsigned char bytes[4];
  mixToPcm16(mix.data(), 2, bytes);
  EXPECT_EQ(bytes[0], 0x01);  // -32767 = 0x8001
  EXPECT_EQ(bytes[1], 0x80);
  EXPECT_EQ(bytes[2], 0xff);  // 16383 = 0x3fff
  EXPECT_EQ(bytes[3], 0x3f);
}

// The kernels are built for vector units; they must agree bit for bit with
// the plain rule on every kind of value, at every alignment and length.
TEST(MixKernels, AgreeWithTheScalarRuleOnRandomInput) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> level(-1.6f, 1.6f);
  std::uniform_int_distribution<int> pcm(-32768, 32767);
  for (std::size_t length : {1u, 3u, 7u, 64u, 1001u, 4099u}) {
    for (std::size_t shift : {0u, 1u, 3u}) {
      std::vector<float> in(length + shift), mix(length + shift), expected;
      std::vector<int16_t> in16(length + shift);
      for (float& x : in) x = level(random);
      for (float& x : mix) x = level(random) / 2;
      for (int16_t& x : in16) x = static_cast<int16_t>(pcm(random));
      in[shift] = std::numeric_limits<float>::quiet_NaN();

      volatile float gain = 0.7f;  // keeps the reference from being folded
      expected.assign(mix.begin() + static_cast<std::ptrdiff_t>(shift), mix.end());
      for (std::size_t i = 0; i < length; ++i) {
        const float product = in[shift + i] * gain;
        expected[i] = product + expected[i];
      }
      for (std::size_t i = 0; i < length; ++i) {
        const float sample = static_cast<float>(in16[shift + i]) / 32768.0f;
        const float product = sample * gain;
        expected[i] = product + expected[i];
      }
      addToMix(in.data() + shift, length, mix.data() + shift);
      addPcm16ToMix(in16.data() + shift, length, mix.data() + shift);
      for (std::size_t i = 0; i < length; ++i) {
        const float got = mix[shift + i];
        ASSERT_TRUE(std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(expected[i]) ||
                    (std::isnan(got) && std::isnan(expected[i])))
            << "length " << length << " index " << i << ": " << got << " vs " << expected[i];
      }

      std::vector<unsigned char> bytes(2 * length);
      mixToPcm16(mix.data() + shift, length, bytes.data());
      for (std::size_t i = 0; i < length; ++i) {
        const float x = mix[shift + i];
        int reference;
        if (x >= 1.0f || std::isnan(x)) {
          reference = 32767;
        } else {
          const float product = std::max(x, -1.0f) * 32767.0f;
          reference = static_cast<int>(std::trunc(product));
        }
        ASSERT_EQ(static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8), reference)
            << "mix " << x;
      }
    }
  }
}

}  // namespace
}  // namespace halden
