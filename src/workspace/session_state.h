// The recording session's shared state: the flags and values that the start
// flow, the endings, the bridge, recovery and the quit guard all read.
//
// Main context only; plain fields, no lock. Nothing clears meetingId,
// directory or the client fields when a session ends: they keep the last
// session's values until the next start or a recovery replaces them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace halden {

struct SessionState {
  std::optional<std::string> meetingId;           // current or last meeting
  std::optional<std::filesystem::path> directory;  // that meeting's folder
  bool isRecording = false;  // capture runs for a confirmed meeting
  bool starting = false;     // an accepted start whose flow has not finished
  bool stopping = false;     // a recording is being ended (or failing)
  // An accepted "retry" whose recovery (folder chooser, checks, upload) has
  // not ended. Refuses "start" and "retry" as an upload does, so that no
  // second chooser opens and no recording starts while the chooser is open.
  bool recovering = false;
  // The message of a capture failure reported during the current session.
  std::optional<std::string> captureStartError;
  // The last recording event, for "status".
  std::string notice;
  std::string noticeState = "idle";
  // The client of the last accepted start; a recovery clears them.
  std::optional<std::string> recordingClientId;
  std::optional<std::string> recordingClientName;

  bool operator==(const SessionState&) const = default;
};

}  // namespace halden
