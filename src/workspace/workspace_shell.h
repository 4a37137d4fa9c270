// What the workspace session needs of the desktop around it: modal alerts,
// titles, the end-recording menu items, the user's browser, the folder
// chooser and the workspace web view. Portable: the desktop shell implements
// these with the toolkit, tests with fakes.
//
// Every call is made, and every task resumes, on the main context.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/task.h"
#include "service/cookie_store.h"

namespace halden {

class WorkspaceShell {
 public:
  virtual ~WorkspaceShell() = default;

  // Shows a modal alert: `title`, the informative `message`, and `buttons` in
  // order, the first being the default (none given: one "OK" button).
  // Resumes with the index of the chosen button, or with the number of
  // buttons when the alert was closed without a choice (which callers take
  // as the cautious answer: no recording, no quit).
  virtual Task<std::size_t> alert(std::string title, std::string message,
                                  std::vector<std::string> buttons) = 0;

  virtual void setWindowTitle(const std::string& title) = 0;
  virtual void setStatusTitle(const std::string& title) = 0;
  // Enables or disables "End recording & prepare review" in both menus.
  virtual void setEndItemsEnabled(bool enabled) = 0;

  // Opens `url` with the desktop's default handler (browser, mail client,
  // file manager for a file: URL).
  virtual void openUrl(const std::string& url) = 0;
  // A modal chooser of folders (not files), titled `title`, starting in
  // `start` when that folder exists. Resumes with the folder chosen, or
  // nothing when the user cancelled.
  virtual Task<std::optional<std::filesystem::path>> chooseFolder(std::string title,
                                                                  std::filesystem::path start) = 0;
  // Draws the user's attention to the window, informationally.
  virtual void requestAttention() = 0;
  // Shows the window (again after it was closed), raises and activates it.
  virtual void showWindow() = 0;
};

// The workspace web view.
class WorkspaceView {
 public:
  virtual ~WorkspaceView() = default;
  // Starts loading `url` in the main frame; a load that has not answered
  // within `timeout` fails as a provisional failure.
  virtual void load(const std::string& url, std::chrono::seconds timeout) = 0;
  // Loads, in the main frame, the request of the new-window action last
  // decided for `url`, as the page made it (method, body, headers); `url`
  // alone when the view holds no such request.
  virtual void openHere(const std::string& url) = 0;
  // The main frame's current URL; none before the first load.
  virtual std::optional<std::string> currentUrl() const = 0;
  // Runs `script` in the main frame; neither result nor error is looked at.
  virtual void evaluateScript(const std::string& script) = 0;
  // Shows `html` as a page whose base URL is `baseUrl`.
  virtual void loadHtml(const std::string& html, const std::string& baseUrl) = 0;
  // Silences (or not) everything the view plays.
  virtual void setMuted(bool muted) = 0;
  // The view's cookies, which the service client's requests also carry.
  virtual CookieStore& cookies() = 0;
};

}  // namespace halden
