#include "app/app_delegate.h"

#include <glib.h>

#include <system_error>
#include <utility>

#include "base/main_context.h"
#include "recovery/recordings_folder.h"
#include "recovery/saved_meeting.h"
#include "workspace/script_bridge.h"

namespace halden {
namespace {

// Runs `work` on `context` in a later iteration (never at once: callers post
// what must see the end of the step they are in), unless the delegate is
// gone by then.
void postToMain(GMainContext* context, std::weak_ptr<AppDelegate*> delegate,
                std::function<void(AppDelegate&)> work) {
  runLater(context, [delegate = std::move(delegate), work = std::move(work)] {
    if (auto alive = delegate.lock()) work(**alive);
  });
}

Task<void> sleepOnMain(std::chrono::milliseconds duration) { co_await sleepFor(duration); }

double monotonicSeconds() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

}  // namespace

std::filesystem::path recordingsRoot(const std::filesystem::path& userDataFolder) {
  return userDataFolder / "Halden" / "Recordings";
}

AppDelegate::AppDelegate(ServiceUrl appUrl, AppShell& shell, WorkspaceView& view,
                         HttpTransport& transport, std::unique_ptr<CaptureService> capture,
                         Options options)
    : shell_(shell),
      view_(view),
      options_(std::move(options)),
      navigation_(appUrl),
      client_(std::move(appUrl), transport, view.cookies()),
      recorder_(std::move(capture)),
      uploader_(client_,
                UploadHooks{.emit = [this](const std::string& state,
                                           const std::string& message) { emit(state, message); },
                            .requestAttention = [this] { shell_.requestAttention(); },
                            .prepare = nullptr,
                            .removeFolder = nullptr}),
      signIn_(client_, view.cookies(), *this,
              options_.signInSleep ? options_.signInSleep : DesktopSignIn::Sleep(sleepOnMain)),
      session_(
          RecordingSession::Parts{
              .state = state_,
              .recorder = recorder_,
              .uploader = uploader_,
              .shell = shell,
              .view = view,
              .emit = [this](const std::string& state,
                             const std::string& message) { emit(state, message); },
              .root = options_.root,
              .origin = client_.appUrl().text()},
          options_.recordingLengthLimit),
      health_(HealthMonitor::Parts{
          .counts = [this](CaptureSource source) { return recorder_.activity().counts(source); },
          .notify = [this](const HealthNotice& notice) { shell_.notify(notice); },
          .freeSpace = [this]() -> Task<std::optional<uint64_t>> {
            auto found =
                onBackgroundThread([root = options_.root] { return availableSpace(root); });
            co_return co_await found;
          }}),
      alive_(std::make_shared<AppDelegate*>(this)) {}

AppDelegate::~AppDelegate() {
  if (healthTimer_) g_source_remove(healthTimer_);
}

void AppDelegate::launch() {
  // The recorder reports on its sample queue; the session runs on the main
  // context, and only while the delegate exists.
  GMainContext* context = g_main_context_ref_thread_default();
  recorder_.onError = [context,
                       delegate = std::weak_ptr<AppDelegate*>(alive_)](const std::string& message) {
    postToMain(context, delegate,
               [message](AppDelegate& self) { self.session_.captureFailed(message); });
  };
  g_main_context_unref(context);  // the default context outlives the process's delegate
  showWorkspace();
  // Nothing records yet, so every meeting folder is a saved one.
  if (auto notice = savedRecordingsNotice(countMeetingFolders(options_.root)))
    shell_.notify(*notice);
}

void AppDelegate::signIn() { signIn_.signIn(); }

void AppDelegate::showWorkspace() {
  view_.load(navigation_.workspacePageUrl(), workspaceLoadTimeout);
  shell_.showWindow();
}

void AppDelegate::later(std::function<void(AppDelegate&)> work) {
  GMainContext* context = g_main_context_ref_thread_default();
  postToMain(context, alive_, std::move(work));
  g_main_context_unref(context);
}

bool AppDelegate::allowNavigation(const std::optional<std::string>& url, TargetFrame frame) {
  const std::optional<std::string_view> target =
      url ? std::optional<std::string_view>(*url) : std::nullopt;
  switch (navigation_.decide(target, frame, signIn_.signingIn())) {
    case NavigationDecision::allow:
      return true;
    case NavigationDecision::cancel:
      return false;
    case NavigationDecision::openExternally:
      shell_.openUrl(*url);
      return false;
    case NavigationDecision::loadInThisView:
      // After the web view has its answer for the new-window request.
      later([page = *url](AppDelegate& self) { self.view_.openHere(page); });
      return false;
    case NavigationDecision::startSignIn:
      // Does nothing if a sign-in has begun meanwhile.
      later([](AppDelegate& self) { self.signIn_.signIn(); });
      return false;
  }
  return false;
}

void AppDelegate::provisionalFailure(std::string_view domain, int code,
                                     const std::string& description) {
  if (!reportsLoadFailure(domain, code)) return;
  spawn(alert(std::string(loadFailureTitle), loadFailureMessage(description)));
}

void AppDelegate::pageEnded(const std::string& description) {
  spawn(alert(std::string(loadFailureTitle), description + std::string(pageEndedAdvice)));
}

void AppDelegate::endFromMenu() { session_.endFromMenu(); }

void AppDelegate::showRecordings() {
  // A folder that cannot be made is still asked for: the file browser says
  // what is wrong with it.
  (void)createRecordingsRoot(options_.root);
  shell_.openUrl(folderUri(options_.root));
}

void AppDelegate::scriptMessage(bool fromMainFrame, const std::string& frameUrl,
                                std::string_view body) {
  const std::optional<PageRequest> request =
      acceptPageMessage(navigation_, fromMainFrame, frameUrl, body);
  if (!request) return;
  BridgeStep step = dispatchPageRequest(*request, BridgeState{state_, uploader_.uploading()});
  if (!step.accepted) return;
  state_ = std::move(step.state);
  if (step.event) emit(step.event->state, step.event->message);
  switch (step.task) {
    case BridgeTask::none:
      break;
    case BridgeTask::startFlow:
      spawn(session_.startFlow(*request->meetingId, request->clientName));
      break;
    case BridgeTask::endRecording:
      spawn(session_.endRecording());
      break;
    case BridgeTask::recovery:
      spawn(recovery());
      break;
  }
}

void AppDelegate::emit(const std::string& state, const std::string& message) {
  state_.notice = message;
  state_.noticeState = state;
  const std::optional<std::string> shown = view_.currentUrl();
  const std::optional<std::string> script = recordingEventScript(
      navigation_, shown ? std::optional<std::string_view>(*shown) : std::nullopt,
      RecordingEvent{.state = state,
                     .message = message,
                     .meetingId = state_.meetingId,
                     .clientId = state_.recordingClientId,
                     .clientName = state_.recordingClientName});
  if (script) view_.evaluateScript(*script);
  // Every change of recording or upload comes with an event; the upload's
  // flag is cleared only after its last one, so look once this step is done.
  noticeEvent(state, message);
  later([](AppDelegate& self) {
    self.shell_.setBusy(self.busyReason());
    self.followRecording();
  });
}

void AppDelegate::noticeEvent(const std::string& state, const std::string& message) {
  if (uploader_.uploading() && state_.directory) uploadFolder_ = state_.directory;
  if (state != "ready" && state != "error") return;
  std::optional<std::filesystem::path> folder = std::exchange(uploadFolder_, std::nullopt);
  if (shell_.windowFocused()) return;
  std::error_code error;
  if (state == "ready") {
    shell_.notify(meetingReadyNotice(message));
  } else if (folder && std::filesystem::exists(*folder, error)) {
    shell_.notify(uploadFailedNotice(message));
  }
}

void AppDelegate::followRecording() {
  if (state_.isRecording && !health_.running()) {
    health_.begin(monotonicSeconds());
    healthTimer_ = g_timeout_add_seconds(
        1,
        [](gpointer self) -> gboolean {
          static_cast<AppDelegate*>(self)->health_.check(monotonicSeconds());
          return G_SOURCE_CONTINUE;
        },
        this);
  } else if (!state_.isRecording && health_.running()) {
    health_.end();
    g_source_remove(healthTimer_);
    healthTimer_ = 0;
  }
}

std::optional<std::string> AppDelegate::busyReason() const {
  if (state_.isRecording) return "Recording a meeting";
  if (uploader_.uploading()) return "Uploading a meeting";
  return std::nullopt;
}

void AppDelegate::openInBrowser(const std::string& url) { shell_.openUrl(url); }

void AppDelegate::showHtml(const std::string& html, const std::string& baseUrl) {
  view_.loadHtml(html, baseUrl);
}

Task<void> AppDelegate::alert(std::string title, std::string message) {
  auto shown = shell_.alert(std::move(title), std::move(message), std::vector<std::string>());
  (void)co_await shown;
}

Task<void> AppDelegate::recovery() {
  // Held from the accepted "retry" until the recovery ends, however it ends.
  struct Recovering {
    SessionState& state;
    ~Recovering() { state.recovering = false; }
  } recovering{state_};
  auto chooser = shell_.chooseFolder(std::string(chooseSavedMeetingTitle), options_.root);
  std::optional<std::filesystem::path> chosen = co_await chooser;
  if (!chosen) co_return;
  auto recovered = recover(*chosen);
  co_await recovered;
}

Task<void> AppDelegate::recover(std::filesystem::path folder) {
  Result<SavedMeeting> meeting = checkSavedMeeting(options_.root, folder, appUrl().text());
  if (!meeting.ok()) {
    emit("error", meeting.error().description());
    co_return;
  }
  // From here on events carry the recovered meeting and no client.
  state_.directory = meeting->folder;
  state_.meetingId = meeting->meetingId;
  state_.recordingClientId.reset();
  state_.recordingClientName.reset();
  auto upload = uploader_.upload(meeting->folder, meeting->meetingId);
  Result<void> uploaded = co_await upload;
  if (!uploaded.ok()) emit("error", uploaded.error().description());
}

QuitGuardParts AppDelegate::quitGuardParts() {
  return QuitGuardParts{.state = state_,
                        .session = session_,
                        .shell = shell_,
                        .uploading = [this] { return uploader_.uploading(); },
                        .replyToQuit = [this] { shell_.replyToQuit(); }};
}

Task<QuitAnswer> AppDelegate::shouldTerminate() {
  auto asked = askToQuit(quitGuardParts());
  co_return co_await asked;
}

QuitAnswer AppDelegate::terminateWithoutAsking() { return quitWithoutAsking(quitGuardParts()); }

}  // namespace halden
