#include "devservice/meeting_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "devservice/digest.h"

namespace halden::devservice {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view chunkPrefix = "chunk-";
constexpr std::string_view chunkSuffix = ".wav";
constexpr std::string_view temporaryPrefix = ".upload-";

std::optional<std::int64_t> sequenceOfFileName(const std::string& name) {
  if (!name.starts_with(chunkPrefix) || !name.ends_with(chunkSuffix)) return std::nullopt;
  return parseSequence(
      name.substr(chunkPrefix.size(), name.size() - chunkPrefix.size() - chunkSuffix.size()));
}

// The whole file, or nullopt when it cannot be opened or read.
std::optional<std::string> readWhole(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[65536];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return bytes;
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

}  // namespace

bool isValidMeetingId(const std::string& id) {
  if (id.empty() || id.size() > 128) return false;
  for (char c : id) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::optional<std::int64_t> parseSequence(const std::string& text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  if (text.size() > 1 && text.front() == '0') return std::nullopt;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < 0 || value > maximumSequence) return std::nullopt;
  return value;
}

MeetingStore::MeetingStore(fs::path dataFolder) : dataFolder_(std::move(dataFolder)) {}

fs::path MeetingStore::chunkPath(const std::string& meetingId, std::int64_t sequence) const {
  return dataFolder_ / meetingId /
         (std::string(chunkPrefix) + std::to_string(sequence) + std::string(chunkSuffix));
}

std::optional<std::string> MeetingStore::storeChunk(const std::string& meetingId,
                                                    std::int64_t sequence,
                                                    const std::string& bytes) {
  std::lock_guard lock(mutex_);
  fs::path folder = dataFolder_ / meetingId;
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return "The meeting folder could not be created: " + error.message();
  fs::path temporary = folder / (std::string(temporaryPrefix) + std::to_string(nextTemporary_++));
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return std::string("The chunk could not be stored: ") + std::strerror(errno);
  bool wrote = writeAll(fd, bytes);
  int savedErrno = errno;
  if (::close(fd) != 0) wrote = false;
  if (!wrote) {
    fs::remove(temporary, error);
    return std::string("The chunk could not be stored: ") + std::strerror(savedErrno);
  }
  fs::rename(temporary, chunkPath(meetingId, sequence), error);
  if (error) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return "The chunk could not be stored: " + error.message();
  }
  return std::nullopt;
}

std::map<std::int64_t, std::string> MeetingStore::chunkDigests(const std::string& meetingId) const {
  std::map<std::int64_t, std::string> digests;
  if (!isValidMeetingId(meetingId)) return digests;
  std::lock_guard lock(mutex_);
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(dataFolder_ / meetingId, error)) {
    std::optional<std::int64_t> sequence = sequenceOfFileName(entry.path().filename().string());
    if (!sequence || !entry.is_regular_file(error) || entry.is_symlink(error)) continue;
    if (std::optional<std::string> bytes = readWhole(entry.path())) {
      digests[*sequence] = sha256Hex(*bytes);
    }
  }
  return digests;
}

std::optional<std::string> MeetingStore::chunkBytes(const std::string& meetingId,
                                                    std::int64_t sequence) const {
  if (!isValidMeetingId(meetingId) || sequence < 0 || sequence > maximumSequence) {
    return std::nullopt;
  }
  std::lock_guard lock(mutex_);
  fs::path path = chunkPath(meetingId, sequence);
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(path, error))) return std::nullopt;
  return readWhole(path);
}

std::optional<std::int64_t> MeetingStore::summarize(const std::string& meetingId,
                                                    std::int64_t expectedChunks) {
  std::lock_guard lock(mutex_);
  for (std::int64_t k = 0; k < expectedChunks; ++k) {
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(chunkPath(meetingId, k), error))) return k;
  }
  summaries_.push_back({meetingId, expectedChunks});
  return std::nullopt;
}

std::vector<MeetingStore::Summary> MeetingStore::summaries() const {
  std::lock_guard lock(mutex_);
  return summaries_;
}

void MeetingStore::reset() {
  std::lock_guard lock(mutex_);
  summaries_.clear();
  std::error_code error;
  for (const fs::directory_entry& meeting : fs::directory_iterator(dataFolder_, error)) {
    if (!isValidMeetingId(meeting.path().filename().string()) || meeting.is_symlink(error) ||
        !meeting.is_directory(error)) {
      continue;
    }
    std::vector<fs::path> ours;
    for (const fs::directory_entry& file : fs::directory_iterator(meeting.path(), error)) {
      std::string name = file.path().filename().string();
      if (sequenceOfFileName(name) || name.starts_with(temporaryPrefix)) {
        ours.push_back(file.path());
      }
    }
    for (const fs::path& path : ours) fs::remove(path, error);
    fs::remove(meeting.path(), error);  // Only succeeds when the folder is now empty.
  }
}

}  // namespace halden::devservice
