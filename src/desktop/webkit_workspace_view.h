// The workspace web view on WebKitGTK: a WebKitWebView with its own
// persistent website data (cookies survive a restart), the web-process
// extension that reports sender frames, and the cookie store the service
// client reads.
//
// Main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "workspace/navigation_policy.h"
#include "workspace/workspace_shell.h"

typedef struct _GtkWidget GtkWidget;

namespace halden {

// What the view reports to the application; each is called on the main
// thread from a WebKit signal.
struct WorkspaceViewEvents {
  // A navigation to decide now: true loads it. `url` is absent when the
  // request has none.
  std::function<bool(const std::optional<std::string>& url, TargetFrame frame)> decide;
  // The trust test of the service's origin.
  std::function<bool(std::string_view url)> trusted;
  // A main-frame load that failed before content arrived, with the error's
  // domain name, code and description.
  std::function<void(std::string_view domain, int code, const std::string& description)>
      provisionalFailure;
  // The page's web process ended (a crash, too much memory, a sandbox that
  // cannot start): the window shows no page until the next load.
  // `description` says what happened, as a sentence.
  std::function<void(const std::string& description)> pageEnded;
  // A script message with its sender frame's facts.
  std::function<void(bool fromMainFrame, const std::string& frameUrl, std::string_view body)>
      scriptMessage;
};

struct WorkspaceViewFolders {
  std::filesystem::path data;   // website data and cookies; made 0700
  std::filesystem::path cache;  // made 0700
  // The folder holding the web-process extension; std::nullopt when it was
  // not found, in which case frames cannot be told apart.
  std::optional<std::filesystem::path> extension;
};

// The folder holding the web-process extension: "web-extension" beside the
// running executable (a build tree), else `installed`. std::nullopt when
// neither holds the extension's module.
std::optional<std::filesystem::path> findWebExtension(const std::filesystem::path& executable,
                                                      const std::filesystem::path& installed);

class WebKitWorkspaceView final : public WorkspaceView {
 public:
  // `serviceUrl` is passed to the extension, which trusts that origin only.
  WebKitWorkspaceView(const WorkspaceViewFolders& folders, const std::string& serviceUrl,
                      WorkspaceViewEvents events);
  ~WebKitWorkspaceView() override;
  WebKitWorkspaceView(const WebKitWorkspaceView&) = delete;
  WebKitWorkspaceView& operator=(const WebKitWorkspaceView&) = delete;

  // The GtkWidget to put in the window (a WebKitWebView).
  GtkWidget* widget() const;
  // Runs one of WebKit's editing commands ("Undo", "Cut", "Copy", "Paste",
  // "SelectAll") in the focused element of the page.
  void executeEditingCommand(const char* command);

  // WorkspaceView
  void load(const std::string& url, std::chrono::seconds timeout) override;
  void openHere(const std::string& url) override;
  std::optional<std::string> currentUrl() const override;
  void evaluateScript(const std::string& script) override;
  void loadHtml(const std::string& html, const std::string& baseUrl) override;
  void setMuted(bool muted) override;
  CookieStore& cookies() override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halden
