// The request layer against the stand-in service on loopback, over HTTP and
// HTTPS, and against a scripted transport for answers the service never gives.
#include "service/service_client.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "base/main_context.h"
#include "service/client_test_support.h"
#include "store/wave.h"
#include "testing/main_context.h"

namespace halden {
namespace {

using nlohmann::json;
using testing::cookie;

using Clock = std::chrono::steady_clock;
const std::string signInPath = "/api/desktop/signin";
const std::string unprocessed = "failure: " + std::string(unprocessedMessage);

// What a request ended in: the object's JSON text, "failure: <message>" or
// "<error domain> <code>".
std::string outcome(const Result<JsonObject>& result) {
  if (result.ok()) return result->dump();
  const Error& error = result.error();
  if (error.isFailure()) return "failure: " + error.description();
  return error.domain() + " " + std::to_string(error.code());
}

class RequestTest : public ::testing::TestWithParam<bool> {
 protected:
  std::unique_ptr<ServiceClient> makeClient(const std::string& base, CurlTransportOptions options) {
    transports_.push_back(createCurlTransport(std::move(options)));
    return std::make_unique<ServiceClient>(*ServiceUrl::parse(base), *transports_.back(), cookies_);
  }
  Result<JsonObject> begin(ServiceClient& client) {
    return runToCompletion(client.post(signInPath.substr(1), {{"action", "begin"}}, false));
  }

  testing::PrivateMainContext context_;
  const testing::SharedService& setup_ = testing::sharedService(GetParam());
  testing::StandInControl& control_ = *setup_.control;
  testing::MemoryCookieStore cookies_;
  std::vector<std::unique_ptr<HttpTransport>> transports_;
  std::unique_ptr<ServiceClient> client_ = makeClient(setup_.baseUrl, setup_.transportOptions());
};

TEST_P(RequestTest, EveryKindOfAnswerAndTransportFailureEndsAsDescribed) {
  const std::string curl = std::string(curlErrorDomain) + " ";
  std::string otherHost = setup_.baseUrl;  // the service under its other loopback name
  otherHost.replace(otherHost.find("127.0.0.1"), 9, "localhost");
  const struct {
    json fault;  // null: a TLS failure, no request reaches the service
    std::string outcome;
    std::string base = "";            // "": the service
    bool systemCertificates = false;  // no test CA: the service's certificate is untrusted
  } rows[] = {
      {{{"kind", "status"}, {"status", 500}, {"error", "Resting."}}, "failure: Resting."},
      {{{"kind", "status"}, {"status", 500}, {"error", 7}}, unprocessed},
      {{{"kind", "status"}, {"status", 299}, {"error", "fine"}}, R"({"error":"fine"})"},
      {{{"kind", "status"}, {"status", 300}}, unprocessed},
      // An HTML page with a 302: decoded before the status is looked at.
      {{{"kind", "redirect"}}, "failure: " + std::string(unexpectedResponseMessage)},
      // Silent for longer than the idle time-out of 1 s and libcurl's
      // five-second speed window together.
      {{{"kind", "delay"}, {"delayMs", 10000}}, curl + std::to_string(CURLE_OPERATION_TIMEDOUT)},
      {nullptr, curl + std::to_string(CURLE_PEER_FAILED_VERIFICATION), "", true},
      // A trusted certificate that names another host: 127.0.0.1 is not
      // "localhost", although both reach the same service.
      {nullptr, curl + std::to_string(CURLE_PEER_FAILED_VERIFICATION), otherHost},
  };
  for (const auto& row : rows) {
    if (row.fault.is_null() && !GetParam()) continue;
    SCOPED_TRACE(row.fault.dump() + " " + row.base);
    control_.reset();
    const std::size_t logged = row.fault.is_null() ? 0 : 1;  // no redirect is followed
    if (!row.fault.is_null()) {
      json fault = row.fault;
      fault["path"] = signInPath;
      control_.addFault(fault);
    }
    CurlTransportOptions options =
        row.systemCertificates ? CurlTransportOptions{} : setup_.transportOptions();
    options.idleTimeout = std::chrono::seconds(1);
    auto client = makeClient(row.base.empty() ? setup_.baseUrl : row.base, options);
    EXPECT_EQ(outcome(begin(*client)), row.outcome);
    testing::waitForLog(control_, logged);  // a delayed answer comes late
    EXPECT_EQ(control_.requests().size(), logged);
  }
}

TEST_P(RequestTest, NoCookieTheServiceSetsIsKeptAndTheBodyIsCutOffOneByteAfterTheLimit) {
  control_.addFault({{"path", signInPath}, {"kind", "setCookie"}});
  ASSERT_TRUE(begin(*client_).ok());
  ASSERT_TRUE(begin(*client_).ok());
  EXPECT_TRUE(cookies_.cookies.empty());
  const json log = control_.requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1]["cookie"], "");

