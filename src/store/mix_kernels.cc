#include "store/mix_kernels.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "store/format.h"

namespace halden {

void addToMix(const float* in, std::size_t count, float* mix) {
  for (std::size_t i = 0; i < count; ++i) mix[i] = in[i] * mixGain + mix[i];
}

void addPcm16ToMix(const int16_t* in, std::size_t count, float* mix) {
  constexpr float scale = 1.0f / 32768.0f;  // a power of two: the product is exact
  for (std::size_t i = 0; i < count; ++i) {
    mix[i] = (static_cast<float>(in[i]) * scale) * mixGain + mix[i];
  }
}

void mixToPcm16(const float* mix, std::size_t count, unsigned char* out) {
  for (std::size_t i = 0; i < count; ++i) {
    const float x = mix[i];
    // `x < 1` is false for NaN too, which therefore saturates upwards.
    const float clamped = x < 1.0f ? std::max(x, -1.0f) : 1.0f;
    const auto sample = static_cast<int16_t>(clamped * outputScale);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(out + 2 * i, &sample, 2);
    } else {
      const auto bits = static_cast<uint16_t>(sample);
      out[2 * i] = static_cast<unsigned char>(bits);
      out[2 * i + 1] = static_cast<unsigned char>(bits >> 8);
    }
  }
}

}  // namespace halden
