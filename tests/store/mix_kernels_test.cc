#include "store/mix_kernels.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "testing/reference_mix.h"

namespace halden {
namespace {

int16_t sampleAt(const std::vector<unsigned char>& bytes, std::size_t index) {
  return static_cast<int16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
}

// Each mix value and its sample, enough of them that the vector loop, not only
// its scalar tail, sees every case. -0.5 gives 16383.5 and 0.99999994 gives
// 32766.998: both truncate toward zero.
TEST(MixToPcm16, SaturatesAndTruncatesTowardZeroInLittleEndian) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> mix = {0.0f, 0.5f,        -0.5f,        1.0f,         1.4f,
                                  inf,  nan,         -nan,         -1.0f,        -1.4f,
                                  -inf, 0.99999994f, -0.99999994f, 1.0f / 32767, 0.28f};
  const std::vector<int> samples = {0,      16383,  -16383, 32767, 32767,  32767, 32767, 32767,
                                    -32767, -32767, -32767, 32766, -32766, 1,     9174};
  std::vector<unsigned char> bytes(2 * mix.size());
  mixToPcm16(mix.data(), mix.size(), bytes.data());
  for (std::size_t i = 0; i < mix.size(); ++i) EXPECT_EQ(sampleAt(bytes, i), samples[i]) << mix[i];
}

// The kernels are built for vector units; they must agree bit for bit with
// the reference mix's rule on every kind of value, at every alignment and length.
TEST(MixKernels, AgreeWithTheScalarRuleOnRandomInput) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> level(-1.6f, 1.6f);
  std::uniform_int_distribution<int> pcm(-32768, 32767);
  for (std::size_t length : {1u, 3u, 7u, 64u, 1001u, 4099u}) {
    for (std::size_t shift : {0u, 1u, 3u}) {
      std::vector<float> in(length + shift), mix(length + shift);
      std::vector<int16_t> in16(length + shift);
      for (float& x : in) x = level(random);
      for (float& x : mix) x = level(random) / 2;
      for (int16_t& x : in16) x = static_cast<int16_t>(pcm(random));
      in[shift] = std::numeric_limits<float>::quiet_NaN();

      const std::vector<float> before = mix;
      addToMix(in.data() + shift, length, mix.data() + shift);
      addPcm16ToMix(in16.data() + shift, length, mix.data() + shift);
      for (std::size_t i = shift; i < length + shift; ++i) {
        const float expected = testing::mixFrame(testing::mixFrame(before[i], in[i]),
                                                 static_cast<float>(in16[i]) / 32768);
        ASSERT_TRUE(std::bit_cast<uint32_t>(mix[i]) == std::bit_cast<uint32_t>(expected) ||
                    (std::isnan(mix[i]) && std::isnan(expected)))
            << "length " << length << " index " << i << ": " << mix[i] << " vs " << expected;
      }

      std::vector<unsigned char> bytes(2 * length);
      mixToPcm16(mix.data() + shift, length, bytes.data());
      for (std::size_t i = 0; i < length; ++i) {
        ASSERT_EQ(sampleAt(bytes, i), testing::mixSample(mix[shift + i]))
            << "mix " << mix[shift + i];
      }
    }
  }
}

}  // namespace
}  // namespace halden