  // Cut off while it is received.
  control_.addFault({{"path", signInPath}, {"kind", "oversized"}});
  Result<HttpResponse> response = runToCompletion(
      createCurlTransport(setup_.transportOptions())->send({setup_.baseUrl + signInPath, {}, {}}));
  ASSERT_TRUE(response.ok()) << response.error().description();
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body.size(), responseBodyLimit + 1);
}

// What fails a request is silence, not its length: a body sent slowly for
// longer than the idle time-out still arrives, byte for byte.
TEST_P(RequestTest, AThrottledUploadOutlastingTheIdleTimeOutArrivesWhole) {
  CurlTransportOptions options = setup_.transportOptions();
  options.idleTimeout = std::chrono::seconds(1);
  options.sendSpeedLimit = 256 * 1024;
  const Bytes chunk = wave(Bytes(20 * 32'000, 0x5a));  // 20 s of audio: about 2.4 s to send
  HttpRequest request{setup_.baseUrl + "/api/meetings/throttled/audio?sequence=0",
                      {{"Content-Type", "audio/wav"},
                       {"Cookie", "authjs.session-token=" + std::string(testing::sessionValue)}},
                      chunk};

  const Clock::time_point start = Clock::now();
  Result<HttpResponse> response = runToCompletion(createCurlTransport(options)->send(request));
  const Clock::duration elapsed = Clock::now() - start;
  ASSERT_TRUE(response.ok()) << response.error().description();
  EXPECT_EQ(response->status, 200) << response->body;
  EXPECT_GT(elapsed, std::chrono::seconds(2)) << "the send speed was not limited";
  const json log = control_.requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["bodySha256"], audioHash(chunk));
}

INSTANTIATE_TEST_SUITE_P(Schemes, RequestTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "https" : "http";
                         });

