// Chunk preparation: a captured meeting folder becomes 60-second WAV chunks.
#pragma once

#include <filesystem>

#include "base/error.h"
#include "store/chunk_manifest.h"

namespace halden {

// Returns the meeting's chunk files in upload order, never empty. Reuses a
// verified manifest when the folder has one (a manifest that fails
// verification is an error, never replaced). Otherwise aligns the tracks by
// timing.json, mixes them at 0.7 each, saturates to 16 bits, writes
// chunk-000.wav, chunk-001.wav, … atomically and then chunks.json.
// Synchronous, blocking file I/O; memory is bounded by one chunk. Never
// modifies the track files, timing.json or meeting.json.
Result<ChunkList> prepareChunks(const std::filesystem::path& folder);

}  // namespace halden
