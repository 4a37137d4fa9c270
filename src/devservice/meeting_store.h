// Uploaded chunks and accepted summary requests.
//
// Chunks live on disk as <data>/<meetingId>/chunk-<k>.wav, each replaced
// atomically (temporary file, then rename), so a reader never sees half a
// chunk and a later upload of the same sequence replaces the earlier one.
// What is stored is read back from the folder, so a service restarted on the
// same data folder still knows its chunks. Summaries live in memory.
// Thread-safe: every operation takes the store's mutex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace halden::devservice {

// Meeting identifiers name folders: 1 to 128 of A-Z a-z 0-9 - _ (no dots, no
// separators, so no identifier can leave the data folder).
bool isValidMeetingId(const std::string& id);

// A chunk sequence in canonical decimal (no sign, no leading zero) up to
// maximumSequence.
std::optional<std::int64_t> parseSequence(const std::string& text);
constexpr std::int64_t maximumSequence = 999'999;

class MeetingStore {
 public:
  explicit MeetingStore(std::filesystem::path dataFolder);

  const std::filesystem::path& dataFolder() const { return dataFolder_; }

  // REQUIRES: isValidMeetingId(meetingId), 0 <= sequence <= maximumSequence.
  // Returns an error text when the file system refuses.
  std::optional<std::string> storeChunk(const std::string& meetingId, std::int64_t sequence,
                                        const std::string& bytes);

  // Sequence -> SHA-256 of the stored bytes.
  std::map<std::int64_t, std::string> chunkDigests(const std::string& meetingId) const;
  std::optional<std::string> chunkBytes(const std::string& meetingId, std::int64_t sequence) const;

  // Records the request and returns nullopt when chunks 0..expectedChunks-1
  // are all stored for the meeting; otherwise returns the first missing one.
  std::optional<std::int64_t> summarize(const std::string& meetingId, std::int64_t expectedChunks);

  struct Summary {
    std::string meetingId;
    std::int64_t expectedChunks = 0;
  };
  std::vector<Summary> summaries() const;

  // Removes every stored chunk (and the meeting folders they emptied) and
  // forgets the summaries. Files the service did not write stay.
  void reset();

 private:
  std::filesystem::path chunkPath(const std::string& meetingId, std::int64_t sequence) const;

  const std::filesystem::path dataFolder_;
  mutable std::mutex mutex_;
  std::vector<Summary> summaries_;
  std::uint64_t nextTemporary_ = 0;
};

}  // namespace halden::devservice
