// The desktop sign-in against the stand-in service and a scripted transport,
// with an injected sleep that returns at once.
#include "service/desktop_signin.h"

#include <gtest/gtest.h>

#include "base/main_context.h"
#include "service/client_test_support.h"
#include "testing/main_context.h"

namespace halden {
namespace {

using nlohmann::json;
using Strings = std::vector<std::string>;

std::string alert(std::string_view message) {
  return "alert " + std::string(signInAlertTitle) + ": " + std::string(message);
}
HttpResponse ok(const json& body) { return testing::jsonResponse(200, body); }
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

class SignInTest : public ::testing::Test {
 protected:
  // Starts a sign-in over `transport` and runs the main context until it has
  // ended; `onSleep_(n)` runs at the n-th wait.
  void run(HttpTransport& transport, const std::string& base) {
    client_ = std::make_unique<ServiceClient>(*ServiceUrl::parse(base), transport, shell_);
    signIn_ = std::make_unique<DesktopSignIn>(
        *client_, shell_, shell_, [this](std::chrono::milliseconds duration) -> Task<void> {
          sleeps_.push_back(duration);
          if (onSleep_) onSleep_(static_cast<int>(sleeps_.size()));
          co_return;
        });
    runAgain();
  }
  void runAgain() {
    sleeps_.clear();
    signIn_->signIn();
    EXPECT_TRUE(signIn_->signingIn());
    while (signIn_->signingIn()) g_main_context_iteration(context_.get(), TRUE);
  }
  // Answers the n-th request with script[n], the last answer repeating.
  void runScripted(std::vector<HttpResponse> script) {
    scripted_ = std::make_unique<testing::ScriptedTransport>([this, script](const HttpRequest&) {
      return script[std::min(scripted_->requests.size(), script.size()) - 1];
    });
    run(*scripted_, "https://app.halden.io");
  }

  testing::PrivateMainContext context_;
  Recorder shell_;
  std::unique_ptr<testing::ScriptedTransport> scripted_;
  std::unique_ptr<ServiceClient> client_;
  std::unique_ptr<DesktopSignIn> signIn_;
  std::vector<std::chrono::milliseconds> sleeps_;
  std::function<void(int)> onSleep_;
};

class ServiceSignInTest : public SignInTest, public ::testing::WithParamInterface<bool> {
 protected:
  json signins() { return testing::controlJson(service_, "/__control/signins")["signins"]; }

  const testing::SharedService& setup_ = testing::sharedService(GetParam());
  const testing::DevService& service_ = setup_.service;
  std::unique_ptr<HttpTransport> transport_ = createCurlTransport(setup_.transportOptions());
};

TEST_P(ServiceSignInTest, OneFlowAtATimeGivesUpAfterSeventyRedeemsOrStoresTheApprovedSession) {
  // The browser opens the connect address and the code page stays shown.
  auto shown = [this](const json& request) {
    return Strings{
        "open " + setup_.baseUrl +
            "/desktop/connect?id=" + percentEncode(request["id"].get<std::string>()),
        "show " + setup_.baseUrl + " " + signInCodePage(request["code"].get<std::string>())};
  };
  onSleep_ = [this](int) { signIn_->signIn(); };  // does nothing while one runs
  run(*transport_, setup_.baseUrl);
  EXPECT_EQ(sleeps_, std::vector<std::chrono::milliseconds>(70, std::chrono::seconds(4)));
  json requests = signins();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["redeemCount"], 70);
  Strings expected = shown(requests[0]);
  expected.push_back(alert(signInExpiredMessage));
  EXPECT_EQ(shell_.calls, expected);
  EXPECT_TRUE(shell_.cookies.empty());

