// The request layer against the real stand-in service on loopback, over HTTP
// and HTTPS, and against a scripted transport for answers the service never
// gives.
#include "service/service_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "base/main_context.h"
#include "service/client_test_support.h"
#include "store/wave.h"
#include "testing/main_context.h"

namespace halden {
namespace {

using nlohmann::json;
using testing::MemoryCookieStore;

constexpr std::string_view signInPath = "api/desktop/signin";

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// What a request should end in: the decoded object, or a failure message.
struct Expected {
  std::optional<json> object;
  std::string message;
};
Expected answers(json object) { return {std::move(object), {}}; }
Expected failsWith(std::string_view message) { return {std::nullopt, std::string(message)}; }

void expectOutcome(const Result<JsonObject>& result, const Expected& expected,
                   const std::string& label) {
  if (expected.object) {
    ASSERT_TRUE(result.ok()) << label << ": " << result.error().description();
    EXPECT_EQ(*result, *expected.object) << label;
  } else {
    ASSERT_FALSE(result.ok()) << label << ": " << result->dump();
    EXPECT_TRUE(result.error().isFailure()) << label << ": " << result.error().domain();
    EXPECT_EQ(result.error().description(), expected.message) << label;
  }
}

class RequestTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    setup_ = &testing::sharedService(GetParam());
    ASSERT_FALSE(setup_->baseUrl.empty());
    testing::resetService(service());
    client_ = makeClient(setup_->baseUrl, transportOptions());
  }

  const testing::DevService& service() const { return *setup_->service; }

  CurlTransportOptions transportOptions() const {
    CurlTransportOptions options;
    options.caFile = setup_->caFile;
    return options;
  }

  std::unique_ptr<ServiceClient> makeClient(const std::string& base, CurlTransportOptions options) {
    transports_.push_back(createCurlTransport(std::move(options)));
    return std::make_unique<ServiceClient>(*ServiceUrl::parse(base), *transports_.back(), cookies_);
  }

  Result<JsonObject> send(ServiceClient& client, std::string path, std::string_view body,
                          std::string contentType, bool authenticated) {
    return runToCompletion(
        client.request(std::move(path), bytesOf(body), std::move(contentType), authenticated));
  }
  Result<JsonObject> begin(ServiceClient& client) {
    return send(client, std::string(signInPath), R"({"action":"begin"})", "application/json",
                false);
  }

  testing::PrivateMainContext context_;
  const testing::SharedService* setup_ = nullptr;
  MemoryCookieStore cookies_;
  std::vector<std::unique_ptr<HttpTransport>> transports_;
  std::unique_ptr<ServiceClient> client_;
};

TEST_P(RequestTest, SendsOnePostWithContentTypeOriginAndBody) {
  const std::string body = R"({"action":"begin"})";
  Result<JsonObject> result = begin(*client_);
  ASSERT_TRUE(result.ok()) << result.error().description();
  EXPECT_TRUE((*result)["id"].is_string());

  std::vector<json> log = testing::serviceLog(service());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["method"], "POST");
  EXPECT_EQ(log[0]["path"], "/api/desktop/signin");
  EXPECT_EQ(log[0]["contentType"], "application/json");
  EXPECT_EQ(log[0]["origin"], setup_->baseUrl);
  EXPECT_EQ(log[0]["cookie"], "");
  EXPECT_EQ(log[0]["bodySize"], body.size());
  EXPECT_EQ(log[0]["bodySha256"], audioHash(bytesOf(body)));
}

TEST_P(RequestTest, ABasePathIsReplacedByTheEndpointPath) {
  auto client = makeClient(setup_->baseUrl + "/tenant/home", transportOptions());
  ASSERT_TRUE(begin(*client).ok());
  std::vector<json> log = testing::serviceLog(service());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["path"], "/api/desktop/signin");
  // The Origin is the base's text without its trailing slashes, path and all.
  EXPECT_EQ(log[0]["origin"], setup_->baseUrl + "/tenant/home");
}

struct AnswerRow {
  const char* name;
  json fault;  // null: the service answers normally
  Expected expected;
};

