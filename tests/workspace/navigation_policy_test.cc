#include "workspace/navigation_policy.h"

#include <gtest/gtest.h>

namespace halden {
namespace {

using D = NavigationDecision;
using F = TargetFrame;

NavigationPolicy policyFor(std::string_view appUrl) {
  std::optional<ServiceUrl> parsed = ServiceUrl::parse(appUrl);
  EXPECT_TRUE(parsed) << appUrl;
  return NavigationPolicy(parsed.value_or(*ServiceUrl::parse("https://invalid.invalid")));
}

// In the order of NavigationDecision.
std::string_view name(D decision) {
  constexpr std::string_view names[] = {"allow", "cancel", "openExternally", "loadInThisView",
                                        "startSignIn"};
  return names[static_cast<int>(decision)];
}

constexpr const char* app = "https://app.halden.io";
constexpr const char* local = "http://127.0.0.1:8787";

TEST(NavigationPolicy, DecidesEveryNavigation) {
  const struct {
    const char* appUrl;
    std::optional<std::string_view> url;
    F target;
    bool signingIn;
    D expected;
  } cases[] = {
      // No URL, in any frame.
      {app, std::nullopt, F::mainFrame, false, D::cancel},
      {app, std::nullopt, F::none, false, D::cancel},
      {app, "", F::mainFrame, false, D::cancel},
      // The workspace's own pages load where they were aimed, new windows in this view.
      {app, "https://app.halden.io/clients/workspace", F::mainFrame, false, D::allow},
      {app, "https://app.halden.io/clients/workspace", F::subFrame, false, D::allow},
      {app, "https://app.halden.io/clients/workspace", F::none, false, D::loadInThisView},
      {app, "https://app.halden.io", F::mainFrame, false, D::allow},
      {app, "https://APP.Halden.io/x", F::mainFrame, false, D::allow},
      // Characters an engine leaves unescaped in query and fragment do not matter.
      {app, "https://app.halden.io/search?q=a|b{c}^`#x\"y", F::mainFrame, false, D::allow},
      {app, "https://app.halden.io/files/100%/a%zz?p=5%", F::mainFrame, false, D::allow},
      // Same host, other explicit port or scheme: another origin.
      {app, "https://app.halden.io:443/clients/workspace", F::mainFrame, false, D::openExternally},
      {app, "https://app.halden.io:443/clients/workspace", F::subFrame, false, D::cancel},
      {app, "http://app.halden.io/clients/workspace", F::mainFrame, false, D::openExternally},
      {local, "http://127.0.0.1:8787/clients/workspace", F::mainFrame, false, D::allow},
      {local, "http://127.0.0.1/clients/workspace", F::mainFrame, false, D::openExternally},
      {local, "http://127.0.0.1:8788/clients/workspace", F::none, false, D::openExternally},
      // Downloads go to the browser from any frame, also during a sign-in.
      {app, "https://app.halden.io/downloads/report.pdf", F::mainFrame, false, D::openExternally},
      {app, "https://app.halden.io/downloads/report.pdf", F::subFrame, false, D::openExternally},
      {app, "https://app.halden.io/downloads/report.pdf", F::none, true, D::openExternally},
      {local, "http://127.0.0.1:8787/downloads/a.zip", F::mainFrame, false, D::openExternally},
      {app, "https://app.halden.io/downloads", F::mainFrame, false, D::allow},
      {app, "https://other.example/downloads/a.zip", F::subFrame, false, D::cancel},
      // The login page starts the desktop sign-in unless one runs.
      {app, "https://app.halden.io/login", F::mainFrame, false, D::startSignIn},
      {app, "https://app.halden.io/login", F::subFrame, false, D::startSignIn},
      {app, "https://app.halden.io/login", F::none, false, D::startSignIn},
      {app, "https://app.halden.io/login?next=%2Fclients", F::mainFrame, false, D::startSignIn},
      {app, "https://app.halden.io/login", F::mainFrame, true, D::allow},
      {app, "https://app.halden.io/login", F::subFrame, true, D::allow},
      {app, "https://app.halden.io/login", F::none, true, D::loadInThisView},
      {app, "https://app.halden.io/login/", F::mainFrame, false, D::allow},
      {app, "https://app.halden.io/Login", F::mainFrame, false, D::allow},
      {app, "https://other.example/login", F::mainFrame, false, D::openExternally},
      // Other origins: browser or mail client from the main frame or a new window,
      // nothing from a sub-frame, nothing at all for other schemes.
      {app, "https://other.example/page", F::mainFrame, false, D::openExternally},
      {app, "https://other.example/page", F::none, false, D::openExternally},
      {app, "https://other.example/page", F::subFrame, false, D::cancel},
      {app, "http://other.example/page", F::mainFrame, false, D::openExternally},
      {app, "mailto:someone@example.com", F::mainFrame, false, D::openExternally},
      {app, "mailto:someone@example.com?subject=a b", F::none, false, D::openExternally},
      {app, "mailto:someone@example.com", F::subFrame, false, D::cancel},
      {app, "tel:+441234567890", F::mainFrame, false, D::cancel},
      {app, "about:blank", F::mainFrame, false, D::cancel},
      {app, "about:blank", F::subFrame, false, D::cancel},
      {app, "data:text/html,<b>hi</b>", F::mainFrame, false, D::cancel},
      {app, "data:text/html,<b>hi</b>", F::none, false, D::cancel},
      {app, "file:///etc/passwd", F::mainFrame, false, D::cancel},
      {app, "javascript:alert(1)", F::none, false, D::cancel},
      // Schemes are handed on only as written.
      {app, "HTTPS://other.example/", F::mainFrame, false, D::cancel},
      {app, "mailtox:someone@example.com", F::mainFrame, false, D::cancel},
      // The trusted host as user information does not make a URL trusted, and an
      // authority that is no URL's is neither trusted nor handed on.
      {app, "https://app.halden.io@evil.example/", F::mainFrame, false, D::openExternally},
      {app, "https://app.halden.io@evil.example/", F::subFrame, false, D::cancel},
      {app, "https://evil.example\\@app.halden.io/", F::mainFrame, false, D::cancel},
      {app, "https://app halden.io/", F::mainFrame, false, D::cancel},
  };
  for (const auto& c : cases) {
    NavigationPolicy policy = policyFor(c.appUrl);
    D decision = policy.decide(c.url, c.target, c.signingIn);
    EXPECT_EQ(decision, c.expected)
        << c.appUrl << " " << c.url.value_or("(no URL)") << " target " << static_cast<int>(c.target)
        << " signingIn " << c.signingIn << ": got " << name(decision) << ", expected "
        << name(c.expected);
  }
}

TEST(NavigationPolicy, TrustsOnlyTheServiceOrigin) {
  const struct {
    const char* appUrl;
    std::optional<std::string_view> url;
    bool expected;
  } cases[] = {
      {app, std::nullopt, false},
      {app, "", false},
      {app, "https://app.halden.io/any/path?q#f", true},
      {app, "https://app.halden.io:443/", false},
      {app, "https://app.halden.io:/", true},  // an empty port is none
      {app, "https://app.halden.io.evil.example/", false},
      {app, "wss://app.halden.io/", false},
      {app, "about:blank", false},
      {local, "http://127.0.0.1:8787/", true},
      {local, "http://127.0.0.1:08787/", true},
      {local, "http://localhost:8787/", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(policyFor(c.appUrl).trusted(c.url), c.expected)
        << c.appUrl << " " << c.url.value_or("(no URL)");
  }
}

TEST(LoadFailure, OnlyCancellationsAndPolicyInterruptionsAreIgnored) {
  const struct {
    const char* domain;
    int code;
    bool reported;
  } cases[] = {
      {"WebKitNetworkError", 302, false},  // a stopped or replaced load
      {"WebKitPolicyError", 102, false},   // a load cancelled by the navigation policy
      {"WebKitNetworkError", 102, true},  {"WebKitPolicyError", 302, true},
      {"WebKitNetworkError", 301, true},  // failed
      {"WebKitPolicyError", 101, true},   // cannot show this MIME type
      {"WebKitNetworkError", -999, true}, {"g-io-error-quark", 39, true},  // connection refused
      {"g-io-error-quark", 19, true},     {"g-resolver-error-quark", 0, true},
      {"g-tls-error-quark", 2, true},     {"webkitnetworkerror", 302, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reportsLoadFailure(c.domain, c.code), c.reported) << c.domain << " " << c.code;
  }
}

}  // namespace
}  // namespace halden
