// The per-sample arithmetic of chunk preparation, kept apart so that it can
// be compiled for vector units without changing a single result.
//
// Every function here gives bit-identical output to its plain scalar loop:
// a float product (track sample x 0.7f) rounded, then a float sum rounded,
// and saturation to -32767..32767.
#pragma once

#include <cstddef>
#include <cstdint>

namespace halden {

// mix[i] = (in[i] x 0.7f) + mix[i] for i < count, in 32-bit float.
void addToMix(const float* in, std::size_t count, float* mix);

// As addToMix for 16-bit samples read as normalised float: each x becomes
// x / 32768 (exact in float) before the gain, as a float reader delivers it.
void addPcm16ToMix(const int16_t* in, std::size_t count, float* mix);

// Writes count signed 16-bit little-endian samples to `out` (2 x count
// bytes): 32767 where mix[i] >= 1 or is NaN, otherwise
// trunc(max(mix[i], -1) x 32767) with the product taken in float.
void mixToPcm16(const float* mix, std::size_t count, unsigned char* out);

}  // namespace halden
