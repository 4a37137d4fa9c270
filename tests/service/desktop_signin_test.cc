// The desktop sign-in against the real stand-in service, and against a
// scripted transport for answers the service never gives. The 4-second waits
// are replaced by an injected sleep that returns at once.
#include "service/desktop_signin.h"

#include <gtest/gtest.h>

#include "base/main_context.h"
#include "service/client_test_support.h"
#include "testing/main_context.h"

namespace halden {
namespace {

using nlohmann::json;
using Alerts = std::vector<std::pair<std::string, std::string>>;

class SignInTest : public ::testing::Test {
 protected:
  // Builds the flow over `transport`; `onSleep(n)` runs at the n-th wait.
  void make(HttpTransport& transport, const std::string& base) {
    client_ = std::make_unique<ServiceClient>(*ServiceUrl::parse(base), transport, cookies_);
    signIn_ = std::make_unique<DesktopSignIn>(
        *client_, cookies_, shell_, [this](std::chrono::milliseconds duration) -> Task<void> {
          sleeps_.push_back(duration);
          if (onSleep_) onSleep_(static_cast<int>(sleeps_.size()));
          co_return;
        });
  }

  // Starts the flow and runs the main context until it has ended.
  void run() {
    signIn_->signIn();
    EXPECT_TRUE(signIn_->signingIn());
    while (signIn_->signingIn()) g_main_context_iteration(context_.get(), TRUE);
  }

  testing::PrivateMainContext context_;
  testing::MemoryCookieStore cookies_;
  testing::RecordingShell shell_;
  std::unique_ptr<ServiceClient> client_;
  std::unique_ptr<DesktopSignIn> signIn_;
  std::vector<std::chrono::milliseconds> sleeps_;
  std::function<void(int)> onSleep_;
};

// Against the stand-in service.
class ServiceSignInTest : public SignInTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    setup_ = &testing::sharedService(GetParam());
    ASSERT_FALSE(setup_->baseUrl.empty());
    testing::resetService(service());
    CurlTransportOptions options;
    options.caFile = setup_->caFile;
    transport_ = createCurlTransport(options);
    make(*transport_, setup_->baseUrl);
  }

  const testing::DevService& service() const { return *setup_->service; }

  std::vector<json> signins() {
    json all = testing::control(service(), "GET", "/__control/signins").json();
    return all["signins"].get<std::vector<json>>();
  }

  const testing::SharedService* setup_ = nullptr;
  std::unique_ptr<HttpTransport> transport_;
};

TEST_P(ServiceSignInTest, AnApprovedSignInStoresTheSessionCookieAndReloadsTheWorkspace) {
  onSleep_ = [this](int wait) {
    if (wait == 3) {
      ASSERT_EQ(signins().size(), 1u);
      testing::ControlAnswer approved = testing::control(service(), "POST", "/__control/approve",
                                                         json{{"id", signins()[0]["id"]}}.dump());
      EXPECT_EQ(approved.status, 200) << approved.body;
    }
  };
  const auto before = std::chrono::system_clock::now();
  run();
  const auto after = std::chrono::system_clock::now();

  EXPECT_EQ(shell_.alerts, Alerts{});
  EXPECT_EQ(shell_.workspaceShown, 1);
  EXPECT_EQ(sleeps_, std::vector<std::chrono::milliseconds>(3, std::chrono::seconds(4)));
  std::vector<json> requests = signins();
  ASSERT_EQ(requests.size(), 1u);
  const std::string id = requests[0]["id"];
  const std::string code = requests[0]["code"];
  EXPECT_EQ(requests[0]["redeemCount"], 3);
  EXPECT_EQ(shell_.opened,
            std::vector<std::string>{setup_->baseUrl + "/desktop/connect?id=" + percentEncode(id)});
  ASSERT_EQ(shell_.pages.size(), 1u);
  EXPECT_EQ(shell_.pages[0].first, signInCodePage(code));
  EXPECT_EQ(shell_.pages[0].second, setup_->baseUrl);

  ASSERT_EQ(cookies_.cookies.size(), 1u);
  const Cookie& stored = cookies_.cookies[0];
  EXPECT_EQ(stored.name, "authjs.session-token");
  EXPECT_FALSE(stored.value.empty());
  EXPECT_EQ(stored.domain, "127.0.0.1");
  EXPECT_EQ(stored.path, "/");
  ASSERT_TRUE(stored.expires);
  EXPECT_GE(*stored.expires, before + std::chrono::hours(24));
  EXPECT_LE(*stored.expires, after + std::chrono::hours(24));
  EXPECT_TRUE(stored.httpOnly);
  EXPECT_EQ(stored.sameSite, "Lax");
  EXPECT_EQ(stored.secure, GetParam());  // secure only for https

  // The redeem requests carried no cookie; the stored one now signs requests in.
  for (const json& entry : testing::serviceLog(service())) EXPECT_EQ(entry["cookie"], "");
  Result<JsonObject> summary = runToCompletion(
      client_->post("api/meetings/m-1", {{"action", "summarize"}, {"expectedChunks", 1}}));
  ASSERT_FALSE(summary.ok());
  EXPECT_NE(summary.error().description(), "Sign in to Halden to upload recordings.");
}