TEST_P(RequestTest, EveryKindOfAnswerEndsAsSpecified) {
  const std::string unexpected(unexpectedResponseMessage);
  const AnswerRow rows[] = {
      {"empty object", {{"kind", "missingOk"}}, answers(json::object())},
      {"html with 200", {{"kind", "html200"}}, failsWith(unexpected)},
      {"okAsNumber passes the request layer", {{"kind", "okAsNumber"}}, answers({{"ok", 1}})},
      {"500 with error text",
       {{"kind", "status"}, {"status", 500}, {"error", "The service is resting."}},
       failsWith("The service is resting.")},
      {"500 with a numeric error",
       {{"kind", "status"}, {"status", 500}, {"error", 7}},
       failsWith(unprocessedMessage)},
      {"500 without error", {{"kind", "status"}, {"status", 500}}, failsWith(unprocessedMessage)},
      {"404 with error text",
       {{"kind", "status"}, {"status", 404}, {"error", "Gone."}},
       failsWith("Gone.")},
      {"299 succeeds",
       {{"kind", "status"}, {"status", 299}, {"error", "fine"}},
       answers({{"error", "fine"}})},
      {"300 fails", {{"kind", "status"}, {"status", 300}}, failsWith(unprocessedMessage)},
      {"302 with html is not followed", {{"kind", "redirect"}}, failsWith(unexpected)},
      {"302 with a json error", {{"kind", "redirect"}, {"json", true}}, failsWith("Moved.")},
      {"oversized body", {{"kind", "oversized"}}, failsWith(unexpected)},
  };
  for (const AnswerRow& row : rows) {
    testing::resetService(service());
    json fault = row.fault;
    fault["path"] = "/api/desktop/signin";
    testing::addFault(service(), fault);
    expectOutcome(begin(*client_), row.expected, row.name);
    std::vector<json> log = testing::serviceLog(service());
    ASSERT_EQ(log.size(), 1u) << row.name;  // one request, no redirect followed
    EXPECT_EQ(log[0]["path"], "/api/desktop/signin") << row.name;
  }
}

TEST_P(RequestTest, TheServicesOwnRefusalIsShownAsItsText) {
  Result<JsonObject> result =
      send(*client_, "api/meetings/m-1", R"({"action":"summarize"})", "application/json", true);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), failure("Sign in to Halden to upload recordings."));
}

TEST_P(RequestTest, PathsThatLeaveTheOriginAreRefusedBeforeAnythingIsSent) {
  for (std::string path : {"/evil.example/x", "/evil.example", "/user@evil.example/x",
                           "\\evil.example", "a b", "api/\xc3\xa9"}) {
    EXPECT_EQ(send(*client_, path, "{}", "application/json", true).error(),
              failure(std::string(invalidRequestMessage)))
        << path;
  }
  EXPECT_EQ(cookies_.getAllCalls, 0);
  EXPECT_TRUE(testing::serviceLog(service()).empty());
}

TEST_P(RequestTest, TransportFailuresKeepLibcurlsError) {
  struct TransportRow {
    const char* name;
    json fault;
    std::chrono::milliseconds timeout;
    int code;
  };
  const TransportRow rows[] = {
      // The service drops the connection in the middle of its answer.
      {"dropped connection", {{"kind", "drop"}}, std::chrono::seconds(300), CURLE_PARTIAL_FILE},
      {"time-out",
       {{"kind", "delay"}, {"delayMs", 3000}},
       std::chrono::milliseconds(400),
       CURLE_OPERATION_TIMEDOUT},
  };
  for (const TransportRow& row : rows) {
    testing::resetService(service());
    json fault = row.fault;
    fault["path"] = "/api/desktop/signin";
    testing::addFault(service(), fault);
    CurlTransportOptions options = transportOptions();
    options.timeout = row.timeout;
    auto client = makeClient(setup_->baseUrl, options);
    Result<JsonObject> result = begin(*client);
    ASSERT_FALSE(result.ok()) << row.name;
    EXPECT_EQ(result.error().domain(), curlErrorDomain) << row.name;
    EXPECT_EQ(result.error().code(), row.code) << row.name << ": " << result.error().description();
    EXPECT_FALSE(result.error().description().empty());
    testing::waitForLog(service(), 1);  // the delayed answer, before the next test
  }
}

TEST_P(RequestTest, NoServiceMeansAConnectionError) {
  // Port 1 on loopback: nothing listens there.
  auto client =
      makeClient(std::string(GetParam() ? "https" : "http") + "://127.0.0.1:1", transportOptions());
  Result<JsonObject> result = begin(*client);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain(), curlErrorDomain);
  EXPECT_EQ(result.error().code(), CURLE_COULDNT_CONNECT);
  EXPECT_NE(result.error().description().find("127.0.0.1"), std::string::npos)
      << result.error().description();
}

