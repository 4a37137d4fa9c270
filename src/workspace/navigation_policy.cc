#include "workspace/navigation_policy.h"

#include <array>

namespace halden {
namespace {

constexpr std::string_view cancelledDomain = "WebKitNetworkError";
constexpr int cancelledCode = 302;
constexpr std::string_view policyDomain = "WebKitPolicyError";
constexpr int interruptedByPolicyCode = 102;

constexpr std::string_view loadFailureAdvice =
    " Check your connection, then choose Client workspace from the Halden menu.";

constexpr std::string_view downloadsPrefix = "/downloads/";
constexpr std::string_view loginPath = "/login";

// Compared exactly: these are the schemes the desktop's handlers get.
constexpr std::array<std::string_view, 3> externalSchemes = {"https", "http", "mailto"};

bool handedToDesktop(std::string_view text) {
  std::string_view scheme = text.substr(0, text.find(':'));
  for (std::string_view external : externalSchemes) {
    if (scheme == external) return true;
  }
  return false;
}

}  // namespace

std::string loadFailureMessage(std::string_view description) {
  std::string out(description);
  out += loadFailureAdvice;
  return out;
}

bool reportsLoadFailure(std::string_view domain, int code) {
  if (domain == cancelledDomain && code == cancelledCode) return false;
  if (domain == policyDomain && code == interruptedByPolicyCode) return false;
  return true;
}

std::string NavigationPolicy::workspacePageUrl() const {
  std::string out = appUrl_.text();
  if (!out.ends_with('/')) out += '/';
  out += "clients/workspace";
  return out;
}

bool NavigationPolicy::trusted(std::optional<std::string_view> url) const {
  return url && halden::trusted(appUrl_, parseWebUrl(*url));
}

NavigationDecision NavigationPolicy::decide(std::optional<std::string_view> url, TargetFrame target,
                                            bool signingIn) const {
  if (!url) return NavigationDecision::cancel;
  std::optional<ServiceUrl> parsed = parseWebUrl(*url);
  if (halden::trusted(appUrl_, parsed)) {
    const std::string& path = parsed->path();
    if (path.starts_with(downloadsPrefix)) return NavigationDecision::openExternally;
    // While a sign-in runs, the login page is an ordinary page of the service.
    if (path == loginPath && !signingIn) return NavigationDecision::startSignIn;
    if (target == TargetFrame::none) return NavigationDecision::loadInThisView;
    return NavigationDecision::allow;
  }
  // Another origin's page never shows inside the workspace, not even framed.
  if (target == TargetFrame::subFrame) return NavigationDecision::cancel;
  // Text that is no URL is not handed on, whatever it starts with.
  if (parsed && handedToDesktop(*url)) return NavigationDecision::openExternally;
  return NavigationDecision::cancel;
}

}  // namespace halden