TEST_P(ServiceSignInTest, WithoutApprovalItGivesUpAfterSeventyRedeems) {
  run();
  EXPECT_EQ(shell_.alerts,
            (Alerts{{std::string(signInAlertTitle), std::string(signInExpiredMessage)}}));
  EXPECT_EQ(sleeps_.size(), 70u);
  std::vector<json> requests = signins();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["redeemCount"], 70);
  EXPECT_TRUE(cookies_.cookies.empty());
  EXPECT_EQ(shell_.workspaceShown, 0);
  EXPECT_EQ(shell_.pages.size(), 1u);  // the code page stays
}

TEST_P(ServiceSignInTest, AnUnknownRequestEndsAfterOneRedeem) {
  // The service forgets the request before the first redeem.
  onSleep_ = [this](int) { testing::resetService(service()); };
  run();
  EXPECT_EQ(
      shell_.alerts,
      (Alerts{{std::string(signInAlertTitle), "This sign-in request is unknown or has expired."}}));
  EXPECT_EQ(sleeps_.size(), 1u);
  std::vector<json> log = testing::serviceLog(service());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["status"], 404);
  EXPECT_TRUE(cookies_.cookies.empty());
}

TEST_P(ServiceSignInTest, AFailedBeginShowsTheRequestsMessageAndOpensNothing) {
  testing::addFault(service(),
                    {{"path", "/api/desktop/signin"}, {"kind", "status"}, {"status", 503}});
  run();
  EXPECT_EQ(shell_.alerts,
            (Alerts{{std::string(signInAlertTitle), std::string(unprocessedMessage)}}));
  EXPECT_TRUE(shell_.opened.empty());
  EXPECT_TRUE(shell_.pages.empty());
  EXPECT_TRUE(sleeps_.empty());
}

TEST_P(ServiceSignInTest, ASecondSignInWhileOneRunsDoesNothing) {
  signIn_->signIn();
  signIn_->signIn();
  onSleep_ = [this](int) { signIn_->signIn(); };
  while (signIn_->signingIn()) g_main_context_iteration(context_.get(), TRUE);
  EXPECT_EQ(signins().size(), 1u);
  EXPECT_EQ(shell_.opened.size(), 1u);
  EXPECT_EQ(shell_.alerts.size(), 1u);
  // Once it has ended, a new one starts.
  run();
  EXPECT_EQ(shell_.opened.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Schemes, ServiceSignInTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "https" : "http";
                         });

// Against a scripted service: begin answers `begin`, the n-th redeem answers
// redeems[n] (the last one repeats).
class ScriptedSignInTest : public SignInTest {
 protected:
  void start(json begin, std::vector<json> redeems,
             const std::string& base = "https://app.halden.io") {
    redeemCount_ = 0;
    transport_ = std::make_unique<testing::ScriptedTransport>(
        [this, begin, redeems](const HttpRequest& request) -> Result<HttpResponse> {
          json body = json::parse(request.body.begin(), request.body.end());
          if (body["action"] == "begin") return testing::jsonResponse(200, begin);
          ++redeemCount_;
          std::size_t n = std::min<std::size_t>(redeemCount_, redeems.size()) - 1;
          return testing::jsonResponse(200, redeems[n]);
        });
    make(*transport_, base);
    run();
  }

