// Taking one meeting folder to the service: prepared chunks sent in order,
// each acknowledged by number, then the summary request, and only then the
// folder's removal.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/task.h"
#include "service/response.h"
#include "service/service_client.h"
#include "store/chunk_manifest.h"
#include "store/files.h"

namespace halden {

inline constexpr std::string_view uploadInProgressMessage = "An upload is already in progress.";
inline constexpr std::string_view preparingRecordingMessage = "Preparing the recording…";
inline constexpr std::string_view preparingSummaryMessage =
    "Preparing the summary and proposed memories…";
inline constexpr std::string_view readyRemovedMessage =
    "Meeting ready to review. The uploaded audio has been removed from this Mac.";
inline constexpr std::string_view readyKeptMessage =
    "Meeting ready to review. The audio remains in Saved recordings; you can remove it in Finder.";

// "Transcribing part <k+1> of <count>. You can keep this window in the background."
std::string transcribingMessage(std::size_t index, std::size_t count);

// What the uploader needs from its owner. `emit` and `requestAttention` are
// required; the others default to the real store and file system.
struct UploadHooks {
  // Reports progress to the page as a recording event (state, message).
  std::function<void(const std::string& state, const std::string& message)> emit;
  // Draws the user's attention to the application, informationally.
  std::function<void()> requestAttention;
  // Prepares the folder's chunks. Called on a background thread; must touch
  // nothing but the folder. Default: prepareChunks.
  std::function<Result<ChunkList>(const std::filesystem::path& folder)> prepare;
  // Removes the folder with everything in it. Default: removeFolderEntirely.
  std::function<Result<void>(const std::filesystem::path& folder)> removeFolder;
};

// Runs on the main context. Invariant: uploading() is true exactly while an
// upload() task is between its start and its end (also when that task is
// destroyed half-way).
//
// REQUIRES: the client outlives the uploader, and the uploader outlives every
// task it returned.
class MeetingUploader {
 public:
  MeetingUploader(ServiceClient& client, UploadHooks hooks);

  bool uploading() const { return uploading_; }

  // Uploads the meeting in `directory` under `meetingId` (inserted into the
  // service paths unescaped; callers pass UUID text). Fails at once with
  // uploadInProgressMessage while another upload runs. Any later failure
  // leaves the folder as it is and is returned unchanged; the caller reports
  // it. On success the folder is gone (or, if it could not be removed, kept
  // with the second "ready" message) and the user's attention was requested.
  Task<Result<void>> upload(std::filesystem::path directory, std::string meetingId);

  // Sends one chunk to "api/meetings/<id>/audio?sequence=<k>" as "audio/wav"
  // and returns the decoded answer unchecked.
  Task<Result<JsonObject>> uploadChunk(std::string meetingId, int64_t sequence, Bytes data);

 private:
  ServiceClient& client_;
  UploadHooks hooks_;
  bool uploading_ = false;
};

}  // namespace halden
