// The recording session controller: from an accepted "start" to the moment
// the meeting's audio is handed to the upload, or the session has failed.
//
// The start flow (confirmation, meeting folder, capture start), the confirmed
// recording with its length limit, its endings (page request, menu command,
// length timer) and the reaction to a capture failure. Every step runs on the
// main context; the waits (alert, capture start and stop, upload) are where
// other callbacks run, and the flags in SessionState keep flows apart.
//
// The application's own sound stays out of the system track: the capture
// leaves it out, or, where it cannot, the workspace view is muted from the
// confirmed start until the capture has stopped, on every path, and unmuted
// after.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/task.h"
#include "capture/audio_recorder.h"
#include "service/meeting_upload.h"
#include "workspace/session_state.h"
#include "workspace/workspace_shell.h"

namespace halden {

inline constexpr std::chrono::seconds recordingLengthLimit{14'399};
inline constexpr std::string_view idleTitle = "Halden";
inline constexpr std::string_view recordingStatusTitle = "\u25CF Recording";
inline constexpr std::string_view recordingWindowTitle = "Recording \u2014 Halden";
inline constexpr std::string_view existingRecordingMessage =
    "This meeting already has a saved recording. Recover it instead.";
inline constexpr std::string_view couldNotStartMessage =
    "Recording could not start. Try again after checking audio permissions.";

class RecordingSession {
 public:
  // Sends one recording event to the page (and remembers it).
  using Emit = std::function<void(const std::string& state, const std::string& message)>;

  struct Parts {
    SessionState& state;
    AudioRecorder& recorder;
    MeetingUploader& uploader;
    WorkspaceShell& shell;
    WorkspaceView& view;
    Emit emit;
    // The Recordings folder, and the service base URL as meeting.json
    // records it.
    std::filesystem::path root;
    std::string origin;
  };

  // `lengthLimit` ends a confirmed recording by itself; tests shorten it.
  explicit RecordingSession(Parts parts,
                            std::chrono::milliseconds lengthLimit = recordingLengthLimit);
  ~RecordingSession();
  RecordingSession(const RecordingSession&) = delete;
  RecordingSession& operator=(const RecordingSession&) = delete;

  // The start flow of an accepted "start" (starting is already set, the
  // client fields stored and "processing" sent). Clears starting however
  // it ends.
  Task<void> startFlow(std::string meetingId, std::optional<std::string> clientName);
  // Ends a confirmed recording and hands it to the upload; does nothing
  // unless a recording runs and no ending is under way. Never fails: every
  // failure becomes an "error" event.
  Task<void> endRecording();
  // The menu command: starts endRecording() and returns.
  void endFromMenu();
  // The capture object reported a failure with `message`. Takes the session
  // over at once (a start flow resuming later finds it failed), then stops
  // the capture in a task of its own.
  void captureFailed(std::string message);
  // For a quit during a recording: stops the length timer.
  void invalidateTimer();
  // Stops the capture of a recording let go by a quit, without upload.
  Task<void> stopForQuit();

 private:
  struct Timer;
  Result<void> openMeeting(const std::string& meetingId);
  void confirmRecording();
  void showIdle();
  void scheduleTimer();
  Task<void> finishFailure(std::string message);
  // Unmutes the view if this session muted it.
  void unmute();

  Parts parts_;
  std::chrono::milliseconds lengthLimit_;
  std::shared_ptr<Timer> timer_;  // the current session's; a dead one after
  bool muted_ = false;  // the view is muted for the running recording
};

}  // namespace halden