  std::unique_ptr<testing::ScriptedTransport> transport_;
  std::size_t redeemCount_ = 0;
};

const json validBegin = {{"id", "req-1"}, {"secret", "s3cret"}, {"code", "ABCD-1234"}};

TEST_F(ScriptedSignInTest, IncompleteSessionsCountAsPending) {
  start(validBegin, {{{"session", nullptr}},
                     json::object(),
                     {{"session", json::object()}},
                     {{"session", {{"name", "authjs.session-token"}}}},
                     {{"session", {{"value", "v"}}}},
                     {{"session", "authjs.session-token=v"}},
                     {{"session", {{"name", 1}, {"value", "v"}}}},
                     {{"session", {{"name", "authjs.session-token"}, {"value", "v1"}}}}});
  EXPECT_EQ(shell_.alerts, Alerts{});
  EXPECT_EQ(redeemCount_, 8u);
  ASSERT_EQ(cookies_.cookies.size(), 1u);
  EXPECT_EQ(cookies_.cookies[0].value, "v1");
  EXPECT_EQ(cookies_.cookies[0].domain, "app.halden.io");
  EXPECT_TRUE(cookies_.cookies[0].secure);
  EXPECT_EQ(shell_.workspaceShown, 1);
  // Every redeem names the request and its secret; none carries a cookie.
  for (std::size_t i = 1; i < transport_->requests.size(); ++i) {
    const HttpRequest& request = transport_->requests[i];
    EXPECT_EQ(json::parse(request.body.begin(), request.body.end()),
              (json{{"action", "redeem"}, {"id", "req-1"}, {"secret", "s3cret"}}));
    for (const auto& header : request.headers) EXPECT_NE(header.first, "Cookie");
  }
}

TEST_F(ScriptedSignInTest, ABeginAnswerWithoutThreeStringsOpensNoBrowser) {
  const json answers[] = {
      {{"id", "req-1"}, {"secret", "s"}},
      {{"id", "req-1"}, {"secret", "s"}, {"code", 12345678}},
      {{"id", "req-1"}, {"code", "ABCD-1234"}},
      {{"id", nullptr}, {"secret", "s"}, {"code", "ABCD-1234"}},
      json::object(),
  };
  for (const json& begin : answers) {
    shell_ = {};
    start(begin, {{{"session", nullptr}}});
    EXPECT_EQ(shell_.alerts,
              (Alerts{{std::string(signInAlertTitle), std::string(signInStartMessage)}}))
        << begin.dump();
    EXPECT_TRUE(shell_.opened.empty()) << begin.dump();
    EXPECT_TRUE(shell_.pages.empty()) << begin.dump();
    EXPECT_EQ(transport_->requests.size(), 1u) << begin.dump();
    EXPECT_FALSE(signIn_->signingIn());
  }
}

TEST_F(ScriptedSignInTest, TheCodeIsShownAsTextNeverAsMarkup) {
  start({{"id", "req-1"}, {"secret", "s"}, {"code", "<img src=x onerror='go()'>&\"X\""}},
        {{{"session", {{"name", "authjs.session-token"}, {"value", "v"}}}}});
  ASSERT_EQ(shell_.pages.size(), 1u);
  const std::string& page = shell_.pages[0].first;
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_NE(page.find("<p style='font-size:42px;letter-spacing:10px'>"
                      "&lt;img src=x onerror=&#39;go()&#39;&gt;&amp;&quot;X&quot;</p>"),
            std::string::npos)
      << page;
  EXPECT_EQ(shell_.pages[0].second, "https://app.halden.io");
}

TEST_F(ScriptedSignInTest, TheCodePageIsTheFixedPageAroundTheCode) {
  EXPECT_EQ(signInCodePage("ABCD-1234"),
            "<html><body style='font:17px -apple-system;background:#f8fafc;color:#0f2d5e;"
            "padding:80px'><h1>Connect Halden for Mac</h1><p>Enter this code in the browser "
            "window you just opened.</p><p style='font-size:42px;letter-spacing:10px'>ABCD-1234"
            "</p><p>This code expires in five minutes.</p></body></html>");
}