TEST_P(RequestTest, TheBodyIsCutOffOneByteAfterTheLimitWhileReceiving) {
  testing::addFault(service(), {{"path", "/api/desktop/signin"}, {"kind", "oversized"}});
  auto transport = createCurlTransport(transportOptions());
  HttpRequest request;
  request.url = setup_->baseUrl + "/api/desktop/signin";
  request.headers = {{"Content-Type", "application/json"}};
  request.body = bytesOf(R"({"action":"begin"})");
  Result<HttpResponse> response = runToCompletion(transport->send(std::move(request)));
  ASSERT_TRUE(response.ok()) << response.error().description();
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body.size(), responseBodyLimit + 1);
}

struct CookieRow {
  const char* name;
  std::vector<Cookie> store;
  std::string sent;  // the Cookie header the service saw, "" for none
};

Cookie cookie(std::string name, std::string value, std::string domain) {
  Cookie made;
  made.name = std::move(name);
  made.value = std::move(value);
  made.domain = std::move(domain);
  return made;
}

TEST_P(RequestTest, AuthenticatedRequestsCarryOnlyTheServicesSessionCookies) {
  const std::string host = "127.0.0.1";
  const std::string session(testing::sessionValue);
  const CookieRow rows[] = {
      {"exact host",
       {cookie("authjs.session-token", session, host)},
       "authjs.session-token=" + session},
      {"leading and trailing dots",
       {cookie("authjs.session-token", session, "." + host + ".")},
       "authjs.session-token=" + session},
      {"prefixed and split names in store order",
       {cookie("__Secure-authjs.session-token", "a", host),
        cookie("authjs.session-token.0", "b", host), cookie("authjs.session-token.1", "c", host)},
       "__Secure-authjs.session-token=a; authjs.session-token.0=b; authjs.session-token.1=c"},
      {"other names and hosts are left out",
       {cookie("authjs.csrf-token", "x", host), cookie("session", "x", host),
        cookie("authjs.session-token", "sub", "sub." + host),
        cookie("authjs.session-token", "other", "localhost"),
        cookie("authjs.session-token", session, host)},
       "authjs.session-token=" + session},
      {"a value that would break the header is left out",
       {cookie("authjs.session-token", "a\r\nX-Injected: 1", host),
        cookie("authjs.session-token.0", "b;c", host)},
       ""},
      {"empty store", {}, ""},
  };
  for (const CookieRow& row : rows) {
    testing::resetService(service());
    cookies_.cookies = row.store;
    ASSERT_FALSE(send(*client_, "api/meetings/m-1", R"({"action":"summarize","expectedChunks":1})",
                      "application/json", true)
                     .ok());
    std::vector<json> log = testing::serviceLog(service());
    ASSERT_EQ(log.size(), 1u) << row.name;
    EXPECT_EQ(log[0]["cookie"], row.sent) << row.name;
  }
}

TEST_P(RequestTest, AValidSessionCookieAuthenticates) {
  cookies_.cookies = {
      cookie("authjs.session-token", std::string(testing::sessionValue), "127.0.0.1")};
  Result<JsonObject> result =
      send(*client_, "api/meetings/m-1", R"({"action":"summarize","expectedChunks":1})",
           "application/json", true);
  // Past the sign-in check: the service now refuses the summary itself (no
  // chunks stored), with its own text.
  ASSERT_FALSE(result.ok());
  EXPECT_NE(result.error().description(), "Sign in to Halden to upload recordings.");
  EXPECT_TRUE(result.error().isFailure());
}

TEST_P(RequestTest, UnauthenticatedRequestsCarryNoCookie) {
  cookies_.cookies = {
      cookie("authjs.session-token", std::string(testing::sessionValue), "127.0.0.1")};
  ASSERT_TRUE(begin(*client_).ok());
  EXPECT_EQ(cookies_.getAllCalls, 0);
  std::vector<json> log = testing::serviceLog(service());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["cookie"], "");
}

TEST_P(RequestTest, CookiesTheServiceSetsAreNeverSentLater) {
  const Cookie mine = cookie("authjs.session-token", "mine", "127.0.0.1");
  cookies_.cookies = {mine};
  testing::addFault(service(), {{"path", "/api/desktop/signin"}, {"kind", "setCookie"}});
  ASSERT_TRUE(begin(*client_).ok());
  ASSERT_TRUE(begin(*client_).ok());
  ASSERT_FALSE(send(*client_, "api/meetings/m-1", "{}", "application/json", true).ok());
  std::vector<json> log = testing::serviceLog(service());
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1]["cookie"], "");
  EXPECT_EQ(log[2]["cookie"], "authjs.session-token=mine");
  EXPECT_EQ(cookies_.cookies, std::vector<Cookie>{mine});
}

INSTANTIATE_TEST_SUITE_P(Schemes, RequestTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "https" : "http";
                         });

