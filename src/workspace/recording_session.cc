#include "workspace/recording_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "base/main_context.h"
#include "store/files.h"
#include "store/format.h"

namespace halden {
namespace {

constexpr std::string_view canceledMessage = "Recording was canceled.";
constexpr std::string_view recordingMessage =
    "Recording microphone and Mac audio. You can keep working in Halden.";
constexpr std::string_view finishingMessage = "Finishing the recording\u2026";
// Only the owner may read, write and enter a meeting folder.
constexpr mode_t meetingFolderMode = 0700;

}  // namespace

// The length timer of one session. The sleeping task holds it, not the
// session, so that a timer outliving its session (or invalidated) is inert.
struct RecordingSession::Timer {
  bool valid = true;
};

RecordingSession::RecordingSession(Parts parts, std::chrono::milliseconds lengthLimit)
    : parts_(std::move(parts)), lengthLimit_(lengthLimit) {}

RecordingSession::~RecordingSession() { invalidateTimer(); }

Task<void> RecordingSession::startFlow(std::string meetingId,
                                       std::optional<std::string> clientName) {
  // Cleared however the flow ends, an abandoned task included.
  struct Starting {
    SessionState& state;
    ~Starting() { state.starting = false; }
  } starting{parts_.state};

  const std::string client = clientName.value_or("this client");
  std::vector<std::string> buttons{"Start recording", "Cancel"};
  auto confirmation = parts_.shell.alert(
      "Record this meeting?",
      "Halden will record your microphone and all Mac audio for " + client +
          ". Let participants know. Audio is sent to Halden for transcription when you end the "
          "meeting.",
      std::move(buttons));
  const std::size_t answer = co_await confirmation;
  if (answer != 0) {
    parts_.emit("idle", std::string(canceledMessage));
    co_return;
  }
  if (Result<void> opened = openMeeting(meetingId); !opened.ok()) {
    parts_.emit("error", opened.error().description());
    co_return;
  }

  SessionState& state = parts_.state;
  auto start = parts_.recorder.start(*state.directory);
  Result<void> started = co_await start;
  if (started.ok() && !state.stopping && !state.captureStartError &&
      parts_.recorder.isRecording()) {
    // Where the capture hears everything the output plays, the page's own
    // sound would be recorded too.
    if (!parts_.recorder.keepsOwnSoundOut()) {
      parts_.view.setMuted(true);
      muted_ = true;
    }
    confirmRecording();
    co_return;
  }
  // A failure handler under way stops the capture when it is done.
  // Otherwise nothing may go on recording unconfirmed: a capture that came
  // up after its failure was already handled is stopped here. Nothing was
  // muted: that comes with the confirmation.
  if (!state.stopping) {
    if (parts_.recorder.isRecording()) {
      auto stop = parts_.recorder.stop();
      (void)co_await stop;
    }
  }
  std::string message;
  if (!started.ok()) {
    message = started.error().description();
  } else {
    message = state.captureStartError.value_or(std::string(couldNotStartMessage));
  }
  parts_.emit("error", message);
}

Result<void> RecordingSession::openMeeting(const std::string& meetingId) {
  const std::filesystem::path folder = parts_.root / meetingId;
  struct stat info;
  if (::lstat(folder.c_str(), &info) == 0) return failure(std::string(existingRecordingMessage));
  if (errno != ENOENT) return Error::fromErrno(errno);
  HALDEN_TRY(createFolders(folder, meetingFolderMode));
  const std::string meeting =
      nlohmann::json{{"meetingId", meetingId}, {"origin", parts_.origin}}.dump();
  if (Result<void> written = writeFileAtomically(folder / meetingFileName, meeting); !written) {
    // A folder without its meeting.json could be neither recorded again
    // ("already has a saved recording") nor recovered; it holds nothing yet.
    ::rmdir(folder.c_str());
    return written;
  }
  parts_.state.directory = folder;
  parts_.state.meetingId = meetingId;
  return success();
}

void RecordingSession::confirmRecording() {
  parts_.state.isRecording = true;
  parts_.shell.setEndItemsEnabled(true);
  parts_.shell.setStatusTitle(std::string(recordingStatusTitle));
  parts_.shell.setWindowTitle(std::string(recordingWindowTitle));
  scheduleTimer();
  parts_.emit("recording", std::string(recordingMessage));
}

void RecordingSession::scheduleTimer() {
  invalidateTimer();
  timer_ = std::make_shared<Timer>();
  spawn([](std::shared_ptr<Timer> timer, RecordingSession* session,
           std::chrono::milliseconds after) -> Task<void> {
    co_await sleepFor(after);
    if (!timer->valid) co_return;
    timer->valid = false;
    co_await session->endRecording();
  }(timer_, this, lengthLimit_));
}

void RecordingSession::invalidateTimer() {
  if (timer_) timer_->valid = false;
}

void RecordingSession::showIdle() {
  parts_.shell.setStatusTitle(std::string(idleTitle));
  parts_.shell.setWindowTitle(std::string(idleTitle));
}

Task<void> RecordingSession::endRecording() {
  SessionState& state = parts_.state;
  if (!state.isRecording || state.stopping) co_return;
  state.stopping = true;
  invalidateTimer();
  parts_.shell.setEndItemsEnabled(false);
  parts_.emit("processing", std::string(finishingMessage));

  auto stop = parts_.recorder.stop();
  Result<void> stopped = co_await stop;
  unmute();
  state.isRecording = false;
  showIdle();
  if (!stopped.ok()) {
    parts_.emit("error", stopped.error().description());
  } else if (state.directory && state.meetingId) {
    auto upload = parts_.uploader.upload(*state.directory, *state.meetingId);
    Result<void> uploaded = co_await upload;
    if (!uploaded.ok()) parts_.emit("error", uploaded.error().description());
  }
  state.stopping = false;
}

void RecordingSession::endFromMenu() { spawn(endRecording()); }

void RecordingSession::captureFailed(std::string message) {
  SessionState& state = parts_.state;
  if (state.stopping) return;
  state.captureStartError = message;
  state.stopping = true;
  invalidateTimer();
  parts_.shell.setEndItemsEnabled(false);
  state.isRecording = false;
  spawn(finishFailure(std::move(message)));
}

Task<void> RecordingSession::finishFailure(std::string message) {
  SessionState& state = parts_.state;
  auto stop = parts_.recorder.stop();
  (void)co_await stop;
  unmute();
  state.stopping = false;
  showIdle();
  parts_.emit("error", message);
}

void RecordingSession::unmute() {
  if (std::exchange(muted_, false)) parts_.view.setMuted(false);
}

Task<void> RecordingSession::stopForQuit() {
  auto stop = parts_.recorder.stop();
  (void)co_await stop;
  unmute();
}

}  // namespace halden
