#include "store/chunk_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include "store/format.h"

namespace halden {
namespace fs = std::filesystem;

namespace {

Result<void> writeAll(int fd, const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno(errno);
    }
    done += static_cast<std::size_t>(written);
  }
  return success();
}

Result<void> syncFolder(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Error::fromErrno(errno);
  const bool synced = ::fsync(fd) == 0;
  const int syncError = errno;
  ::close(fd);
  if (!synced) return Error::fromErrno(syncError);
  return success();
}

// Replaces `file` by `bytes` through a flushed temporary file, as
// writeFileAtomically does, but leaves flushing the folder to the caller: one
// folder flush after the last chunk makes every rename durable.
Result<void> replaceFile(const fs::path& file, const Bytes& bytes) {
  std::string pattern =
      (file.parent_path() / ("." + file.filename().string() + ".tmp-XXXXXX")).string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return Error::fromErrno(errno);
  auto fail = [&](Error error) -> Result<void> {
    ::unlink(pattern.c_str());
    return error;
  };
  if (auto written = writeAll(fd, bytes); !written) {
    ::close(fd);
    return fail(written.error());
  }
  if (::fsync(fd) != 0) {
    const int syncError = errno;
    ::close(fd);
    return fail(Error::fromErrno(syncError));
  }
  if (::close(fd) != 0) return fail(Error::fromErrno(errno));
  if (::rename(pattern.c_str(), file.c_str()) != 0) return fail(Error::fromErrno(errno));
  return success();
}

}  // namespace

ChunkWriter::ChunkWriter(fs::path folder) : folder_(std::move(folder)) {
  // Reserved up front so that the writer thread never grows a container.
  manifest_.chunks.reserve(maximumChunkCount);
  spare_.reserve(maxQueued + 2);
}

Result<std::unique_ptr<ChunkWriter>> ChunkWriter::create(fs::path folder) {
  std::unique_ptr<ChunkWriter> writer(new ChunkWriter(std::move(folder)));
  try {
    writer->thread_ = std::thread([raw = writer.get()] { raw->run(); });
  } catch (const std::system_error& error) {
    return Error::fromErrno(error.code().value());
  }
  return writer;
}

ChunkWriter::~ChunkWriter() {
  if (thread_.joinable()) (void)finish();
}

Bytes ChunkWriter::spareBuffer() {
  std::lock_guard lock(mutex_);
  if (spare_.empty()) return Bytes();
  Bytes buffer = std::move(spare_.back());
  spare_.pop_back();
  return buffer;
}

Result<void> ChunkWriter::write(Bytes chunk) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.size() < maxQueued || error_; });
  if (error_) return *error_;
  queue_.push_back(std::move(chunk));
  changed_.notify_all();
  return success();
}

Result<ChunkManifest> ChunkWriter::finish() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    changed_.notify_all();
  }
  if (!thread_.joinable()) return failure("The chunk writer has already finished.");
  thread_.join();
  if (error_) return *error_;
  HALDEN_TRY(syncFolder(folder_));
  return manifest_;
}

void ChunkWriter::run() {
  std::size_t index = 0;
  for (;;) {
    Bytes bytes;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) return;
      bytes = std::move(queue_.front());
      queue_.pop_front();
      changed_.notify_all();
    }
    Result<ChunkManifest::Chunk> entry = writeOne(index++, bytes);
    std::lock_guard lock(mutex_);
    if (!entry.ok()) {
      error_ = std::move(entry).error();
      queue_.clear();
      changed_.notify_all();
      return;
    }
    manifest_.chunks.push_back(std::move(entry).value());
    spare_.push_back(std::move(bytes));
  }
}

Result<ChunkManifest::Chunk> ChunkWriter::writeOne(std::size_t index, const Bytes& bytes) {
  // Nothing may escape this thread: a failed allocation is an error too.
  try {
    const fs::path file = folder_ / chunkFileName(index);
    HALDEN_TRY(replaceFile(file, bytes));
    // The identity is taken from what the disk gives back, not from `bytes`.
    return manifestEntry(file, folder_);
  } catch (const std::bad_alloc&) {
    return Error::fromErrno(ENOMEM);
  }
}

}  // namespace halden
