#include "workspace/navigation_policy.h"

#include <gtest/gtest.h>

namespace halden {
namespace {

using D = NavigationDecision;
using F = TargetFrame;

constexpr const char* app = "https://app.halden.io";
constexpr const char* local = "http://127.0.0.1:8787";
constexpr D allow = D::allow, cancel = D::cancel, external = D::openExternally,
            here = D::loadInThisView, signIn = D::startSignIn;

TEST(NavigationPolicy, DecidesEveryNavigation) {
  // The decision for each target; `signingIn` as the row says.
  const struct {
    const char* appUrl;
    std::optional<std::string_view> url;
    D mainFrame, subFrame, newWindow;
    bool signingIn = false;
  } cases[] = {
      // No URL.
      {app, std::nullopt, cancel, cancel, cancel},
      {app, "", cancel, cancel, cancel},
      // The workspace's own pages load where they were aimed, new windows in this view.
      {app, "https://app.halden.io/clients/workspace", allow, allow, here},
      {app, "https://APP.Halden.io/x", allow, allow, here},
      {app, "https://app.halden.io:/x", allow, allow, here},  // an empty port is none
      // Characters an engine leaves unescaped in query and fragment do not matter.
      {app, "https://app.halden.io/search?q=a|b{c}^`#x\"y", allow, allow, here},
      {app, "https://app.halden.io/files/100%/a%zz?p=5%", allow, allow, here},
      // Same host, other explicit port or scheme: another origin.
      {app, "https://app.halden.io:443/clients/workspace", external, cancel, external},
      {app, "http://app.halden.io/clients/workspace", external, cancel, external},
      {app, "https://app.halden.io.evil.example/", external, cancel, external},
      {local, "http://127.0.0.1:8787/clients/workspace", allow, allow, here},
      {local, "http://127.0.0.1:08787/", allow, allow, here},
      {local, "http://localhost:8787/", external, cancel, external},
      // Downloads go to the browser from any frame, also during a sign-in.
      {app, "https://app.halden.io/downloads/report.pdf", external, external, external},
      {app, "https://app.halden.io/downloads/report.pdf", external, external, external, true},
      {app, "https://app.halden.io/downloads", allow, allow, here},
      // The login page starts the desktop sign-in unless one runs.
      {app, "https://app.halden.io/login", signIn, signIn, signIn},
      {app, "https://app.halden.io/login", allow, allow, here, true},
      {app, "https://app.halden.io/Login", allow, allow, here},
      {app, "https://other.example/login", external, cancel, external},
      // Other origins: browser or mail client from the main frame or a new window,
      // nothing from a sub-frame, nothing at all for other schemes.
      {app, "https://other.example/page", external, cancel, external},
      {app, "mailto:someone@example.com", external, cancel, external},
      {app, "file:///etc/passwd", cancel, cancel, cancel},
      {app, "javascript:alert(1)", cancel, cancel, cancel},
      // Schemes are handed on only as written.
      {app, "HTTPS://other.example/", cancel, cancel, cancel},
      // The trusted host as user information does not make a URL trusted, and an
      // authority that is no URL's is neither trusted nor handed on.
      {app, "https://app.halden.io@evil.example/", external, cancel, external},
      {app, "https://evil.example\\@app.halden.io/", cancel, cancel, cancel},
      {app, "https://app halden.io/", cancel, cancel, cancel},
  };
  for (const auto& c : cases) {
    const NavigationPolicy policy(*ServiceUrl::parse(c.appUrl));
    for (const auto& [target, expected] :
         {std::pair{F::mainFrame, c.mainFrame}, std::pair{F::subFrame, c.subFrame},
          std::pair{F::none, c.newWindow}}) {
      const D decision = policy.decide(c.url, target, c.signingIn);
      EXPECT_EQ(static_cast<int>(decision), static_cast<int>(expected))
          << c.appUrl << " " << c.url.value_or("(no URL)") << " target " << static_cast<int>(target)
          << " signingIn " << c.signingIn;
    }
  }
}

TEST(LoadFailure, OnlyCancellationsAndPolicyInterruptionsAreIgnored) {
  EXPECT_FALSE(reportsLoadFailure("WebKitNetworkError", 302));  // a stopped or replaced load
  EXPECT_FALSE(reportsLoadFailure("WebKitPolicyError", 102));  // cancelled by the navigation policy
  EXPECT_TRUE(reportsLoadFailure("WebKitNetworkError", 102));
  EXPECT_TRUE(reportsLoadFailure("WebKitPolicyError", 302));
}

}  // namespace
}  // namespace halden
