#include "desktop/desktop_application.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "app/app_delegate.h"
#include "build_config.h"
#include "capture/capture_stream.h"
#include "desktop/extension_protocol.h"
#include "desktop/gtk_desktop.h"
#include "desktop/webkit_workspace_view.h"
#include "service/http_transport.h"
#include "service/service_url.h"

namespace halden {
namespace {

namespace fs = std::filesystem;

constexpr const char* noWindowDisplayMessage =
    "halden: no display to show the Halden window on (is DISPLAY or WAYLAND_DISPLAY set?); "
    "`halden --self-test` runs the audio checks without one.";
constexpr const char* missingExtensionTitle = "Halden is missing a part";

std::string missingExtensionMessage(const fs::path& installed) {
  return "The workspace page cannot start recordings, because Halden's web extension (" +
         std::string(extension::moduleFileName) + ") is not in " + installed.string() +
         ". Reinstall Halden.";
}

fs::path executablePath(const char* programPath) {
  std::error_code error;
  fs::path path = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path(programPath) : path;
}

class DesktopApplication {
 public:
  DesktopApplication(const char* programPath, ServiceUrl appUrl)
      : executable_(executablePath(programPath)),
        appUrl_(std::move(appUrl)),
        application_(gtk_application_new(applicationId, G_APPLICATION_DEFAULT_FLAGS)) {
    g_signal_connect(application_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                       static_cast<DesktopApplication*>(self)->activate();
                     }),
                     this);
    // While the toolkit is still up: widgets destroyed after it shut down
    // take their accessibility objects down with warnings.
    g_signal_connect(application_, "shutdown", G_CALLBACK(+[](GApplication*, gpointer self) {
                       static_cast<DesktopApplication*>(self)->tearDown();
                     }),
                     this);
  }

  ~DesktopApplication() {
    tearDown();
    g_object_unref(application_);
  }

  int run() {
    // Arguments are not the toolkit's to interpret: only the program name.
    char* arguments[] = {const_cast<char*>(executable_.c_str()), nullptr};
    return g_application_run(G_APPLICATION(application_), 1, arguments);
  }

 private:
  enum class Quit { none, asking, waitingForCapture, done };

  void tearDown() {
    for (guint source : signalSources_) g_source_remove(source);
    signalSources_.clear();
    // The delegate refers to the desktop and the view; it goes first.
    delegate_.reset();
    desktop_.reset();
    view_.reset();
    transport_.reset();
  }

  void activate() {
    if (delegate_) {
      desktop_->showWindow();  // a second launch
      return;
    }
    launch();
  }