  // Once it has ended a new one starts; it is approved before its third redeem.
  onSleep_ = [this](int wait) {
    if (wait == 3) testing::control(service_, "/__control/approve", {{{"id", signins()[0]["id"]}}});
  };
  shell_.calls.clear();
  testing::resetService(service_);
  const auto before = std::chrono::system_clock::now();
  runAgain();
  const auto after = std::chrono::system_clock::now();
  requests = signins();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["redeemCount"], 3);
  expected = shown(requests[0]);
  expected.push_back("workspace");
  EXPECT_EQ(shell_.calls, expected);
  ASSERT_EQ(shell_.cookies.size(), 1u);
  const Cookie& stored = shell_.cookies[0];
  // HttpOnly, SameSite=Lax, secure only for https, for 24 hours.
  EXPECT_EQ(stored, (Cookie{"authjs.session-token", stored.value, "127.0.0.1", "/", stored.expires,
                            true, GetParam(), "Lax"}));
  ASSERT_TRUE(stored.expires);
  EXPECT_GE(*stored.expires, before + std::chrono::hours(24));
  EXPECT_LE(*stored.expires, after + std::chrono::hours(24));

  // The redeem requests carried no cookie. (That the stored one signs
  // requests in: the desktop sign-in test.)
  for (const json& entry : testing::serviceLog(service_)) EXPECT_EQ(entry["cookie"], "");
}

INSTANTIATE_TEST_SUITE_P(Schemes, ServiceSignInTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "https" : "http";
                         });

TEST_F(SignInTest, IncompleteSessionsArePendingAndEveryFailureEndsWithOneAlertAndNoCookie) {
  // The service's texts: an identifier to encode and a code that is no markup.
  const std::string code = "<img src=x onerror='go()'>&\"X\"";
  const HttpResponse begin = ok({{"id", "a b&c=d#e/f?\xc3\xa9"}, {"secret", "s"}, {"code", code}});
  const HttpResponse pending = ok({{"session", nullptr}});
  const HttpResponse failed = testing::jsonResponse(500, {{"error", "Try again later."}});
  std::vector<HttpResponse> incomplete = {begin, pending};
  for (const json& answer :
       {json::object(), json{{"session", json::object()}},
        json{{"session", {{"name", "authjs.session-token"}}}}, json{{"session", {{"value", "v"}}}},
        json{{"session", "authjs.session-token=v"}},
        json{{"session", {{"name", 1}, {"value", "v"}}}}}) {
    incomplete.push_back(ok(answer));
  }
  incomplete.push_back(session("authjs.session-token", "v1"));
  const struct {
    std::vector<HttpResponse> script;
    bool storeRefuses;
    std::string_view message;  // empty: signed in
    std::size_t requests;
  } rows[] = {
      {incomplete, false, "", 9},
      // A begin answer without three strings opens no browser.
      {{ok({{"id", "req-1"}, {"secret", "s"}})}, false, signInStartMessage, 1},
      {{ok({{"id", "req-1"}, {"secret", "s"}, {"code", 1234}})}, false, signInStartMessage, 1},
      {{ok({{"id", nullptr}, {"secret", "s"}, {"code", "C"}})}, false, signInStartMessage, 1},
      {{testing::jsonResponse(503, json::object())}, false, unprocessedMessage, 1},
      // A failed redeem ends the polling at once.
      {{begin, pending, pending, failed}, false, "Try again later.", 4},
      // A session that cannot become a cookie, or that the store refuses.
      {{begin, session("bad;name", "v")}, false, signInSaveMessage, 2},
      {{begin, session("", "v")}, false, signInSaveMessage, 2},
      {{begin, session("authjs.session-token", "v\r\nX: 1")}, false, signInSaveMessage, 2},
      {{begin, session("authjs.session-token", "v")}, true, signInSaveMessage, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    shell_ = {};
    shell_.refuse = row.storeRefuses;
    runScripted(row.script);
    Strings expected;
    if (row.requests > 1) {
      expected = {"open https://app.halden.io/desktop/connect?id=a%20b%26c%3Dd%23e%2Ff%3F%C3%A9",
                  "show https://app.halden.io " + signInCodePage(code)};
    }
    expected.push_back(row.message.empty() ? "workspace" : alert(row.message));
    EXPECT_EQ(shell_.calls, expected);
    EXPECT_EQ(scripted_->requests.size(), row.requests);
    EXPECT_EQ(shell_.cookies.size(), row.message.empty() ? 1u : 0u);
  }
  EXPECT_EQ(signInCodePage(code).find("<img"), std::string::npos);
  EXPECT_NE(
      signInCodePage(code).find(">&lt;img src=x onerror=&#39;go()&#39;&gt;&amp;&quot;X&quot;</p>"),
      std::string::npos);
}

}  // namespace
}  // namespace halden
