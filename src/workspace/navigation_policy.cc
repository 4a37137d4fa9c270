#include "workspace/navigation_policy.h"

#include <glib.h>

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

bool isUrlCharacter(char c) {
  static constexpr std::string_view others = "-._~:/?#[]@!$&'()*+,;=%";
  return g_ascii_isalnum(c) || others.find(c) != std::string_view::npos;
}

// A URL as a web engine reports it. Its path, query and fragment may keep
// characters that RFC 3986 wants escaped ('|', '{', '}', '^', '`', '"', a '%'
// that starts no escape); they are escaped here so that the strict parser sees
// the same URL. The scheme and authority are left as written: anything odd
// there makes the text no URL, so it can never borrow the trusted origin.
std::optional<ServiceUrl> parseWebUrl(std::string_view text) {
  std::size_t tail = 0;
  if (std::size_t colon = text.find(':');
      colon != std::string_view::npos && colon < text.find_first_of("/?#")) {
    tail = colon + 1;
    if (text.substr(tail).starts_with("//")) {
      tail = text.find_first_of("/?#", tail + 2);
      if (tail == std::string_view::npos) tail = text.size();
    }
  }
  std::string escaped(text.substr(0, tail));
  static constexpr char hex[] = "0123456789ABCDEF";
  for (std::size_t i = tail; i < text.size(); ++i) {
    const char c = text[i];
    const bool escapes =
        i + 2 < text.size() && g_ascii_isxdigit(text[i + 1]) && g_ascii_isxdigit(text[i + 2]);
    if (c == '%' ? escapes : isUrlCharacter(c)) {
      escaped += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      escaped += '%';
      escaped += hex[byte >> 4];
      escaped += hex[byte & 0x0F];
    }
  }
  return ServiceUrl::parse(escaped);
}

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
