#include "store/wave.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "store/format.h"

namespace halden {
namespace {

void putUint32(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
  at[2] = static_cast<unsigned char>(value >> 16);
  at[3] = static_cast<unsigned char>(value >> 24);
}

void putText(unsigned char* at, std::string_view text) { std::copy(text.begin(), text.end(), at); }

void putUint16(unsigned char* at, uint16_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
}

uint32_t uint32At(const Bytes& bytes, std::size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint16_t uint16At(const Bytes& bytes, std::size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

bool hasText(const Bytes& bytes, std::size_t offset, std::string_view text) {
  return std::memcmp(bytes.data() + offset, text.data(), text.size()) == 0;
}

}  // namespace

void writeWaveHeader(std::size_t payloadSize, std::span<unsigned char, waveHeaderSize> header) {
  unsigned char* h = header.data();
  const auto payload = static_cast<uint32_t>(payloadSize);
  putText(h, "RIFF");
  putUint32(h + 4, payload + 36);
  putText(h + 8, "WAVEfmt ");
  putUint32(h + 16, 16);     // fmt chunk size
  putUint16(h + 20, 1);      // integer PCM
  putUint16(h + 22, 1);      // mono
  putUint32(h + 24, 16000);  // frames per second
  putUint32(h + 28, 32000);  // bytes per second
  putUint16(h + 32, 2);      // bytes per frame
  putUint16(h + 34, 16);     // bits per sample
  putText(h + 36, "data");
  putUint32(h + 40, payload);
}

Bytes wave(std::span<const unsigned char> pcm) {
  Bytes bytes(waveHeaderSize + pcm.size());
  writeWaveHeader(pcm.size(),
                  std::span<unsigned char, waveHeaderSize>(bytes.data(), waveHeaderSize));
  if (!pcm.empty()) std::memcpy(bytes.data() + waveHeaderSize, pcm.data(), pcm.size());
  return bytes;
}

std::string audioHash(std::span<const unsigned char> data) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digestSize = 0;
  // EVP_Digest only fails when the library cannot allocate its context; the
  // identity is then left all zeros, which no real chunk file can match.
  EVP_Digest(data.data(), data.size(), digest.data(), &digestSize, EVP_sha256(), nullptr);
  static constexpr char hexDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(64);
  for (unsigned int i = 0; i < 32; ++i) {
    hex.push_back(hexDigits[digest[i] >> 4]);
    hex.push_back(hexDigits[digest[i] & 0x0f]);
  }
  return hex;
}

Result<void> checkChunkBytes(const Bytes& bytes) {
  const std::size_t n = bytes.size();
  auto damaged = [] { return failure(std::string(damagedChunkMessage)); };
  auto invalid = [] { return failure(std::string(invalidWaveMessage)); };
  if (n <= waveHeaderSize) return damaged();
  if (n > maximumChunkFileSize) return damaged();
  if (!hasText(bytes, 0, "RIFF")) return damaged();
  if (!hasText(bytes, 8, "WAVEfmt ")) return damaged();
  if (!hasText(bytes, 36, "data")) return damaged();
  if (uint32At(bytes, 4) != n - 8) return invalid();
  if (uint32At(bytes, 16) != 16) return invalid();
  if (uint16At(bytes, 20) != 1) return invalid();
  if (uint16At(bytes, 22) != 1) return invalid();
  if (uint32At(bytes, 24) != 16000) return invalid();
  if (uint32At(bytes, 28) != 32000) return invalid();
  if (uint16At(bytes, 32) != 2) return invalid();
  if (uint16At(bytes, 34) != 16) return invalid();
  if (uint32At(bytes, 40) != n - waveHeaderSize) return invalid();
  if ((n - waveHeaderSize) % 2 != 0) return invalid();
  return success();
}

Result<Bytes> validateChunk(const std::filesystem::path& file,
                            const std::filesystem::path& folder) {
  HALDEN_TRY(regularRecordingFile(file, folder));
  // One byte over the largest valid chunk is enough to know a file is too
  // large, so an oversized file is never loaded whole.
  Bytes bytes = HALDEN_TRY(readFile(file, maximumChunkFileSize));
  HALDEN_TRY(checkChunkBytes(bytes));
  return bytes;
}

}  // namespace halden