TEST(RequestOverHttps, AnUntrustedCertificateIsATransportError) {
  testing::PrivateMainContext context;
  const testing::SharedService& setup = testing::sharedService(true);
  ASSERT_FALSE(setup.baseUrl.empty());
  testing::resetService(*setup.service);
  MemoryCookieStore cookies;
  auto transport = createCurlTransport();  // the system's CA store only
  ServiceClient client(*ServiceUrl::parse(setup.baseUrl), *transport, cookies);
  Result<JsonObject> result =
      runToCompletion(client.post(std::string(signInPath), json{{"action", "begin"}}, false));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain(), curlErrorDomain);
  EXPECT_EQ(result.error().code(), CURLE_PEER_FAILED_VERIFICATION) << result.error().description();
  EXPECT_TRUE(testing::serviceLog(*setup.service).empty());
}

// Answers the stand-in service never gives, through a scripted transport.
class ScriptedRequestTest : public ::testing::Test {
 protected:
  Result<JsonObject> post(ServiceClient& client, json object, bool authenticated = true) {
    return runToCompletion(client.post("api/x", std::move(object), authenticated));
  }

  testing::PrivateMainContext context_;
  MemoryCookieStore cookies_;
};

TEST_F(ScriptedRequestTest, BodiesThatAreNoJsonObjectFailWhateverTheStatus) {
  struct Row {
    std::optional<int> status;
    std::string body;
    Expected expected;
  };
  const std::string unexpected(unexpectedResponseMessage);
  const Row rows[] = {
      {200, "[]", failsWith(unexpected)},
      {200, "1", failsWith(unexpected)},
      {200, "null", failsWith(unexpected)},
      {200, "\"ok\"", failsWith(unexpected)},
      {204, "", failsWith(unexpected)},
      {200, R"({"ok":true)", failsWith(unexpected)},
      {500, "<html>oops</html>", failsWith(unexpected)},
      {std::nullopt, R"({"error":"No status."})", failsWith("No status.")},
      {std::nullopt, "{}", failsWith(unprocessedMessage)},
      {201, R"({"ok":true})", answers({{"ok", true}})},
  };
  for (const Row& row : rows) {
    testing::ScriptedTransport transport([&](const HttpRequest&) -> Result<HttpResponse> {
      return HttpResponse{row.status, row.body};
    });
    ServiceClient client(*ServiceUrl::parse("https://app.halden.io"), transport, cookies_);
    expectOutcome(post(client, json::object()), row.expected, row.body);
  }
}

TEST_F(ScriptedRequestTest, HeadersAreContentTypeOriginThenCookie) {
  testing::ScriptedTransport transport([](const HttpRequest&) -> Result<HttpResponse> {
    return testing::jsonResponse(200, json::object());
  });
  ServiceClient client(*ServiceUrl::parse("https://app.halden.io/"), transport, cookies_);
  cookies_.cookies = {cookie("authjs.session-token", "v", "app.halden.io")};
  ASSERT_TRUE(post(client, {{"b", 1}, {"a", "x"}}).ok());
  ASSERT_TRUE(post(client, json::object(), false).ok());
  ASSERT_EQ(transport.requests.size(), 2u);
  const HttpRequest& authenticated = transport.requests[0];
  EXPECT_EQ(authenticated.url, "https://app.halden.io/api/x");
  using Headers = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(authenticated.headers, (Headers{{"Content-Type", "application/json"},
                                            {"Origin", "https://app.halden.io"},
                                            {"Cookie", "authjs.session-token=v"}}));
  EXPECT_EQ(std::string(authenticated.body.begin(), authenticated.body.end()),
            R"({"a":"x","b":1})");
  EXPECT_EQ(transport.requests[1].headers,
            (Headers{{"Content-Type", "application/json"}, {"Origin", "https://app.halden.io"}}));
}

TEST_F(ScriptedRequestTest, AnObjectThatCannotBeSerialisedFailsWithTheSerialisersError) {
  testing::ScriptedTransport transport([](const HttpRequest&) -> Result<HttpResponse> {
    return testing::jsonResponse(200, json::object());
  });
  ServiceClient client(*ServiceUrl::parse("https://app.halden.io"), transport, cookies_);
  Result<JsonObject> result = post(client, {{"id", "\xff\xfe"}});
  ASSERT_FALSE(result.ok());
  EXPECT_FALSE(result.error().isFailure());
  EXPECT_NE(result.error().description().find("UTF-8"), std::string::npos)
      << result.error().description();
  EXPECT_TRUE(transport.requests.empty());
}

}  // namespace
}  // namespace halden
