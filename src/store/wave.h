// WAV chunks: the one layout Halden writes and accepts, chunk identities, and
// the field-by-field check every chunk passes before it is reused or sent.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "base/error.h"
#include "store/files.h"
#include "store/format.h"

namespace halden {

inline constexpr std::string_view damagedChunkMessage =
    "A saved audio chunk is damaged. Its source audio has been kept.";
inline constexpr std::string_view invalidWaveMessage =
    "A saved audio chunk has an invalid WAV format. Its source audio has been kept.";

// The 44-byte header for `pcm` (16-bit little-endian mono samples at 16 kHz)
// followed by `pcm` unchanged. REQUIRES: pcm.size() + 36 fits in 32 bits.
Bytes wave(std::span<const unsigned char> pcm);

// Writes the 44-byte header that wave() puts before a payload of
// `payloadSize` bytes, so that callers can build a chunk in place.
// REQUIRES: payloadSize + 36 fits in 32 bits.
void writeWaveHeader(std::size_t payloadSize, std::span<unsigned char, waveHeaderSize> header);

// The chunk identity: SHA-256 of all of `data`, 64 lowercase hex digits.
std::string audioHash(std::span<const unsigned char> data);

// Checks `file` with regularRecordingFile, reads it whole and accepts it only
// when its header matches what wave() writes for its real length. Returns the
// complete bytes. Errors: the invalid-file message, the platform's read error,
// damagedChunkMessage or invalidWaveMessage.
Result<Bytes> validateChunk(const std::filesystem::path& file, const std::filesystem::path& folder);

// The content checks of validateChunk, in its order, on bytes already read.
// Errors: damagedChunkMessage or invalidWaveMessage.
Result<void> checkChunkBytes(const Bytes& bytes);

}  // namespace halden