  void launch() {
    const fs::path data = fs::path(g_get_user_data_dir()) / "Halden";
    const fs::path installedExtension =
        (executable_.parent_path() / HALDEN_WEB_EXTENSION_FROM_BIN).lexically_normal();
    const std::optional<fs::path> extension = findWebExtension(executable_, installedExtension);
    if (!extension)
      std::cerr << "halden: " << missingExtensionMessage(installedExtension) << std::endl;

    view_ = std::make_unique<WebKitWorkspaceView>(
        WorkspaceViewFolders{.data = data / "WebData",
                             .cache = fs::path(g_get_user_cache_dir()) / "Halden",
                             .extension = extension},
        appUrl_.text(),
        WorkspaceViewEvents{
            .decide =
                [this](const std::optional<std::string>& url, TargetFrame frame) {
                  return delegate_ && delegate_->allowNavigation(url, frame);
                },
            .trusted =
                [this](std::string_view url) { return delegate_ && delegate_->trusted(url); },
            .provisionalFailure =
                [this](std::string_view domain, int code, const std::string& description) {
                  if (delegate_) delegate_->provisionalFailure(domain, code, description);
                },
            .pageEnded =
                [this](const std::string& description) {
                  if (delegate_) delegate_->pageEnded(description);
                },
            .scriptMessage =
                [this](bool fromMainFrame, const std::string& frameUrl, std::string_view body) {
                  if (delegate_) delegate_->scriptMessage(fromMainFrame, frameUrl, body);
                }});
    desktop_ = std::make_unique<GtkDesktop>(
        application_, view_->widget(), applicationId,
        DesktopCommands{
            .menu = [this](MenuCommand command) { menuCommand(command); },
            .edit = [this](const char* command) { view_->executeEditingCommand(command); },
            .quitConfirmed = [this] { finish(); }});
    transport_ = createCurlTransport();
    delegate_ = std::make_unique<AppDelegate>(
        appUrl_, *desktop_, *view_, *transport_, createPulseCaptureService(),
        AppDelegate::Options{.root = recordingsRoot(g_get_user_data_dir())});
    delegate_->launch();
    if (!extension) {
      spawn([](GtkDesktop& desktop, std::string message) -> Task<void> {
        auto shown = desktop.alert(missingExtensionTitle, std::move(message), {});
        (void)co_await shown;
      }(*desktop_, missingExtensionMessage(installedExtension)));
    }
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
      signalSources_.push_back(g_unix_signal_add(
          number,
          [](gpointer self) -> gboolean {
            static_cast<DesktopApplication*>(self)->quitWithoutAsking();
            return G_SOURCE_CONTINUE;
          },
          this));
    }
  }

  void menuCommand(MenuCommand command) {
    switch (command) {
      case MenuCommand::signIn:
        delegate_->signIn();
        break;
      case MenuCommand::showWorkspace:
        delegate_->showWorkspace();
        break;
      case MenuCommand::endRecording:
        delegate_->endFromMenu();
        break;
      case MenuCommand::showRecordings:
        delegate_->showRecordings();
        break;
      case MenuCommand::quit:
        requestQuit();
        break;
    }
  }

  // Either menu's "Quit Halden" and Ctrl+Q: one question at a time.
  void requestQuit() {
    if (quit_ != Quit::none) return;
    quit_ = Quit::asking;
    spawn(askToQuit());
  }

  Task<void> askToQuit() {
    auto asked = delegate_->shouldTerminate();
    const QuitAnswer answer = co_await asked;
    if (quit_ != Quit::asking) co_return;  // a signal took over meanwhile
    switch (answer) {
      case QuitAnswer::now:
        finish();
        break;
      case QuitAnswer::cancel:
        quit_ = Quit::none;
        break;
      case QuitAnswer::later:
        quit_ = Quit::waitingForCapture;
        break;
    }
  }

  // SIGTERM, SIGINT, SIGHUP: the desktop or the user wants the process gone.
  // A recording is kept for recovery, never uploaded on the way out.
  void quitWithoutAsking() {
    if (quit_ == Quit::waitingForCapture || quit_ == Quit::done) return;
    const QuitAnswer answer = delegate_->terminateWithoutAsking();
    if (answer == QuitAnswer::later) {
      quit_ = Quit::waitingForCapture;
    } else {
      finish();
    }
  }

  void finish() {
    quit_ = Quit::done;
    g_application_quit(G_APPLICATION(application_));
  }

  fs::path executable_;
  ServiceUrl appUrl_;
  GtkApplication* application_;
  std::unique_ptr<WebKitWorkspaceView> view_;
  std::unique_ptr<GtkDesktop> desktop_;
  std::unique_ptr<HttpTransport> transport_;
  std::unique_ptr<AppDelegate> delegate_;
  std::vector<guint> signalSources_;
  Quit quit_ = Quit::none;
};

}  // namespace

int runDesktopApplication(const char* programPath) {
  // The configure step refuses most bad addresses, but only the parser knows
  // them all (an IPv6 literal such as [1:2] passes a pattern).
  std::optional<ServiceUrl> appUrl = ServiceUrl::parse(build::serviceUrl);
  if (!appUrl) {
    std::cerr << "halden: this build's service address '" << build::serviceUrl
              << "' is not a URL of scheme and host; build again with a valid "
                 "HALDEN_SERVICE_URL."
              << std::endl;
    return 1;
  }
  // Without a display the toolkit would end the process with a warning of
  // its own; say what is missing instead.
  if (!gtk_init_check(nullptr, nullptr)) {
    std::cerr << noWindowDisplayMessage << std::endl;
    return 1;
  }
  // Before the first web process: the page's sound is told apart by it.
  markOwnSound();
  DesktopApplication application(programPath, std::move(*appUrl));
  return application.run();
}

}  // namespace halden
