#include "devservice/wav_check.h"

#include <cstdint>

namespace halden::devservice {
namespace {

std::uint32_t le32(std::string_view bytes, std::size_t offset) {
  auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + i]));
  };
  return byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
}

std::uint16_t le16(std::string_view bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[offset]) |
                                    static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

}  // namespace

std::optional<std::string> checkChunk(std::string_view body) {
  const std::size_t n = body.size();
  if (n <= wavHeaderBytes) return "The audio chunk holds no audio.";
  if (n > maximumChunkBytes) return "The audio chunk is longer than one minute of audio.";
  if (body.substr(0, 4) != "RIFF" || body.substr(8, 8) != "WAVEfmt " ||
      body.substr(36, 4) != "data") {
    return "The audio chunk is not a WAV file.";
  }
  if (le32(body, 4) != n - 8 || le32(body, 40) != n - wavHeaderBytes) {
    return "The audio chunk's WAV sizes do not match its length.";
  }
  if (le32(body, 16) != 16 || le16(body, 20) != 1 || le16(body, 22) != 1 ||
      le32(body, 24) != 16000 || le32(body, 28) != 32000 || le16(body, 32) != 2 ||
      le16(body, 34) != 16) {
    return "The audio chunk is not 16 kHz mono 16-bit PCM.";
  }
  if ((n - wavHeaderBytes) % 2 != 0) return "The audio chunk ends in the middle of a sample.";
  return std::nullopt;
}

}  // namespace halden::devservice
