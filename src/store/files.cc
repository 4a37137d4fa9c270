#include "store/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "store/format.h"

namespace halden {
namespace fs = std::filesystem;

namespace {

// Owns a file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports the error close() may give (delayed write errors).
  Result<void> close() {
    int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) return Error::fromErrno(errno);
    return success();
  }

 private:
  int fd_;
};

Result<void> writeAll(int fd, std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return success();
}

Result<void> syncFolder(const fs::path& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return Error::fromErrno(errno);
  if (::fsync(fd.get()) != 0) return Error::fromErrno(errno);
  return success();
}

// A folder on its way out carries this name until its last file is gone. The
// rename is atomic, so a kill half-way through the removal leaves either the
// whole meeting folder or a folder that no listing takes for a meeting:
// never a meeting with some of its files missing, whose retry could only
// fail.
fs::path removalName(const fs::path& folder) {
  return folder.parent_path() / ("." + folder.filename().string() + ".removing");
}

bool isRemovalName(const std::string& name) {
  constexpr std::string_view suffix = ".removing";
  return name.size() > 1 + suffix.size() && name.front() == '.' && name.ends_with(suffix) &&
         isUuidText(std::string_view(name).substr(1, name.size() - 1 - suffix.size()));
}

}  // namespace

Result<Bytes> readFile(const fs::path& file, std::size_t limit) {
  // O_NOFOLLOW: a link put in place after a regular-file check is refused by
  // the kernel (ELOOP) instead of followed.
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return Error::fromErrno(errno);
  struct stat info;
  if (::fstat(fd.get(), &info) != 0) return Error::fromErrno(errno);
  if (S_ISDIR(info.st_mode)) return Error::fromErrno(EISDIR);

  const std::size_t cap = limit == static_cast<std::size_t>(-1) ? limit : limit + 1;
  // Read straight into the result, sized from the file's length (plus one
  // byte to see a file that grew), growing only for files of unknown length.
  Bytes bytes(std::min<std::size_t>(
      cap, S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) + 1 : 65536));
  std::size_t filled = 0;
  while (true) {
    if (filled == bytes.size()) {
      if (bytes.size() >= cap) break;
      bytes.resize(std::min(cap, 2 * bytes.size()));
    }
    ssize_t got = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Error::fromErrno(errno);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

Result<void> writeFileAtomically(const fs::path& file, std::span<const unsigned char> bytes) {
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  std::string pattern = (folder / ("." + file.filename().string() + ".tmp-XXXXXX")).string();
  FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (fd.get() < 0) return Error::fromErrno(errno);
  const fs::path temporary = pattern;

  auto fail = [&](Error error) -> Result<void> {
    ::unlink(temporary.c_str());
    return error;
  };
  if (auto written = writeAll(fd.get(), bytes); !written) return fail(written.error());
  if (::fsync(fd.get()) != 0) return fail(Error::fromErrno(errno));
  if (auto closed = fd.close(); !closed) return fail(closed.error());
  if (::rename(temporary.c_str(), file.c_str()) != 0) return fail(Error::fromErrno(errno));
  return syncFolder(folder);
}

Result<void> writeFileAtomically(const fs::path& file, std::string_view text) {
  return writeFileAtomically(
      file, std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

fs::path resolvedPath(const fs::path& path) {
  fs::path absolute = path.is_absolute() ? path : fs::absolute(path);
  if (std::unique_ptr<char, decltype(&std::free)> real(::realpath(absolute.c_str(), nullptr),
                                                       &std::free);
      real) {
    return fs::path(real.get());
  }
  // The path does not resolve as a whole (missing, or a dangling link): resolve
  // what exists above it and keep the last component as it is.
  fs::path normal = absolute.lexically_normal();
  if (normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
    return resolvedPath(normal.parent_path()) / normal.filename();
  }
  if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path()) {
    return resolvedPath(normal.parent_path());
  }
  return normal;
}

Result<void> regularRecordingFile(const fs::path& file, const fs::path& folder) {
  fs::path fileFolder = resolvedPath(file).parent_path();
  fs::path resolvedFolder = resolvedPath(folder);
  if (fileFolder != resolvedFolder) return failure(std::string(invalidFileMessage));

  struct stat info;
  if (::lstat(file.c_str(), &info) != 0) return Error::fromErrno(errno);
  if (!S_ISREG(info.st_mode)) return failure(std::string(invalidFileMessage));
  return success();
}

Result<void> createFolders(const std::filesystem::path& folder, mode_t mode) {
  namespace fs = std::filesystem;
  const fs::path target = fs::absolute(folder).lexically_normal();
  // The deepest folder that exists ends the walk up; only what lies below it
  // is made, top down.
  std::vector<fs::path> missing;
  for (fs::path at = target; at.has_relative_path(); at = at.parent_path()) {
    if (!at.has_filename()) continue;  // "a/b/" is "a/b"
    struct stat info;
    if (::stat(at.c_str(), &info) == 0) break;
    if (errno != ENOENT) return Error::fromErrno(errno);
    missing.push_back(at);
  }
  for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
    // Another process may make the same folder meanwhile.
    if (::mkdir(at->c_str(), mode) != 0 && errno != EEXIST) {
      return Error::fromErrno(errno);
    }
  }
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) return Error::fromErrno(errno);
  if (!S_ISDIR(info.st_mode)) return Error::fromErrno(ENOTDIR);
  return success();
}

Result<void> removeFolderEntirely(const fs::path& folder) {
  std::error_code error;
  // What an earlier removal that was cut short left behind: those meetings
  // were confirmed by the service before their removal began.
  for (auto it = fs::directory_iterator(folder.parent_path(), error);
       !error && it != fs::directory_iterator(); it.increment(error)) {
    std::error_code ignored;
    if (isRemovalName(it->path().filename().string()) && !it->is_symlink(ignored)) {
      fs::remove_all(it->path(), ignored);
    }
  }
  const fs::path leaving = removalName(folder);
  fs::rename(folder, leaving, error);
  if (error) return Error::fromErrno(error.value());
  fs::remove_all(leaving, error);
  if (error) {
    // Kept after all: back where the user is told to find it.
    std::error_code ignored;
    fs::rename(leaving, folder, ignored);
    return Error::fromErrno(error.value());
  }
  return success();
}

}  // namespace halden
