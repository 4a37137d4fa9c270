// AppDelegate: the application's one central object. It owns the capture
// object, the service client, the uploader and the sign-in, holds the
// session's state, and answers the desktop's callbacks (menu actions, the web
// view's navigations and script messages, quit requests) by composing the
// subsystems; it decides little itself.
//
// Main context only. The desktop reaches it through its public operations;
// it reaches the desktop through AppShell and WorkspaceView.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/app_shell.h"
#include "app/health_monitor.h"
#include "app/quit_guard.h"
#include "capture/audio_recorder.h"
#include "service/desktop_signin.h"
#include "service/http_transport.h"
#include "service/meeting_upload.h"
#include "service/service_client.h"
#include "service/service_url.h"
#include "workspace/navigation_policy.h"
#include "workspace/recording_session.h"
#include "workspace/session_state.h"

namespace halden {

// The Recordings folder below a per-user data folder: <data>/Halden/Recordings.
std::filesystem::path recordingsRoot(const std::filesystem::path& userDataFolder);

class AppDelegate final : private SignInShell {
 public:
  struct Options {
    // The Recordings folder (recordingsRoot of the user's data folder).
    std::filesystem::path root;
    // How long a confirmed recording may run before it ends by itself. The
    // qualified name: unqualified, it would name this member itself.
    std::chrono::milliseconds recordingLengthLimit = halden::recordingLengthLimit;
    // Waits between sign-in polls; tests pass one that returns at once.
    DesktopSignIn::Sleep signInSleep = nullptr;
  };

  // REQUIRES: every reference outlives the delegate.
  AppDelegate(ServiceUrl appUrl, AppShell& shell, WorkspaceView& view, HttpTransport& transport,
              std::unique_ptr<CaptureService> capture, Options options);
  ~AppDelegate() override;
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // The end of the launch: capture failures reach the session from now on,
  // and the workspace page loads.
  void launch();

  // Menu actions.
  void signIn();
  void showWorkspace() override;
  void endFromMenu();
  void showRecordings();

  // The web view's callbacks: a navigation to decide at once (the decision's
  // side effects, such as opening the browser or starting a sign-in, are
  // done here), a load that failed before content arrived, and a message
  // the page posted to "haldenDesktop" (`body` as JSON text).
  bool allowNavigation(const std::optional<std::string>& url, TargetFrame frame);
  void provisionalFailure(std::string_view domain, int code, const std::string& description);
  // The page's web process ended; "Client workspace" loads the page again.
  void pageEnded(const std::string& description);
  void scriptMessage(bool fromMainFrame, const std::string& frameUrl, std::string_view body);
  bool trusted(std::optional<std::string_view> url) const { return navigation_.trusted(url); }

  // Records one recording event and sends it to the page when the page is
  // the workspace's.
  void emit(const std::string& state, const std::string& message);

  // Every quit request of the application, and a quit the desktop demands
  // without a question (a signal, the session ending).
  Task<QuitAnswer> shouldTerminate();
  QuitAnswer terminateWithoutAsking();

  // For the desktop and tests.
  const SessionState& state() const { return state_; }
  bool uploading() const { return uploader_.uploading(); }
  bool signingIn() const { return signIn_.signingIn(); }
  const std::filesystem::path& root() const { return options_.root; }
  const ServiceUrl& appUrl() const { return navigation_.appUrl(); }
  // Why logout and suspend should wait: a recording or an upload under way.
  std::optional<std::string> busyReason() const;

 private:
  // SignInShell
  void openInBrowser(const std::string& url) override;
  void showHtml(const std::string& html, const std::string& baseUrl) override;
  Task<void> alert(std::string title, std::string message) override;

  Task<void> recovery();
  Task<void> recover(std::filesystem::path folder);
  QuitGuardParts quitGuardParts();
  // Starts and ends the health checks with the recording.
  void followRecording();
  void noticeEvent(const std::string& state, const std::string& message);
  // Runs `work` on the main context later, unless the delegate is gone.
  void later(std::function<void(AppDelegate&)> work);

  AppShell& shell_;
  WorkspaceView& view_;
  Options options_;
  SessionState state_;
  NavigationPolicy navigation_;
  ServiceClient client_;
  AudioRecorder recorder_;
  MeetingUploader uploader_;
  DesktopSignIn signIn_;
  RecordingSession session_;
  HealthMonitor health_;
  unsigned healthTimer_ = 0;  // a GLib source while a recording runs
  // The folder of the upload under way, until its last event.
  std::optional<std::filesystem::path> uploadFolder_;
  // Lets a capture failure posted from the sample queue find out whether the
  // delegate still exists.
  std::shared_ptr<AppDelegate*> alive_;
};

}  // namespace halden