TEST_F(ScriptedSignInTest, TheIdentifierIsPercentEncodedInTheConnectAddress) {
  start({{"id", "a b&c=d#e/f?\xc3\xa9"}, {"secret", "s"}, {"code", "C"}},
        {{{"session", {{"name", "authjs.session-token"}, {"value", "v"}}}}});
  EXPECT_EQ(shell_.opened, std::vector<std::string>{"https://app.halden.io/desktop/connect?id="
                                                    "a%20b%26c%3Dd%23e%2Ff%3F%C3%A9"});
  EXPECT_EQ(shell_.alerts, Alerts{});
}

TEST_F(ScriptedSignInTest, AnHttpBaseStoresACookieThatIsNotSecure) {
  start(validBegin, {{{"session", {{"name", "authjs.session-token"}, {"value", "v"}}}}},
        "http://127.0.0.1:8787");
  ASSERT_EQ(cookies_.cookies.size(), 1u);
  EXPECT_FALSE(cookies_.cookies[0].secure);
  EXPECT_EQ(cookies_.cookies[0].domain, "127.0.0.1");
  EXPECT_EQ(shell_.opened,
            std::vector<std::string>{"http://127.0.0.1:8787/desktop/connect?id=req-1"});
}

TEST_F(ScriptedSignInTest, ASessionThatCannotBecomeACookieIsNotStored) {
  for (json session :
       {json{{"name", "bad;name"}, {"value", "v"}}, json{{"name", ""}, {"value", "v"}},
        json{{"name", "authjs.session-token"}, {"value", "v\r\nX: 1"}}}) {
    shell_ = {};
    start(validBegin, {{{"session", session}}});
    EXPECT_EQ(shell_.alerts,
              (Alerts{{std::string(signInAlertTitle), std::string(signInSaveMessage)}}))
        << session.dump();
    EXPECT_TRUE(cookies_.cookies.empty());
    EXPECT_EQ(shell_.workspaceShown, 0);
  }
}

TEST_F(ScriptedSignInTest, AFailedRedeemEndsThePollingAtOnce) {
  int redeems = 0;
  testing::ScriptedTransport transport([&](const HttpRequest& request) -> Result<HttpResponse> {
    json body = json::parse(request.body.begin(), request.body.end());
    if (body["action"] == "begin") return testing::jsonResponse(200, validBegin);
    if (++redeems < 3) return testing::jsonResponse(200, {{"session", nullptr}});
    return testing::jsonResponse(500, {{"error", "Try again later."}});
  });
  make(transport, "https://app.halden.io");
  run();
  EXPECT_EQ(redeems, 3);
  EXPECT_EQ(shell_.alerts, (Alerts{{std::string(signInAlertTitle), "Try again later."}}));
}

// A store that refuses every cookie.
class RefusingCookieStore : public testing::MemoryCookieStore {
 public:
  Task<Result<void>> add(Cookie) override { co_return Error("WebKit", 1, "refused"); }
};

TEST_F(ScriptedSignInTest, AStoreThatRefusesTheCookieEndsWithTheSaveMessage) {
  RefusingCookieStore store;
  testing::ScriptedTransport transport([](const HttpRequest& request) -> Result<HttpResponse> {
    json body = json::parse(request.body.begin(), request.body.end());
    if (body["action"] == "begin") return testing::jsonResponse(200, validBegin);
    return testing::jsonResponse(200,
                                 {{"session", {{"name", "authjs.session-token"}, {"value", "v"}}}});
  });
  ServiceClient client(*ServiceUrl::parse("https://app.halden.io"), transport, store);
  DesktopSignIn signIn(client, store, shell_,
                       [](std::chrono::milliseconds) -> Task<void> { co_return; });
  signIn.signIn();
  while (signIn.signingIn()) g_main_context_iteration(context_.get(), TRUE);
  EXPECT_EQ(shell_.alerts,
            (Alerts{{std::string(signInAlertTitle), std::string(signInSaveMessage)}}));
  EXPECT_EQ(shell_.workspaceShown, 0);
}

}  // namespace
}  // namespace halden
