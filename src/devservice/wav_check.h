// The service's own check of an uploaded audio chunk.
//
// A chunk is accepted only in the one layout the desktop app writes: a 44-byte
// header ("RIFF", size, "WAVEfmt ", a 16-byte fmt chunk for 16 kHz mono 16-bit
// PCM, "data", size) followed by at most 60 s of samples, every size field
// agreeing with the body's length.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace halden::devservice {

constexpr std::size_t wavHeaderBytes = 44;
constexpr std::size_t maximumChunkBytes = 1'920'044;  // Header + 960,000 samples.

// nullopt when `body` is acceptable; otherwise the user-facing reason.
std::optional<std::string> checkChunk(std::string_view body);

}  // namespace halden::devservice
