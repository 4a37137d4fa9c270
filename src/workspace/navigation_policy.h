// Which addresses are the workspace's own, what happens to every navigation
// the workspace page attempts, and which failed loads are worth an alert.
//
// Pure decisions: the caller owns the web view, opens URLs and starts the
// sign-in. Everything here is called on the main context and keeps no state.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "service/service_url.h"

namespace halden {

// The workspace page is loaded with a protocol-default cache policy and
// fails as a provisional failure after this long without an answer.
inline constexpr std::chrono::seconds workspaceLoadTimeout{60};

inline constexpr std::string_view loadFailureTitle = "Could not open Halden";
// Follows the description of a page whose web process ended, in an alert
// with the load failure's title.
inline constexpr std::string_view pageEndedAdvice =
    " Choose Client workspace from the Halden menu to open it again.";

// The informative text of the load-failure alert: the error's description
// followed by the fixed advice (which begins with a space).
std::string loadFailureMessage(std::string_view description);

// False for the two failures that every cancelled navigation produces, which
// are never worth an alert: a cancelled or replaced load
// (WEBKIT_NETWORK_ERROR_CANCELLED) and a load ignored by a policy decision
// (WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE). `domain` is
// the GError domain's name (g_quark_to_string). Every other failure is
// reported.
bool reportsLoadFailure(std::string_view domain, int code);

// Where a navigation would load.
enum class TargetFrame {
  mainFrame,
  subFrame,
  none,  // the page asked for a new window (target=_blank, window.open)
};

// The one answer to a navigation. Every answer except `allow` cancels the
// navigation in the web view; the others name what the caller then does.
enum class NavigationDecision {
  allow,
  cancel,
  // Cancel, then open the URL with the desktop's default handler (browser,
  // mail client).
  openExternally,
  // Cancel the new-window request, then load its request in the workspace
  // view itself: the application never opens a second window.
  loadInThisView,
  // Cancel, then start the desktop sign-in as its menu command does.
  startSignIn,
};

// The trust test and the navigation rules for one service base URL.
class NavigationPolicy {
 public:
  explicit NavigationPolicy(ServiceUrl appUrl) : appUrl_(std::move(appUrl)) {}

  const ServiceUrl& appUrl() const { return appUrl_; }

  // appUrl() with "clients/workspace" appended as one path component.
  std::string workspacePageUrl() const;

  // True when `url` is present and its scheme, host and explicit port each
  // equal those of appUrl() (absent equals only absent). Path, query and
  // fragment play no part, so characters a web engine leaves unescaped there
  // ('|', '{', '^', ...) do not matter; text that names no authority of its
  // own before the path is not trusted.
  bool trusted(std::optional<std::string_view> url) const;

  // The decision for a navigation to `url` (absent when the request has
  // none) into `target`, while a desktop sign-in runs or not.
  NavigationDecision decide(std::optional<std::string_view> url, TargetFrame target,
                            bool signingIn) const;

 private:
  ServiceUrl appUrl_;
};

}  // namespace halden
