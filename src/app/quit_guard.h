// The quit guard: every quit request of the application (either menu's
// "Quit Halden", its shortcut, the desktop's own) asks here first, so that a
// recording or an upload is never dropped without the user's say.
#pragma once

#include <functional>
#include <string_view>

#include "base/task.h"
#include "workspace/recording_session.h"

namespace halden {

enum class QuitAnswer {
  now,     // quit at once
  cancel,  // drop the request
  later,   // quit once AppShell::replyToQuit() has been called
};

inline constexpr std::string_view quitWhileRecordingTitle =
    "End this recording before quitting?";
inline constexpr std::string_view quitWhileUploadingTitle = "An upload is in progress";
inline constexpr std::string_view quitMessage =
    "Keep Halden open to finish. Saved audio can be recovered from the Recordings folder.";
inline constexpr std::string_view keepOpenButton = "Keep Halden open";
inline constexpr std::string_view quitAndRecoverButton = "Quit and recover later";

struct QuitGuardParts {
  SessionState& state;
  RecordingSession& session;
  WorkspaceShell& shell;
  std::function<bool()> uploading;
  // Confirms a quit answered `later`.
  std::function<void()> replyToQuit;
};

// Asks whether to quit, as the user would be asked: at once while nothing
// records or uploads; otherwise after an alert. A recording let go stops its
// capture (tracks closed, no upload) before the quit is confirmed.
Task<QuitAnswer> askToQuit(QuitGuardParts parts);

// The same without a question, for a quit the desktop itself demands (a
// signal, the session ending): a recording's capture is stopped first, an
// upload is abandoned (its folder stays for recovery).
QuitAnswer quitWithoutAsking(QuitGuardParts parts);

}  // namespace halden
