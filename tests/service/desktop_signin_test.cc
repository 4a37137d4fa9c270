// The desktop sign-in against a scripted transport, with an injected sleep
// that returns at once. (A flow approved at the stand-in service, and the
// stored cookie's attributes over http: the desktop sign-in and security tests.)
#include "service/desktop_signin.h"

#include <gtest/gtest.h>

#include "base/main_context.h"
#include "service/client_test_support.h"
#include "testing/main_context.h"

namespace halden {
namespace {

using nlohmann::json;
using Strings = std::vector<std::string>;
using Sleeps = std::vector<std::chrono::milliseconds>;

HttpResponse ok(const json& body) { return {200, body.dump()}; }
HttpResponse session(const std::string& name, const std::string& value) {
  return ok({{"session", {{"name", name}, {"value", value}}}});
}

// The shell and the cookie store as the sign-in sees them: every shell call
// is recorded, and the store refuses every cookie while `refuse` is set.
class Recorder : public SignInShell, public testing::MemoryCookieStore {
 public:
  void openInBrowser(const std::string& url) override { calls.push_back("open " + url); }
  void showHtml(const std::string& html, const std::string& baseUrl) override {
    calls.push_back("show " + baseUrl + " " + html);
  }
  void showWorkspace() override { calls.push_back("workspace"); }
  Task<void> alert(std::string title, std::string message) override {
    calls.push_back("alert " + title + ": " + message);
    co_return;
  }
  Task<Result<void>> add(Cookie cookie) override {
    if (refuse) co_return Error("WebKit", 1, "refused");
    co_return co_await MemoryCookieStore::add(std::move(cookie));
  }

  Strings calls;
  bool refuse = false;
};

// The scripted service's texts: an identifier to encode and a code that is no
// markup. Every flow starts after the last one ended, on the same object, and
// a sign-in asked for while one runs does nothing.
TEST(SignInTest, IncompleteSessionsArePendingAndEveryFailureEndsWithOneAlertAndNoCookie) {
  const std::string code = "<img src=x onerror='go()'>&\"X\"";
  const HttpResponse begin =
      ok({{"id", "a b&c=d#e/f?g%h~-._Z9\n\xc3\xa9"}, {"secret", "s"}, {"code", code}});
  const HttpResponse pending = ok({{"session", nullptr}});
  const HttpResponse failed{500, R"({"error":"Try again later."})"};
  std::vector<HttpResponse> incomplete = {begin, pending};
  for (const json& answer : {json::object(), json{{"session", "authjs.session-token=v"}},
                             json{{"session", {{"name", "authjs.session-token"}}}},
                             json{{"session", {{"name", 1}, {"value", "v"}}}}}) {
    incomplete.push_back(ok(answer));
  }
  incomplete.push_back(session("authjs.session-token", "v1"));
  const struct {
    std::vector<HttpResponse> script;  // the last answer repeats
    bool storeRefuses;
    std::string_view message;  // empty: signed in
    std::size_t requests;
  } rows[] = {
      {incomplete, false, "", 7},
      // Pending until the last of seventy redeems.
      {{begin, pending}, false, signInExpiredMessage, 71},
      // A begin answer without three strings opens no browser.
      {{ok({{"id", "req-1"}, {"secret", "s"}, {"code", 1234}})}, false, signInStartMessage, 1},
      {{ok({{"id", nullptr}, {"secret", "s"}, {"code", "C"}})}, false, signInStartMessage, 1},
      {{HttpResponse{503, "{}"}}, false, unprocessedMessage, 1},
      // A failed redeem ends the polling at once.
      {{begin, pending, pending, failed}, false, "Try again later.", 4},
      // A session that cannot become a cookie, or that the store refuses.
      {{begin, session("bad;name", "v")}, false, signInSaveMessage, 2},
      {{begin, session("", "v")}, false, signInSaveMessage, 2},
      {{begin, session("authjs.session-token", "v\r\nX: 1")}, false, signInSaveMessage, 2},
      {{begin, session("authjs.session-token", "v")}, true, signInSaveMessage, 2},
  };
  testing::PrivateMainContext context;
  Recorder shell;
  std::vector<HttpResponse> script;
  testing::ScriptedTransport transport([&](const HttpRequest&) {
    return script[std::min(transport.requests.size(), script.size()) - 1];
  });
  ServiceClient client(*ServiceUrl::parse("https://app.halden.io"), transport, shell);
  Sleeps sleeps;
  std::optional<DesktopSignIn> signIn;
  signIn.emplace(client, shell, shell, [&](std::chrono::milliseconds duration) -> Task<void> {
    sleeps.push_back(duration);
    signIn->signIn();
    co_return;
  });
  const Strings begun = {
      "open https://app.halden.io/desktop/connect?id="
      "a%20b%26c%3Dd%23e%2Ff%3Fg%25h~-._Z9%0A%C3%A9",
      "show https://app.halden.io " + signInCodePage(code)};
  const std::string alert = "alert " + std::string(signInAlertTitle) + ": ";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    shell = {};
    shell.refuse = row.storeRefuses;
    script = row.script;
    transport.requests.clear();
    sleeps.clear();
    signIn->signIn();
    EXPECT_TRUE(signIn->signingIn());
    while (signIn->signingIn()) g_main_context_iteration(context.get(), TRUE);
    Strings expected = row.requests > 1 ? begun : Strings();
    expected.push_back(row.message.empty() ? "workspace" : alert + std::string(row.message));
    EXPECT_EQ(shell.calls, expected);
    EXPECT_EQ(transport.requests.size(), row.requests);
    EXPECT_EQ(sleeps, Sleeps(row.requests - 1, std::chrono::seconds(4)));
    EXPECT_EQ(shell.cookies.size(), row.message.empty() ? 1u : 0u);
    EXPECT_TRUE(shell.cookies.empty() || shell.cookies[0].secure) << "an https service's";
  }
  EXPECT_EQ(signInCodePage(code).find("<img"), std::string::npos);
}

}  // namespace
}  // namespace halden
