#include "service/meeting_upload.h"

#include <system_error>
#include <utility>

#include "base/main_context.h"
#include "store/files.h"
#include "store/prepare_chunks.h"
#include "store/wave.h"

namespace halden {
namespace {

// Clears the flag on every way out of an upload, including the destruction
// of a suspended upload task.
class UploadingFlag {
 public:
  explicit UploadingFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~UploadingFlag() { flag_ = false; }
  UploadingFlag(const UploadingFlag&) = delete;
  UploadingFlag& operator=(const UploadingFlag&) = delete;

 private:
  bool& flag_;
};

}  // namespace

std::string transcribingMessage(std::size_t index, std::size_t count) {
  return "Transcribing part " + std::to_string(index + 1) + " of " + std::to_string(count) +
         ". You can keep this window in the background.";
}

MeetingUploader::MeetingUploader(ServiceClient& client, UploadHooks hooks)
    : client_(client), hooks_(std::move(hooks)) {
  if (!hooks_.prepare)
    hooks_.prepare = [](const std::filesystem::path& f) { return prepareChunks(f); };
  if (!hooks_.removeFolder) hooks_.removeFolder = removeFolderEntirely;
}

Task<Result<void>> MeetingUploader::upload(std::filesystem::path directory, std::string meetingId) {
  if (uploading_) co_return failure(std::string(uploadInProgressMessage));
  UploadingFlag flag(uploading_);

  hooks_.emit("processing", std::string(preparingRecordingMessage));
  // Mixing and encoding up to four hours of audio takes seconds: it runs on a
  // thread of its own, with its own copies, while the main loop goes on.
  // (A named awaiter: GCC 12 mishandles capturing lambda temporaries inside
  // a co_await expression.)
  auto preparation =
      onBackgroundThread([prepare = hooks_.prepare, directory] { return prepare(directory); });
  HALDEN_CO_TRY(ChunkList chunks, co_await preparation);

  const std::size_t count = chunks.size();
  for (std::size_t k = 0; k < count; ++k) {
    hooks_.emit("processing", transcribingMessage(k, count));
    // The file is read and checked again right before it is sent, so bytes
    // changed since preparation never reach the service as this chunk.
    HALDEN_CO_TRY(Bytes data, validateChunk(chunks[k], directory));
    const auto sequence = static_cast<int64_t>(k);
    HALDEN_CO_TRY(JsonObject answer, co_await uploadChunk(meetingId, sequence, std::move(data)));
    HALDEN_CO_CHECK(requireAcknowledgement(answer, sequence));
  }

  hooks_.emit("processing", std::string(preparingSummaryMessage));
  JsonObject summary;
  summary["action"] = "summarize";
  summary["expectedChunks"] = count;
  HALDEN_CO_TRY(JsonObject answer,
                co_await client_.post("api/meetings/" + meetingId, std::move(summary), true));
  HALDEN_CO_CHECK(requireAcknowledgement(answer, std::nullopt));

  // The service holds every chunk and has accepted the meeting: only now does
  // the local audio go. A failed removal is no failure of the upload.
  if (hooks_.removeFolder(directory).ok()) {
    hooks_.emit("ready", std::string(readyRemovedMessage));
  } else {
    hooks_.emit("ready", std::string(readyKeptMessage));
  }
  hooks_.requestAttention();
  co_return success();
}

Task<Result<JsonObject>> MeetingUploader::uploadChunk(std::string meetingId, int64_t sequence,
                                                      Bytes data) {
  co_return co_await client_.request(
      "api/meetings/" + meetingId + "/audio?sequence=" + std::to_string(sequence), std::move(data),
      "audio/wav", true);
}

}  // namespace halden
