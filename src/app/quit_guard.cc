#include "app/quit_guard.h"

#include <string>
#include <utility>
#include <vector>

namespace halden {
namespace {

// Lets the recording go: no timer, no upload, tracks closed, then the quit.
QuitAnswer letRecordingGo(QuitGuardParts parts) {
  parts.session.invalidateTimer();
  parts.state.isRecording = false;
  spawn([](RecordingSession& session, std::function<void()> reply) -> Task<void> {
    co_await session.stopForQuit();
    reply();
  }(parts.session, std::move(parts.replyToQuit)));
  return QuitAnswer::later;
}

}  // namespace

Task<QuitAnswer> askToQuit(QuitGuardParts parts) {
  const bool recording = parts.state.isRecording;
  if (!recording && !parts.uploading()) co_return QuitAnswer::now;
  std::vector<std::string> buttons{std::string(keepOpenButton),
                                   std::string(quitAndRecoverButton)};
  auto asked = parts.shell.alert(
      std::string(recording ? quitWhileRecordingTitle : quitWhileUploadingTitle),
      std::string(quitMessage), std::move(buttons));
  const std::size_t answer = co_await asked;
  if (answer != 1) co_return QuitAnswer::cancel;
  // Tested again: a recording may have ended while the alert was open.
  if (!parts.state.isRecording) co_return QuitAnswer::now;
  co_return letRecordingGo(std::move(parts));
}

QuitAnswer quitWithoutAsking(QuitGuardParts parts) {
  if (!parts.state.isRecording) return QuitAnswer::now;
  return letRecordingGo(std::move(parts));
}

}  // namespace halden
