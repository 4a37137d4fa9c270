// Writes the chunk files of one preparation on a second thread, so that
// writing, flushing to disk and reading back for the manifest overlap with
// mixing the next chunk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/error.h"
#include "store/chunk_manifest.h"
#include "store/files.h"

namespace halden {

// Invariants: chunks are written in the order they are handed over; after the
// first failure nothing more is written; at most `maxQueued` chunks wait while
// one is being written, so memory stays bounded by a few chunks.
//
// Threads: every public member is called from one thread, the producer; the
// writer's own thread touches only the queue (under the mutex) and the files.
class ChunkWriter {
 public:
  // Starts the writer thread. Errors: the platform's, when no thread can be
  // started.
  static Result<std::unique_ptr<ChunkWriter>> create(std::filesystem::path folder);
  // Waits for the chunks already handed over (as finish() does).
  ~ChunkWriter();
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  // A buffer to fill with the next chunk's file bytes: a recycled one when
  // the writer has returned one, else empty.
  Bytes spareBuffer();

  // Hands over the complete file bytes (wave() layout) of the chunk named
  // chunkFileName(k) for the k-th call. Blocks while the queue is full. Fails
  // with the writer's first error, once one has happened.
  Result<void> write(Bytes chunk);

  // Waits until every handed-over chunk has been written to a temporary file,
  // flushed to disk, renamed into place and read back through validateChunk,
  // then flushes the folder so that the renames are durable too. Returns the
  // manifest entries (identities of the bytes read back) in chunk order, or
  // the first error. Called once; later calls fail.
  Result<ChunkManifest> finish();

 private:
  static constexpr std::size_t maxQueued = 1;

  explicit ChunkWriter(std::filesystem::path folder);
  void run();
  Result<ChunkManifest::Chunk> writeOne(std::size_t index, const Bytes& bytes);

  const std::filesystem::path folder_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Bytes> queue_;
  std::vector<Bytes> spare_;
  bool closing_ = false;
  std::optional<Error> error_;
  ChunkManifest manifest_;  // version 1; entries appended by the writer thread

  std::thread thread_;  // started by create()
};

}  // namespace halden
