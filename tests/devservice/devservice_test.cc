// halden-devservice: its parsers, then the service as a child process, for
// what the tests that drive it would not notice: its refusals, chunk
// replacement, the fault semantics tests plan with, and that it stops.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/wait.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <thread>

#include "devservice/meeting_store.h"
#include "devservice/options.h"
#include "devservice/wav_check.h"
#include "store/wave.h"
#include "testing/devservice_process.h"
#include "testing/stand_in_control.h"

namespace halden::devservice {
namespace {

using nlohmann::json;

const std::string testSession = "test-session-7f3a";
const std::string sessionCookie = "authjs.session-token=" + testSession;
const std::string meetingId = "0f8fad5b-d9cb-469f-a165-70867728950e";
const std::string meetingPath = "/api/meetings/" + meetingId;
const std::string audioPath = meetingPath + "/audio";

// A chunk as the desktop app writes it: `samples` 16-bit samples of 16 kHz
// mono PCM, distinct for each `seed`.
std::string wavChunk(std::size_t samples, int seed = 0) {
  Bytes pcm(2 * samples);
  for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<unsigned char>(i * 37 + seed);
  const Bytes chunk = wave(pcm);
  return std::string(chunk.begin(), chunk.end());
}

int statusOf(const httplib::Result& result) { return result ? result->status : -1; }

// "STATUS BODY", to check both at once.
std::string answer(const httplib::Result& result) {
  return result ? std::to_string(result->status) + " " + result->body : "no answer";
}

TEST(DevServiceParsing, LoopbackOnlyCommandLineSequencesMeetingIdentifiersAndChunks) {
  EXPECT_TRUE(parseOptions({"--host", "127.0.0.2"}).options);
  EXPECT_TRUE(parseOptions({"--host", "::1"}).options);
  const std::vector<std::vector<std::string>> refused = {
      {"--port"},     {"--host", "::"},          {"--port", "65536"},     {"--host", "0.0.0.0"},
      {"--bogus"},    {"--tls-cert", "c.pem"},   {"--host", "localhost"}, {"--session", ""},
      {"--data", ""}, {"--origin", "ftp://host"}};
  for (const auto& arguments : refused) {
    EXPECT_FALSE(parseOptions(arguments).options) << arguments[0] << " " << arguments.back();
  }
  const std::pair<const char*, std::int64_t> sequences[] = {
      {"0", 0},   {"999999", 999999}, {"1000000", -1}, {"", -1},
      {"01", -1}, {"-1", -1},         {"+1", -1},      {"1.0", -1}};
  for (const auto& [text, value] : sequences) EXPECT_EQ(parseSequence(text).value_or(-1), value);
  EXPECT_TRUE(isValidMeetingId("Az_-9") && isValidMeetingId(std::string(128, 'a')));
  for (const std::string& id : {std::string(), std::string(129, 'a'), std::string("a.b")})
    EXPECT_FALSE(isValidMeetingId(id)) << id;

  // The store tests what Halden writes; this chunk check, one case per branch,
  // is what lets the integration tests notice a chunk Halden should not send.
  std::string odd = wavChunk(1) + "x", tag = wavChunk(8), size = tag, rate = tag;
  odd[4] = 39;  // Sizes consistent, half a sample.
  odd[40] = 3;
  tag[36] = 'D';
  size[40] = 18;
  rate[24] = 0x44;
  for (const std::string& chunk : {wavChunk(0), wavChunk(960'001), odd, tag, size, rate}) {
    EXPECT_TRUE(checkChunk(chunk)) << chunk.size();
  }
}

// A running service for which testSession is always a valid session.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::DevServiceOptions options;
    options.sessions = {testSession};
    ASSERT_FALSE(service_.start(options).empty());
    client_ = std::make_unique<httplib::Client>(service_.baseUrl());
    control_ = std::make_unique<testing::StandInControl>(service_.baseUrl());
  }
  // A crash, or a sanitizer report in the child, fails the test that caused it.
  void TearDown() override {
    const int status = service_.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << service_.stderrText();
  }

  httplib::Result upload(const std::string& meeting, const std::string& sequence,
                         const std::string& bytes = wavChunk(10),
                         const std::string& cookie = sessionCookie) {
    return client_->Post("/api/meetings/" + meeting + "/audio?sequence=" + sequence,
                         {{"Cookie", cookie}}, bytes, "audio/wav");
  }
  httplib::Result summarize(const std::string& meeting, int expectedChunks) {
    return client_->Post("/api/meetings/" + meeting, {{"Cookie", sessionCookie}},
                         json({{"action", "summarize"}, {"expectedChunks", expectedChunks}}).dump(),
                         "application/json");
  }

  testing::DevService service_;
  std::unique_ptr<httplib::Client> client_;
  std::unique_ptr<testing::StandInControl> control_;
};

// Three meetings upload at once, as from the service's own origin, each
// re-sending sequence 0 between its other chunks; every retry replaces the
// chunk. A summary is acknowledged, and recorded, only when every chunk is stored.
TEST_F(ServiceTest, RetriesReplaceTheChunkAndASummaryNeedsEveryChunk) {
  auto bytes = [](int m, int k) { return wavChunk(20'000 + k, m); };
  std::vector<std::thread> uploaders;
  for (int m = 0; m < 3; ++m) {
    uploaders.emplace_back([&, m] {
      httplib::Client client(service_.baseUrl());
      client.set_default_headers({{"Cookie", sessionCookie}, {"Origin", service_.baseUrl() + "/"}});
      const std::string target = "/api/meetings/m" + std::to_string(m) + "/audio?sequence=";
      for (int k = 0; k < 8; ++k) {
        const std::string sequence = std::to_string(k % 2 == 0 ? 0 : k);
        EXPECT_EQ(statusOf(client.Post(target + sequence, bytes(m, k), "audio/wav")), 200);
      }
    });
  }
  for (std::thread& uploader : uploaders) uploader.join();
  for (int m = 0; m < 3; ++m) {
    const std::string meeting = "m" + std::to_string(m);
    EXPECT_EQ(control_->chunks(meeting).size(), 5u);
    for (int k : {1, 3, 5, 6, 7}) {
      EXPECT_TRUE(control_->chunk(meeting, k == 6 ? 0 : k) == bytes(m, k)) << k;
    }
  }
  EXPECT_EQ(statusOf(summarize("m0", 3)), 409);  // Chunk 2 is missing.
  EXPECT_EQ(answer(summarize("m0", 2)), R"(200 {"ok":true})");
  EXPECT_EQ(control_->summaries(), json::array({{{"meetingId", "m0"}, {"expectedChunks", 2}}}));
}

// Every refusal is a JSON error, and nothing of a refused request is stored.
TEST_F(ServiceTest, InvalidOrForeignRequestsAreRefusedAndNothingIsStored) {
  const std::string chunk0 = audioPath + "?sequence=0", wav = wavChunk(10), type = "audio/wav";
  const std::string &ok = sessionCookie, summary = "application/json";
  // {target, body, content type, cookie, origin, status}
  const std::tuple<std::string, std::string, std::string, std::string, std::string, int> rows[] = {
      {chunk0, wavChunk(0), type, ok, "", 400},
      {chunk0, wav, "audio/x", ok, "", 400},
      {chunk0 + "&sequence=1", wav, type, ok, "", 400},
      {"/api/meetings/../audio?sequence=0", wav, type, ok, "", 400},
      // An encoded separator makes a different path, not an upload at all.
      {"/api/meetings/a%2F..%2F../audio?sequence=0", wav, type, ok, "", 404},
      // Only a session the service issued, under the session cookie's name.
      {chunk0, wav, type, "authjs.session-token=wrong", "", 401},
      {chunk0, wav, type, "authjs.session=" + testSession, "", 401},
      {meetingPath, R"({"action":"close","expectedChunks":1})", summary, ok, "", 400},
      {meetingPath, R"({"action":"summarize","expectedChunks":0})", summary, ok, "", 400},
      {meetingPath, "[1]", summary, ok, "", 400},
      // Another origin, even this service under another name.
      {chunk0, wav, type, ok, "http://localhost:" + std::to_string(service_.port()), 403},
      {chunk0, wav, type, ok, "null", 403},
      {"/__control/reset", "{}", summary, "", "null", 403},
  };
  for (const auto& [target, body, contentType, cookie, origin, status] : rows) {
    httplib::Headers headers = {{"Cookie", cookie}};
    if (!origin.empty()) headers.emplace("Origin", origin);
    const std::string got = answer(client_->Post(target, headers, body, contentType));
    EXPECT_TRUE(got.starts_with(std::to_string(status) + R"( {"error":")"))
        << target << " " << cookie << " " << origin << ": " << got;
  }
  EXPECT_EQ(control_->chunks(meetingId), json::object());
}

// A sign-in the desktop tests complete proves the client's part only if the
// service insists on the approval, the secret and a single redeem.
TEST_F(ServiceTest, OnlyItsSecretRedeemsAnApprovedRequestAndOnlyOnce) {
  auto signin = [&](const json& body) {
    return client_->Post("/api/desktop/signin", body.dump(), "application/json");
  };
  const json begun = json::parse(signin({{"action", "begin"}})->body);
  auto redeem = [&](const json& secret) {
    return signin({{"action", "redeem"}, {"id", begun["id"]}, {"secret", secret}});
  };
  EXPECT_EQ(answer(redeem(begun["secret"])), R"(200 {"session":null})");
  control_->post("/__control/approve", {{"id", begun["id"]}});
  EXPECT_EQ(statusOf(redeem("not-the-secret")), 404);  // Does not use it up.
  const json session = json::parse(redeem(begun["secret"])->body).at("session");
  EXPECT_EQ(statusOf(redeem(begun["secret"])), 404);
  const std::string cookie = "authjs.session-token=" + session.at("value").get<std::string>();
  EXPECT_EQ(statusOf(upload(meetingId, "0", wavChunk(960'000), cookie)), 200);  // The largest.
}

// What the service client makes of each answer is service_client_test's; here
// the answers that depend on the chunk's sequence, and that none is stored.
TEST_F(ServiceTest, FaultsAnswerInsteadOfStoringTheChunkByCountPathAndOrder) {
  // {fault without its path, "STATUS BODY" (a long body: its start)}.
  const std::pair<const char*, std::string> cases[] = {
      {R"({"kind":"html200"})", "200 <html>Sign in</html>"},
      {R"({"kind":"wrongSequence"})", R"(200 {"ok":true,"sequence":4})"},
      {R"({"kind":"missingOk"})", R"(200 {"sequence":3})"},
      {R"({"kind":"okAsNumber"})", R"(200 {"ok":1,"sequence":3})"},
      {R"({"kind":"status","status":599})", "599 {}"},
      {R"({"kind":"status","status":200,"body":"[1]","contentType":"text/plain"})", "200 [1]"},
      {R"({"kind":"redirect","json":true})", R"(302 {"error":"Moved."})"},
      {R"({"kind":"oversized"})", R"(200 {"ok":true,"sequence":3,"pad)"}};
  for (const auto& [definition, expected] : cases) {
    SCOPED_TRACE(definition);
    json fault = json::parse(definition);
    fault["path"] = audioPath;
    control_->addFault(fault);
    httplib::Result result = upload(meetingId, "3");
    ASSERT_TRUE(result);
    const std::string got = answer(result);
    EXPECT_EQ(got.size() > 1000 ? got.substr(0, expected.size()) : got, expected);
    EXPECT_EQ(result->get_header_value("Location"), result->status == 302 ? "/login" : "");
    EXPECT_EQ(control_->chunks(meetingId), json::object());
  }
  // Each fault was used once; a setCookie fault only adds its cookie.
  control_->addFault({{"path", audioPath}, {"kind", "setCookie"}});
  httplib::Result cookie = upload(meetingId, "3");
  EXPECT_EQ(answer(cookie), R"(200 {"ok":true,"sequence":3})");
  EXPECT_EQ(cookie->get_header_value("Set-Cookie"), "authjs.session-token=injected; Path=/");

  control_->addFault({{"path", audioPath}, {"kind", "status"}, {"status", 500}, {"count", 2}});
  EXPECT_EQ(statusOf(upload(meetingId, "0")), 500);
  EXPECT_EQ(statusOf(upload(meetingId, "0")), 500);
  EXPECT_EQ(statusOf(upload(meetingId, "0")), 200);

  // Exact on the summary path: the chunk path (which extends it) is not hit,
  // and an answer that is not for a chunk carries no sequence.
  control_->addFault({{"path", meetingPath}, {"match", "exact"}, {"kind", "missingOk"}});
  EXPECT_EQ(statusOf(upload(meetingId, "0")), 200);
  EXPECT_EQ(answer(summarize(meetingId, 1)), "200 {}");
  EXPECT_EQ(control_->summaries(), json::array());

  // Matching is by prefix unless exact; the first planned fault that matches
  // is used first; faults apply to pages too.
  control_->addFault({{"path", "/clients/"}, {"kind", "status"}, {"status", 501}});
  control_->addFault({{"path", "/"}, {"kind", "status"}, {"status", 502}});
  EXPECT_EQ(statusOf(client_->Get("/clients/workspace")), 501);
  EXPECT_EQ(statusOf(client_->Get("/clients/workspace")), 502);

  // Drop closes the connection but never faults the control API. Reset, which
  // shared services run between tests, forgets the chunks and the faults but
  // keeps the command line's sessions.
  control_->addFault({{"path", "/"}, {"kind", "drop"}, {"count", 100}});
  EXPECT_FALSE(upload("dropped", "0"));
  EXPECT_EQ(control_->chunks("dropped"), json::object());
  control_->reset();
  EXPECT_EQ(control_->chunks(meetingId), json::object());
  EXPECT_EQ(statusOf(upload(meetingId, "0")), 200);
}

// Regression: a SIGTERM that arrived before the listener thread was running
// was lost, and the service served on until it was killed.
TEST_F(ServiceTest, StopsWhenSignalledRightAfterItIsReady) {
  for (int i = 0; i < 10; ++i) {
    TearDown();  // Checks that it stopped on its own.
    SetUp();
  }
}

}  // namespace
}  // namespace halden::devservice