// The connect time-out, not the far longer idle time-out, ends an attempt to
// connect that the other side never answers. With a backlog of 0 the accept
// queue holds one connection, made here and never accepted; the kernel then
// drops every further attempt, so a connect neither succeeds nor fails.
TEST(CurlTransport, AConnectionNeverMadeFailsAtTheConnectTimeOut) {
  struct Socket {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ~Socket() { ::close(fd); }
  } listener, queued;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  ASSERT_TRUE(::bind(listener.fd, generic, size) == 0 && ::listen(listener.fd, 0) == 0 &&
              ::getsockname(listener.fd, generic, &size) == 0 &&
              ::connect(queued.fd, generic, size) == 0);
  testing::PrivateMainContext context;
  CurlTransportOptions options;
  options.connectTimeout = std::chrono::milliseconds(300);
  const Clock::time_point start = Clock::now();
  Result<HttpResponse> response = runToCompletion(createCurlTransport(options)->send(
      {"http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + signInPath, {}, {}}));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ASSERT_FALSE(response.ok());
  EXPECT_EQ(response.error().domain(), curlErrorDomain);
  EXPECT_EQ(response.error().code(), CURLE_OPERATION_TIMEDOUT) << response.error().description();
}

TEST(ScriptedRequestTest, PostsCompactJsonToTheOriginsRootWithContentTypeOriginThenCookie) {
  testing::PrivateMainContext context;
  testing::MemoryCookieStore cookies;
  HttpResponse answer{200, "{}"};
  testing::ScriptedTransport transport([&](const HttpRequest&) { return answer; });
  ServiceClient client(*ServiceUrl::parse("https://app.halden.io/tenant//"), transport, cookies);
  auto post = [&](json object, bool authenticated = true, std::string path = "api/x") {
    return runToCompletion(client.post(std::move(path), std::move(object), authenticated));
  };
  for (std::string path : {"/evil.example/x", "/evil.example", "/user@evil.example/x",
                           "\\evil.example", "a b", "api/\xc3\xa9"}) {
    EXPECT_EQ(outcome(post(json::object(), true, path)), "failure: Invalid Halden request.")
        << path;
  }
  EXPECT_EQ(cookies.getAllCalls, 0);
  EXPECT_TRUE(transport.requests.empty());
  cookies.cookies = {cookie("authjs.session-token", "v", "app.halden.io")};
  ASSERT_TRUE(post({{"b", 1}, {"a", "x"}}).ok());
  ASSERT_TRUE(post(json::object(), false).ok());
  ASSERT_EQ(transport.requests.size(), 2u);
  // The base's own path is replaced by the endpoint's; the Origin is the
  // base's text without its trailing slashes, path and all.
  const HttpRequest& authenticated = transport.requests[0];
  EXPECT_EQ(authenticated.url, "https://app.halden.io/api/x");
  using Headers = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(authenticated.headers, (Headers{{"Content-Type", "application/json"},
                                            {"Origin", "https://app.halden.io/tenant"},
                                            {"Cookie", "authjs.session-token=v"}}));
  EXPECT_EQ(std::string(authenticated.body.begin(), authenticated.body.end()),
            R"({"a":"x","b":1})");
  EXPECT_EQ(transport.requests[1].headers, (Headers{{"Content-Type", "application/json"},
                                                    {"Origin", "https://app.halden.io/tenant"}}));

  // An object that cannot be serialised (invalid UTF-8) fails with the
  // serialiser's error.
  EXPECT_EQ(outcome(post({{"id", "\xff\xfe"}})), "nlohmann::json 316");
  EXPECT_EQ(transport.requests.size(), 2u);

  // Answers without a status: the body is decoded first, and never succeeds.
  answer = HttpResponse{std::nullopt, R"({"error":"No status."})"};
  EXPECT_EQ(outcome(post(json::object())), "failure: No status.");
  answer = HttpResponse{std::nullopt, "{}"};
  EXPECT_EQ(outcome(post(json::object())), unprocessed);
}

TEST(SessionCookies, OnlySendableSessionCookiesOfExactlyTheHostGoInStoreOrder) {
  const std::string host = "app.halden.io";
  const std::vector<Cookie> store = {
      cookie("authjs.session-token.1", "a", host),
      cookie("authjs.session-token", "b", "." + host),
      cookie("__Secure-authjs.session-token", "c", host + "."),
      cookie("authjs.session-token", "d", ".." + host + ".."),
      cookie("authjs.session-token.2", "", host),
      cookie("authjs.session-token.3", "plain-value_01=", host),
      cookie("authjs.session-token", "x", "sub." + host),
      cookie("authjs.session-token", "x", "evil" + host),
      cookie("authjs.session-token", "x", host + ".evil.example"),
      cookie("authjs.session-token", "x", ""),
      cookie("authjs.csrf-token", "x", host),
      cookie("next-auth.session-token", "x", host),
      // Names and values that would break the header line.
      cookie("authjs.session-token", "a\r\nX-Evil: 1", host),
      cookie("authjs.session-token.0", "a;b=c", host),
      cookie("authjs.session-token=x", "x", host),
      cookie("authjs.session-token.4", std::string("a\0b", 3), host),
  };
  EXPECT_EQ(cookieHeaderValue(selectSessionCookies(store, host)),
            "authjs.session-token.1=a; authjs.session-token=b; __Secure-authjs.session-token=c; "
            "authjs.session-token=d; authjs.session-token.2=; "
            "authjs.session-token.3=plain-value_01=");
  EXPECT_TRUE(selectSessionCookies(store, std::nullopt).empty());
  EXPECT_EQ(cookieHeaderValue({}), std::nullopt);
}

}  // namespace
}  // namespace halden
