// chunks.json: which chunk files make up a prepared meeting, with identities.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"

namespace halden {

struct ChunkManifest {
  struct Chunk {
    std::string name;    // "chunk-%03d.wav" of the entry's index
    std::string sha256;  // audioHash of the whole chunk file
    bool operator==(const Chunk&) const = default;
  };
  int64_t version = 1;
  std::vector<Chunk> chunks;

  bool operator==(const ChunkManifest&) const = default;

  // Compact JSON: {"version":1,"chunks":[{"name":…,"sha256":…},…]}.
  std::string toJson() const;
  // Decodes the current form; both keys of both types are required, other
  // members are ignored. Fails on anything else (the error text is not shown).
  static Result<ChunkManifest> fromJson(std::string_view json);
};

using ChunkList = std::vector<std::filesystem::path>;

// The manifest entry of one chunk file of `folder`: its name and the identity
// of the bytes validateChunk reads back from disk. Errors: validateChunk's.
Result<ChunkManifest::Chunk> manifestEntry(const std::filesystem::path& chunk,
                                           const std::filesystem::path& folder);

// Writes `manifest` to chunks.json of `folder` atomically. On failure the
// previous chunks.json, if any, is unchanged.
Result<void> writeChunkManifest(const ChunkManifest& manifest, const std::filesystem::path& folder);

// Reads back every chunk through validateChunk, hashes what was read and writes
// chunks.json (current form) atomically. REQUIRES: `chunks` lie in `folder`.
// On failure the previous chunks.json, if any, is unchanged.
Result<void> saveChunkManifest(const ChunkList& chunks, const std::filesystem::path& folder);

// No list (std::nullopt) when `folder` has no chunks.json. Otherwise verifies
// every listed chunk (name, WAV header, identity) and returns their locations
// in order; upgrades an earlier-form manifest (a JSON array of names) in place.
// Writes nothing unless every entry passed.
Result<std::optional<ChunkList>> savedChunks(const std::filesystem::path& folder);

}  // namespace halden
