// Parsers of the stand-in service: command line, cookies, sequences, meeting
// identifiers, fault definitions and digests.
#include "devservice/options.h"

#include <gtest/gtest.h>

#include "devservice/digest.h"
#include "devservice/faults.h"
#include "devservice/http_util.h"
#include "devservice/meeting_store.h"

namespace halden::devservice {
namespace {

TEST(DevServiceOptions, OnlyLoopbackAddressesAreAccepted) {
  const std::pair<const char*, bool> hosts[] = {
      {"127.0.0.1", true},  {"127.0.0.2", true}, {"127.255.255.254", true},   {"::1", true},
      {"0.0.0.0", false},   {"::", false},       {"10.0.0.1", false},         {"128.0.0.1", false},
      {"localhost", false}, {"", false},         {"::ffff:127.0.0.1", false}, {"127.1", false},
  };
  for (const auto& [host, loopback] : hosts) {
    EXPECT_EQ(isLoopbackAddress(host), loopback) << host;
    OptionsOrMessage parsed = parseOptions({"--host", host});
    EXPECT_EQ(parsed.options.has_value(), loopback) << host;
    if (!loopback) {
      EXPECT_NE(parsed.message.find("loopback"), std::string::npos) << host;
    }
  }
}

TEST(DevServiceOptions, ParsesEverySwitch) {
  OptionsOrMessage parsed = parseOptions(
      {"--host", "::1", "--port", "8123", "--data", "/tmp/d", "--tls-cert", "c.pem", "--tls-key",
       "k.pem", "--session", "a", "--session", "b", "--origin", "HTTP://LocalHost:8123/"});
  ASSERT_TRUE(parsed.options) << parsed.message;
  EXPECT_EQ(parsed.options->host, "::1");
  EXPECT_EQ(parsed.options->port, 8123);
  EXPECT_EQ(parsed.options->dataFolder, "/tmp/d");
  EXPECT_EQ(parsed.options->tlsCertificate, "c.pem");
  EXPECT_EQ(parsed.options->tlsKey, "k.pem");
  EXPECT_EQ(parsed.options->sessions, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(parsed.options->origin, "http://localhost:8123");
}

TEST(DevServiceOptions, RefusesMalformedCommandLines) {
  const std::vector<std::vector<std::string>> refused = {
      {"--port"},        {"--port", "-1"},           {"--port", "65536"},
      {"--port", "80x"}, {"--tls-cert", "c.pem"},    {"--tls-key", "k.pem"},
      {"--bogus"},       {"--origin", "ftp://host"}, {"--origin", "127.0.0.1:80"},
      {"--session", ""}, {"--origin", "http://:80"}, {"--origin", "http://a:b@host"},
  };
  for (const auto& arguments : refused) {
    OptionsOrMessage parsed = parseOptions(arguments);
    EXPECT_FALSE(parsed.options) << arguments.front();
    EXPECT_FALSE(parsed.message.empty());
  }
}

TEST(DevServiceOptions, OriginKeepsSchemeHostAndExplicitPortOnly) {
  EXPECT_EQ(originOf("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
  EXPECT_EQ(originOf("https://Example.COM/a/b?c"), "https://example.com");
  EXPECT_EQ(originOf("http://[::1]:99/"), "http://[::1]:99");
  EXPECT_EQ(originOf("null"), std::nullopt);
  EXPECT_EQ(originOf("http://host:99999"), std::nullopt);
  EXPECT_EQ(urlFor(true, "::1", 443), "https://[::1]:443");
  EXPECT_EQ(urlFor(false, "127.0.0.1", 80), "http://127.0.0.1:80");
}

TEST(DevServiceParsing, CookieHeaderIsSplitIntoNamesAndValues) {
  auto cookies = parseCookies(" a=1; __Secure-authjs.session-token=\"v w\";broken; =x; c= 3 ");
  ASSERT_EQ(cookies.size(), 3u);
  EXPECT_EQ(cookies[0], (std::pair<std::string, std::string>{"a", "1"}));
  EXPECT_EQ(cookies[1],
            (std::pair<std::string, std::string>{"__Secure-authjs.session-token", "v w"}));
  EXPECT_EQ(cookies[2], (std::pair<std::string, std::string>{"c", "3"}));
  EXPECT_EQ(mediaType(" Audio/WAV ; rate=16000"), "audio/wav");
}

TEST(DevServiceParsing, SequencesAreCanonicalDecimals) {
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"0", 0},
      {"7", 7},
      {"999999", 999999},
      {"1000000", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {"01", std::nullopt},
      {"1.0", std::nullopt},
      {"1e3", std::nullopt},
      {" 1", std::nullopt},
      {"abc", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parseSequence(text), expected) << text;
}

TEST(DevServiceParsing, MeetingIdentifiersCannotNameOtherFolders) {
  EXPECT_TRUE(isValidMeetingId("0f8fad5b-d9cb-469f-a165-70867728950e"));
  EXPECT_TRUE(isValidMeetingId("meeting_1"));
  for (const char* id : {"", ".", "..", "a/b", "a.b", "a\\b", "a b", "%2e"}) {
    EXPECT_FALSE(isValidMeetingId(id)) << id;
  }
  EXPECT_FALSE(isValidMeetingId(std::string(129, 'a')));
}

TEST(DevServiceParsing, FaultDefinitionsAreValidated) {
  using nlohmann::json;
  const json refused[] = {
      json::array(),
      {{"kind", "html200"}},
      {{"path", "api"}, {"kind", "html200"}},
      {{"path", "/"}, {"kind", "explode"}},
      {{"path", "/"}, {"kind", "html200"}, {"match", "suffix"}},
      {{"path", "/"}, {"kind", "html200"}, {"count", 0}},
      {{"path", "/"}, {"kind", "html200"}, {"count", "2"}},
      {{"path", "/"}, {"kind", "status"}},
      {{"path", "/"}, {"kind", "status"}, {"status", 99}},
      {{"path", "/"}, {"kind", "status"}, {"status", 101}},
      {{"path", "/"}, {"kind", "status"}, {"status", 600}},
      {{"path", "/"}, {"kind", "delay"}},
      {{"path", "/"}, {"kind", "delay"}, {"delayMs", -5}},
      {{"path", "/"}, {"kind", "redirect"}, {"json", 1}},
  };
  for (const json& definition : refused) {
    FaultOrError parsed = parseFault(definition);
    EXPECT_FALSE(parsed.fault) << definition.dump();
    EXPECT_FALSE(parsed.error.empty());
  }
  FaultOrError parsed = parseFault({{"path", "/api/"},
                                    {"kind", "status"},
                                    {"status", 503},
                                    {"error", "Busy."},
                                    {"count", 3},
                                    {"match", "exact"}});
  ASSERT_TRUE(parsed.fault) << parsed.error;
  EXPECT_EQ(parsed.fault->status, 503);
  EXPECT_EQ(parsed.fault->error, "Busy.");
  EXPECT_EQ(parsed.fault->count, 3);
  EXPECT_TRUE(parsed.fault->matches("/api/"));
  EXPECT_FALSE(parsed.fault->matches("/api/x"));
}

TEST(DevServiceParsing, FaultTableHandsOutUsesInOrder) {
  FaultTable table;
  table.add(*parseFault({{"path", "/a"}, {"kind", "html200"}, {"count", 2}}).fault);
  table.add(*parseFault({{"path", "/a/b"}, {"kind", "drop"}}).fault);
  EXPECT_FALSE(table.take("/b"));
  EXPECT_EQ(table.take("/a/b")->kind, FaultKind::html200);
  EXPECT_EQ(table.take("/a")->kind, FaultKind::html200);
  EXPECT_EQ(table.take("/a/b/c")->kind, FaultKind::drop);
  EXPECT_FALSE(table.take("/a/b"));
  EXPECT_TRUE(table.pending().empty());
}

TEST(DevServiceParsing, OversizedBodyIsAnAcknowledgementOfExactSize) {
  std::string body = oversizedBody(oversizedBodyBytes, 4);
  EXPECT_EQ(body.size(), oversizedBodyBytes);
  nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  ASSERT_TRUE(parsed.is_object());
  EXPECT_EQ(parsed["ok"], true);
  EXPECT_EQ(parsed["sequence"], 4);
}

TEST(DevServiceDigest, Sha256AndTokens) {
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::string token = randomToken(200, "ab");
  EXPECT_EQ(token.size(), 200u);
  EXPECT_EQ(token.find_first_not_of("ab"), std::string::npos);
  EXPECT_NE(token.find('a'), std::string::npos);
  EXPECT_NE(token.find('b'), std::string::npos);
  EXPECT_NE(randomToken(22, urlSafeAlphabet), randomToken(22, urlSafeAlphabet));
}

}  // namespace
}  // namespace halden::devservice
