// halden-devservice: its parsers, then the service as a child process driven
// over HTTP (uploads, summaries, sessions, origins, the request log, reset,
// pages, sign-in, faults, TLS, command-line refusals and signals).
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "devservice/digest.h"
#include "devservice/faults.h"
#include "devservice/meeting_store.h"
#include "devservice/options.h"
#include "devservice/wav_check.h"
#include "testing/devservice_process.h"
#include "testing/temp_folder.h"

namespace halden::devservice {
namespace {

namespace fs = std::filesystem;
using halden::testing::DevService;
using halden::testing::DevServiceOptions;
using nlohmann::json;

const std::string testSession = "test-session-7f3a";
const std::string meetingId = "0f8fad5b-d9cb-469f-a165-70867728950e";
const std::string meetingPath = "/api/meetings/" + meetingId;
const std::string audioPath = meetingPath + "/audio";
const std::string acknowledged0 = R"(200 {"ok":true,"sequence":0})";

void putLe(std::string& out, std::size_t offset, std::uint32_t value, int bytes) {
  if (out.size() < offset + bytes) out.resize(offset + bytes);
  for (int i = 0; i < bytes; ++i) out[offset + i] = static_cast<char>(value >> (8 * i));
}

// A chunk as the desktop app writes it: `samples` 16-bit samples (a ramp)
// behind the 44-byte header of 16 kHz mono PCM.
std::string wavChunk(std::size_t samples, int seed = 0) {
  const auto payload = static_cast<std::uint32_t>(samples * 2);
  // fmt: size 16, PCM, 1 channel, 16000 Hz, 32000 bytes/s, 2-byte frames, 16 bits.
  std::string out("RIFF....WAVEfmt \x10\0\0\0\1\0\1\0\x80\x3e\0\0\0\x7d\0\0\2\0\x10\0data....", 44);
  putLe(out, 4, payload + 36, 4);
  putLe(out, 40, payload, 4);
  for (std::size_t i = 0; i < samples; ++i) putLe(out, 44 + 2 * i, i * 37 + seed, 2);
  return out;
}

std::string sessionCookie(const std::string& value = testSession) {
  return "authjs.session-token=" + value;
}

int statusOf(const httplib::Result& result) { return result ? result->status : -1; }

// "STATUS BODY", to check both at once.
std::string answer(const httplib::Result& result) {
  return result ? std::to_string(result->status) + " " + result->body : "no answer";
}

bool bodyHas(const httplib::Result& result, const std::string& text) {
  return result && result->body.find(text) != std::string::npos;
}

json bodyJson(const httplib::Result& result) {
  return json::parse(result ? result->body : "", nullptr, false);
}

int exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

TEST(DevServiceParsing, CommandLineListensOnLoopbackOnly) {
  for (const char* host : {"127.0.0.1", "127.0.0.2", "127.255.255.254", "::1"}) {
    EXPECT_TRUE(parseOptions({"--host", host}).options) << host;
  }
  for (const char* host :
       {"0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "localhost", "", "::ffff:127.0.0.1", "127.1"}) {
    EXPECT_NE(parseOptions({"--host", host}).message.find("loopback"), std::string::npos) << host;
  }
  const std::vector<std::vector<std::string>> refused = {
      {"--port"},     {"--port", "-1"},          {"--port", "65536"},    {"--port", "80x"},
      {"--bogus"},    {"--tls-cert", "c.pem"},   {"--tls-key", "k.pem"}, {"--session", ""},
      {"--data", ""}, {"--origin", "ftp://host"}};
  for (const auto& arguments : refused)
    EXPECT_FALSE(parseOptions(arguments).options) << arguments[0];
  EXPECT_EQ(parseOptions({"--origin", "HTTP://LocalHost:8123/"}).options->origin,
            "http://localhost:8123");
}

TEST(DevServiceParsing, OriginKeepsSchemeHostAndExplicitPortOnly) {
  EXPECT_EQ(originOf("http://127.0.0.1:8080"), "http://127.0.0.1:8080");
  EXPECT_EQ(originOf("https://Example.COM/a?c"), "https://example.com");
  EXPECT_EQ(originOf("http://[::1]:99/"), "http://[::1]:99");
  for (const char* url : {"null", "http://host:99999", "http://host:", "127.0.0.1:80", "http://:80",
                          "http://a:b@host"}) {
    EXPECT_FALSE(originOf(url)) << url;
  }
  EXPECT_EQ(urlFor(true, "::1", 443), "https://[::1]:443");
  EXPECT_EQ(urlFor(false, "127.0.0.1", 80), "http://127.0.0.1:80");
}

TEST(DevServiceParsing, SequencesAndMeetingIdentifiers) {
  const std::pair<const char*, std::int64_t> sequences[] = {
      {"0", 0},   {"7", 7},   {"999999", 999999}, {"1000000", -1}, {"", -1},   {"-1", -1},
      {"+1", -1}, {"01", -1}, {"1.0", -1},        {"1e3", -1},     {" 1", -1}, {"abc", -1}};
  for (const auto& [text, value] : sequences) EXPECT_EQ(parseSequence(text).value_or(-1), value);
  for (const std::string& id : {meetingId, std::string("Az_-9"), std::string(128, 'a')}) {
    EXPECT_TRUE(isValidMeetingId(id)) << id;
  }
  for (const char* id : {"", ".", "..", "a/b", "a.b", "a\\b", "a b", "%2e"}) {
    EXPECT_FALSE(isValidMeetingId(id)) << id;
  }
  EXPECT_FALSE(isValidMeetingId(std::string(129, 'a')));
}

TEST(DevServiceParsing, FaultDefinitionsAreValidated) {
  for (const char* text :
       {R"([])", R"({"kind":"html200"})", R"({"path":"api","kind":"html200"})",
        R"({"path":"/","kind":"explode"})", R"({"path":"/","kind":"html200","match":"suffix"})",
        R"({"path":"/","kind":"html200","count":0})",
        R"({"path":"/","kind":"html200","count":"2"})", R"({"path":"/","kind":"status"})",
        R"({"path":"/","kind":"status","status":101})",
        R"({"path":"/","kind":"status","status":600})", R"({"path":"/","kind":"delay"})",
        R"({"path":"/","kind":"delay","delayMs":-5})",
        R"({"path":"/","kind":"delay","delayMs":600001})",
        R"({"path":"/","kind":"redirect","json":1})"}) {
    FaultOrError parsed = parseFault(json::parse(text));
    EXPECT_FALSE(parsed.fault) << text;
    EXPECT_FALSE(parsed.error.empty()) << text;
  }
  std::optional<Fault> exact =
      parseFault({{"path", "/a/"}, {"kind", "status"}, {"status", 200}, {"match", "exact"}}).fault;
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->status, 200);
  EXPECT_TRUE(exact->matches("/a/"));
  EXPECT_FALSE(exact->matches("/a/b"));
}

TEST(WavCheck, AcceptsOnlyTheLayoutHaldenWrites) {
  EXPECT_EQ(checkChunk(wavChunk(1)), std::nullopt);
  EXPECT_EQ(checkChunk(wavChunk(960'000)), std::nullopt);
  std::string odd = wavChunk(1) + "x";  // Sizes consistent, half a sample.
  putLe(odd, 4, 39, 4);
  putLe(odd, 40, 3, 4);
  for (const std::string& refused :
       {wavChunk(0), std::string(), wavChunk(960'001), wavChunk(100).substr(0, 242), odd}) {
    EXPECT_TRUE(checkChunk(refused)) << refused.size();
  }
  // One field of an 8-sample chunk changed: {offset, value, width}.
  const std::tuple<std::size_t, std::uint32_t, int> fields[] = {
      {0, 'X', 1}, {15, '_', 1}, {36, 'D', 1},   {4, 53, 4},     {40, 18, 4}, {16, 18, 4},
      {20, 3, 2},  {22, 2, 2},   {24, 44100, 4}, {28, 64000, 4}, {32, 4, 2},  {34, 8, 2}};
  for (const auto& [offset, value, width] : fields) {
    std::string chunk = wavChunk(8);
    putLe(chunk, offset, value, width);
    std::optional<std::string> problem = checkChunk(chunk);
    EXPECT_TRUE(problem && !problem->empty()) << offset;
  }
}

// A running service with its data in temp_/data/nested; testSession is
// always a valid session.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.dataFolder = temp_ / "data" / "nested";  // Created by the service.
    startService();
  }
  void TearDown() override { stopService(); }

  void startService() {
    stopService();
    DevServiceOptions options = options_;
    options.sessions.push_back(testSession);
    ASSERT_FALSE(service_.start(options).empty());
    client_ = std::make_unique<httplib::Client>(service_.baseUrl());
    client_->set_ca_cert_path(options.tlsCertificate.string());  // Verified by default.
    client_->set_read_timeout(30, 0);
  }
  // A crash, or a sanitizer report in the child, fails the test that caused it.
  void stopService() {
    if (!service_.running()) return;
    int status = service_.stop();
    EXPECT_EQ(exitCode(status), 0) << "status " << status << "\n" << service_.stderrText();
  }

  httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) {
    return client_->Get(path, headers);
  }
  httplib::Result post(const std::string& path, const std::string& body,
                       const std::string& type = "application/json",
                       const httplib::Headers& headers = {}) {
    return client_->Post(path, headers, body, type);
  }
  httplib::Result postJson(const std::string& path, const json& body,
                           const httplib::Headers& headers = {}) {
    return post(path, body.dump(), "application/json", headers);
  }
  httplib::Result upload(const std::string& meeting, const std::string& sequence,
                         const std::string& bytes, const std::string& cookie = sessionCookie(),
                         const std::string& type = "audio/wav") {
    httplib::Headers headers;
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    return post("/api/meetings/" + meeting + "/audio?sequence=" + sequence, bytes, type, headers);
  }
  httplib::Result summarize(const std::string& meeting, const json& expectedChunks) {
    return postJson("/api/meetings/" + meeting,
                    {{"action", "summarize"}, {"expectedChunks", expectedChunks}},
                    {{"Cookie", sessionCookie()}});
  }
  httplib::Result signin(const json& body, const httplib::Headers& headers = {}) {
    return postJson("/api/desktop/signin", body, headers);
  }

  // Control API.
  json control(const std::string& path) { return bodyJson(get(path)); }
  void controlPost(const std::string& path, const json& body = json::object()) {
    EXPECT_EQ(statusOf(postJson(path, body)), 200) << path << " " << body.dump();
  }
  void addFault(const json& fault) { controlPost("/__control/faults", fault); }
  json requests() { return control("/__control/log")["requests"]; }
  json faults() { return control("/__control/faults")["faults"]; }
  json summaries() { return control("/__control/summaries")["summaries"]; }
  json signins() { return control("/__control/signins")["signins"]; }
  json chunks(const std::string& meeting = meetingId) {
    return control("/__control/chunks?meeting=" + meeting)["chunks"];
  }

  halden::testing::TempFolder temp_;
  DevServiceOptions options_;
  DevService service_;
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ServiceTest, UploadIsStoredAndARetryReplacesIt) {
  const std::string first = wavChunk(960'000, 1);
  const std::string second = wavChunk(1234, 2);
  httplib::Result result = upload(meetingId, "0", first);
  EXPECT_EQ(answer(result), acknowledged0);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(answer(upload(meetingId, "1", second)), R"(200 {"ok":true,"sequence":1})");
  EXPECT_EQ(chunks(), json({{"0", sha256Hex(first)}, {"1", sha256Hex(second)}}));
  const fs::path folder = options_.dataFolder / meetingId;
  EXPECT_EQ(fs::file_size(folder / "chunk-0.wav"), first.size());
  EXPECT_EQ(answer(get("/__control/chunk?meeting=" + meetingId + "&sequence=1")), "200 " + second);
  EXPECT_EQ(statusOf(get("/__control/chunk?meeting=" + meetingId + "&sequence=2")), 404);

  const std::string retried = wavChunk(700, 9);
  EXPECT_EQ(answer(upload(meetingId, "0", retried)), acknowledged0);
  EXPECT_EQ(answer(get("/__control/chunk?meeting=" + meetingId + "&sequence=0")), "200 " + retried);
  // No temporary file is left next to the chunks.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 2);

  // The data folder is kept and used again after a restart.
  startService();
  EXPECT_EQ(chunks(), json({{"0", sha256Hex(retried)}, {"1", sha256Hex(second)}}));
  EXPECT_EQ(statusOf(summarize(meetingId, 2)), 200);
}

TEST_F(ServiceTest, InvalidChunksSequencesAndMeetingsAreRefusedAndNotStored) {
  std::string stereo = wavChunk(100);
  stereo[22] = 2;
  const std::string cookie = sessionCookie();
  for (const auto& [meeting, sequence, bytes, type] :
       {std::tuple{meetingId, "0", stereo, "audio/wav"},
        {meetingId, "0", wavChunk(10), "audio/x"},
        {meetingId, "0&sequence=1", wavChunk(10), "audio/wav"},
        {"..", "0", wavChunk(10), "audio/wav"},
        {std::string(129, 'a'), "0", wavChunk(10), "audio/wav"}}) {
    EXPECT_TRUE(answer(upload(meeting, sequence, bytes, cookie, type)).starts_with("400 {\"error"))
        << meeting << " " << sequence << " " << type;
  }
  EXPECT_EQ(statusOf(post(audioPath, wavChunk(10), "audio/wav", {{"Cookie", cookie}})), 400);
  // An encoded separator makes a different path, not an upload at all.
  EXPECT_GE(statusOf(upload("a%2F..%2F..", "0", wavChunk(10))), 400);
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(temp_.path()), {}), 2);  // data/nested
}

TEST_F(ServiceTest, ConcurrentUploadsAreEachStoredWhole) {
  constexpr int meetings = 6;
  constexpr int chunksEach = 8;
  auto bytes = [](int meeting, int k) { return wavChunk(20'000 + k, meeting); };
  std::vector<std::thread> uploaders;
  for (int m = 0; m < meetings; ++m) {
    uploaders.emplace_back([&, m] {
      httplib::Client client(service_.baseUrl());
      for (int k = 0; k < chunksEach; ++k) {
        // Each meeting re-sends sequence 0 while the others upload; its last copy wins.
        std::string path = "/api/meetings/meeting-" + std::to_string(m) +
                           "/audio?sequence=" + std::to_string(k % 2 == 0 ? 0 : k);
        EXPECT_EQ(
            statusOf(client.Post(path, {{"Cookie", sessionCookie()}}, bytes(m, k), "audio/wav")),
            200);
      }
    });
  }
  for (std::thread& uploader : uploaders) uploader.join();
  for (int m = 0; m < meetings; ++m) {
    json expected = {{"0", sha256Hex(bytes(m, chunksEach - 2))}};
    for (int k = 1; k < chunksEach; k += 2) expected[std::to_string(k)] = sha256Hex(bytes(m, k));
    EXPECT_EQ(chunks("meeting-" + std::to_string(m)), expected) << m;
  }
  EXPECT_EQ(requests().size(), static_cast<std::size_t>(meetings * chunksEach));
}

TEST_F(ServiceTest, SummaryIsAcknowledgedOnlyWhenEveryChunkIsStored) {
  ASSERT_EQ(answer(upload(meetingId, "0", wavChunk(10))), acknowledged0);
  ASSERT_EQ(statusOf(upload(meetingId, "2", wavChunk(10))), 200);
  EXPECT_EQ(answer(summarize(meetingId, 3)),
            R"(409 {"error":"Chunk 1 of 3 has not been uploaded for this meeting."})");
  ASSERT_EQ(statusOf(upload(meetingId, "1", wavChunk(10))), 200);
  EXPECT_EQ(statusOf(summarize(meetingId, 4)), 409);
  EXPECT_EQ(answer(summarize(meetingId, 3)), R"(200 {"ok":true})");
  EXPECT_EQ(statusOf(summarize(meetingId, 2)), 200);
  EXPECT_EQ(statusOf(summarize("another-meeting", 1)), 409);
  for (json count : {json(0), json(-1), json(1.5), json("1"), json(true), json(nullptr)}) {
    EXPECT_EQ(statusOf(summarize(meetingId, count)), 400) << count;
  }
  for (const char* body : {R"({"action":"close","expectedChunks":1})", "[1]", "x"}) {
    EXPECT_EQ(statusOf(post(meetingPath, body, "application/json", {{"Cookie", sessionCookie()}})),
              400);
  }
  EXPECT_EQ(summaries(), json::array({{{"meetingId", meetingId}, {"expectedChunks", 3}},
                                      {{"meetingId", meetingId}, {"expectedChunks", 2}}}));
}

TEST_F(ServiceTest, SessionCookieIsFoundByNameFragmentAndValue) {
  for (const std::string& cookie :
       {sessionCookie(), "__Secure-" + sessionCookie("\"" + testSession + "\""),
        "authjs.session-token.0=" + testSession,
        "theme=dark; broken; =x; authjs.session-token= " + testSession + " ; lang=en",
        "authjs.session-token=stale; authjs.session-token.1=" + testSession}) {
    EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(10), cookie, "Audio/WAV; rate=16")),
              acknowledged0)
        << cookie;
  }
  for (const char* cookie : {"", "authjs.session-token=wrong", "session=test-session-7f3a",
                             "authjs.session=test-session-7f3a", "authjs.session-token"}) {
    EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(10), cookie)),
              R"(401 {"error":"Sign in to Halden to upload recordings."})")
        << cookie;
  }
  EXPECT_EQ(statusOf(postJson(meetingPath, {{"action", "summarize"}, {"expectedChunks", 1}})), 401);
}

TEST_F(ServiceTest, RequestLogRecordsEachRequestInOrderButNotTheControlApi) {
  const std::string chunk = wavChunk(321);
  ASSERT_TRUE(post(audioPath + "?sequence=0", chunk, "audio/wav",
                   {{"Cookie", sessionCookie()}, {"Origin", service_.baseUrl()}}));
  ASSERT_TRUE(signin({{"action", "begin"}}));
  ASSERT_TRUE(get("/clients/workspace"));
  json log = requests();
  ASSERT_EQ(log.size(), 3u) << log.dump();
  EXPECT_EQ(log[0], json({{"method", "POST"},
                          {"path", audioPath},
                          {"query", "sequence=0"},
                          {"contentType", "audio/wav"},
                          {"origin", service_.baseUrl()},
                          {"cookie", sessionCookie()},
                          {"bodySize", chunk.size()},
                          {"bodySha256", sha256Hex(chunk)},
                          {"status", 200}}));
  EXPECT_EQ(log[1]["bodySha256"], sha256Hex(R"({"action":"begin"})"));
  EXPECT_EQ(log[2]["path"], "/clients/workspace");
}

TEST_F(ServiceTest, RequestsFromAnotherOriginAreRefused) {
  const std::string port = std::to_string(service_.port());
  const std::pair<std::string, int> origins[] = {
      {service_.baseUrl(), 200},          {service_.baseUrl() + "/", 200},
      {"https://attacker.example", 403},  {"http://localhost:" + port, 403},
      {"https://127.0.0.1:" + port, 403}, {"null", 403}};
  for (const auto& [origin, status] : origins) {
    EXPECT_EQ(statusOf(signin({{"action", "begin"}}, {{"Origin", origin}})), status) << origin;
    EXPECT_EQ(statusOf(postJson("/__control/reset", {}, {{"Origin", origin}})), status) << origin;
  }
  // A configured origin replaces the listening URL.
  options_.origin = "https://halden.test:8443";
  startService();
  EXPECT_EQ(statusOf(signin({{"action", "begin"}}, {{"Origin", options_.origin}})), 200);
  EXPECT_EQ(statusOf(signin({{"action", "begin"}}, {{"Origin", service_.baseUrl()}})), 403);
  EXPECT_TRUE(bodyHas(get("/clients/workspace"), "https://halden.test:8443/downloads/"));
}

TEST_F(ServiceTest, ResetForgetsEverythingButTheCommandLineSessions) {
  ASSERT_EQ(statusOf(upload(meetingId, "0", wavChunk(10))), 200);
  ASSERT_EQ(statusOf(summarize(meetingId, 1)), 200);
  json begun = bodyJson(signin({{"action", "begin"}}));
  controlPost("/__control/approve", {{"id", begun["id"]}});
  json session = bodyJson(
      signin({{"action", "redeem"}, {"id", begun["id"]}, {"secret", begun["secret"]}}))["session"];
  ASSERT_TRUE(session.is_object());
  addFault({{"path", "/nowhere"}, {"kind", "html200"}});
  std::ofstream(options_.dataFolder / "keep.txt") << "not the service's";

  controlPost("/__control/reset");

  for (const json& emptied : {requests(), summaries(), signins(), faults()}) {
    EXPECT_EQ(emptied, json::array());
  }
  EXPECT_EQ(chunks(), json::object());
  EXPECT_FALSE(fs::exists(options_.dataFolder / meetingId));
  EXPECT_TRUE(fs::exists(options_.dataFolder / "keep.txt"));
  EXPECT_EQ(statusOf(upload("m", "0", wavChunk(10), sessionCookie(session["value"]))), 401);
  EXPECT_EQ(statusOf(upload(meetingId, "0", wavChunk(10))), 200);
}

TEST_F(ServiceTest, PagesAndDownloads) {
  // What the page does is tried in the desktop tests, through a web view.
  httplib::Result page = get("/clients/workspace");
  // Self-contained: nothing is fetched from elsewhere.
  for (const char* needle : {"<link", "src=\"http", "@import", "url(http"}) {
    EXPECT_FALSE(bodyHas(page, needle)) << needle;
  }
  EXPECT_TRUE(bodyHas(get("/clients/workspace", {{"Cookie", sessionCookie()}}), ">Signed in<"));
  EXPECT_TRUE(bodyHas(get("/clients/workspace", {{"Cookie", sessionCookie("x")}}), "Not signed"));
  EXPECT_TRUE(bodyHas(get("/login"), "Sign in to Halden"));
  httplib::Result checks = get("/clients/navigation?foreign=http://localhost:1/%22%3E%3Cb%3E");
  EXPECT_TRUE(bodyHas(checks, "src=\"http://localhost:1/&quot;&gt;&lt;b&gt;\""));
  EXPECT_TRUE(bodyHas(get("/clients/navigation"), "//localhost:"));  // the other loopback name
  EXPECT_TRUE(bodyHas(get("/clients/frame-start"), "action: 'start'"));
  EXPECT_EQ(get("/downloads/halden-notes.txt")->get_header_value("Content-Disposition"),
            "attachment; filename=\"halden-notes.txt\"");
  for (const char* path : {"/downloads/", "/downloads/.hidden", "/downloads/a%22b",
                           "/downloads/..%2Fsecret", "/nothing-here"}) {
    EXPECT_EQ(statusOf(get(path)), 404) << path;
  }
}

TEST_F(ServiceTest, PageEventsAreListedByPageThenInTheOrderEachPageReceivedThem) {
  const auto report = [&](const char* page, int index, const char* state) {
    controlPost("/__control/page-events",
                {{"page", page}, {"index", index}, {"event", {{"state", state}}}});
  };
  report("a", 1, "recording");  // overtook its predecessor
  report("b", 0, "idle");
  report("a", 0, "processing");
  EXPECT_EQ(statusOf(postJson("/__control/page-events", {{"page", "a"}, {"index", -1}, {"event", {}}})),
            400);
  EXPECT_EQ(control("/__control/page-events")["events"],
            json::parse(R"([{"state":"processing"},{"state":"recording"},{"state":"idle"}])"));
  controlPost("/__control/reset");
  EXPECT_EQ(control("/__control/page-events")["events"], json::array());
}

class SigninTest : public ServiceTest {
 protected:
  json begin() {
    httplib::Result result = signin({{"action", "begin"}});
    EXPECT_EQ(statusOf(result), 200);
    return bodyJson(result);
  }
  httplib::Result redeem(const json& begun, const json& secret = nullptr) {
    return signin({{"action", "redeem"},
                   {"id", begun["id"]},
                   {"secret", secret.is_null() ? begun["secret"] : secret}});
  }
};

const std::string unknownRequest =
    R"(404 {"error":"This sign-in request is unknown or has expired."})";

TEST_F(SigninTest, BeginGivesUrlSafeIdSecretAndCode) {
  json first = begin();
  EXPECT_TRUE(
      std::regex_match(first.dump(), std::regex(R"(\{"code":"[A-Z0-9]{4}-[A-Z0-9]{4}",)"
                                                R"("id":"[\w-]{16,}","secret":"[\w-]{32,}"\})")))
      << first;
  json second = begin();
  EXPECT_NE(first["id"], second["id"]);
  EXPECT_NE(first["secret"], second["secret"]);
}

TEST_F(SigninTest, PendingThenApprovedThenRedeemedOnceIntoAWorkingSession) {
  json begun = begin();
  EXPECT_EQ(answer(redeem(begun)), R"(200 {"session":null})");
  controlPost("/__control/approve", {{"id", begun["id"]}});
  EXPECT_EQ(answer(redeem(begun, "not-the-secret")), unknownRequest);  // Does not use it up.
  json session = bodyJson(redeem(begun))["session"];
  EXPECT_EQ(session["name"], "authjs.session-token");
  ASSERT_TRUE(session["value"].is_string());
  EXPECT_EQ(answer(redeem(begun)), unknownRequest);
  EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(10), sessionCookie(session["value"]))),
            acknowledged0);
  json listed = {{"approved", true}, {"redeemed", true}, {"expired", false}, {"redeemCount", 4}};
  listed.update({{"id", begun["id"]}, {"code", begun["code"]}, {"secret", begun["secret"]}});
  EXPECT_EQ(signins(), json::array({listed}));
  EXPECT_EQ(answer(redeem({{"id", "nope"}}, "x")), unknownRequest);
  EXPECT_EQ(statusOf(postJson("/__control/approve", {{"id", "nope"}})), 404);
}

TEST_F(SigninTest, ExpiredRequestCanNeitherBeApprovedNorRedeemed) {
  json approvedFirst = begin();
  json neverApproved = begin();
  controlPost("/__control/approve", {{"id", approvedFirst["id"]}});
  for (const json& begun : {approvedFirst, neverApproved}) {
    controlPost("/__control/expire", {{"id", begun["id"]}});
    EXPECT_EQ(answer(redeem(begun)), unknownRequest);
    EXPECT_TRUE(
        answer(get("/desktop/connect?id=" + begun["id"].get<std::string>())).starts_with("404 <"));
  }
  EXPECT_EQ(statusOf(postJson("/__control/approve", {{"id", neverApproved["id"]}})), 404);
  EXPECT_EQ(signins()[1]["expired"], true);
}

TEST_F(SigninTest, ConnectPageShowsTheCodeAndItsButtonApprovesFromOurOriginOnly) {
  json begun = begin();
  const std::string id = begun["id"];
  httplib::Result page = get("/desktop/connect?id=" + id);
  EXPECT_TRUE(bodyHas(page, begun["code"]));
  EXPECT_TRUE(bodyHas(page, "action=\"/desktop/connect/approve\""));
  EXPECT_TRUE(bodyHas(page, "name=\"id\" value=\"" + id + "\""));
  const std::string form = "application/x-www-form-urlencoded";
  EXPECT_EQ(statusOf(post("/desktop/connect/approve", "id=" + id, form,
                          {{"Origin", "https://attacker.example"}})),
            403);
  EXPECT_EQ(answer(redeem(begun)), R"(200 {"session":null})");
  EXPECT_TRUE(bodyHas(post("/desktop/connect/approve", "id=" + id, form), "connected"));
  EXPECT_TRUE(bodyJson(redeem(begun))["session"].is_object());
  EXPECT_EQ(statusOf(post("/desktop/connect/approve", "id=x", form)), 404);
}

TEST_F(SigninTest, MalformedRequestsAreRefusedWithAnError) {
  for (const char* body :
       {R"({"action":"finish"})", R"({"action":"redeem","id":"x"})",
        R"({"action":"redeem","id":1,"secret":"y"})", "{}", "[]", R"("begin")", "not json", ""}) {
    EXPECT_TRUE(answer(post("/api/desktop/signin", body)).starts_with("400 {\"error")) << body;
  }
  EXPECT_EQ(statusOf(get("/api/desktop/signin")), 405);
}

using FaultsTest = ServiceTest;

TEST_F(FaultsTest, ReplacingFaultsAnswerInsteadOfStoringTheChunk) {
  // {fault without its path, content type, "STATUS BODY" (body "": not compared)}.
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {R"({"kind":"html200"})", "text/html", "200 <html>Sign in</html>"},
      {R"({"kind":"wrongSequence"})", "application/json", R"(200 {"ok":true,"sequence":4})"},
      {R"({"kind":"missingOk"})", "application/json", R"(200 {"sequence":3})"},
      {R"({"kind":"okAsNumber"})", "application/json", R"(200 {"ok":1,"sequence":3})"},
      {R"({"kind":"status","status":500,"error":"Full."})", "application/json",
       R"(500 {"error":"Full."})"},
      {R"({"kind":"status","status":599})", "application/json", "599 {}"},
      {R"({"kind":"status","status":500,"error":7})", "application/json", "500 {}"},
      {R"({"kind":"status","status":200,"body":"[1]","contentType":"text/plain"})", "text/plain",
       "200 [1]"},
      {R"({"kind":"redirect"})", "text/html", "302 "},
      {R"({"kind":"redirect","json":true})", "application/json", R"(302 {"error":"Moved."})"},
      {R"({"kind":"oversized"})", "application/json", "200 "}};
  for (const auto& [definition, type, expected] : cases) {
    SCOPED_TRACE(definition);
    json fault = json::parse(definition);
    fault["path"] = audioPath;
    addFault(fault);
    httplib::Result result = upload(meetingId, "3", wavChunk(10));
    const std::string got = answer(result);
    EXPECT_EQ(std::string_view(expected).ends_with(' ') ? got.substr(0, 4) : got, expected);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->get_header_value("Content-Type").starts_with(type));
    EXPECT_EQ(result->get_header_value("Location"), result->status == 302 ? "/login" : "");
    if (fault["kind"] == "oversized") {
      EXPECT_EQ(result->body.size(), 2'500'000u);
      EXPECT_EQ(bodyJson(result)["sequence"], 3);
    }
    EXPECT_EQ(chunks(), json::object());
    EXPECT_EQ(requests().back()["status"], result->status);
  }
  // Each fault was used once; the next upload is handled normally.
  EXPECT_EQ(answer(upload(meetingId, "3", wavChunk(10))), R"(200 {"ok":true,"sequence":3})");
}

TEST_F(FaultsTest, SetCookieAddsACookieThatIsNoSession) {
  addFault({{"path", audioPath}, {"kind", "setCookie"}});
  httplib::Result cookie = upload(meetingId, "0", wavChunk(10));
  EXPECT_EQ(answer(cookie), acknowledged0);
  EXPECT_EQ(cookie->get_header_value("Set-Cookie"), "authjs.session-token=injected; Path=/");
  EXPECT_EQ(chunks().size(), 1u);
  EXPECT_EQ(statusOf(upload(meetingId, "1", wavChunk(10), sessionCookie("injected"))), 401);
}

TEST_F(FaultsTest, DelayedRequestIsHandledNormallyWithoutHoldingUpOthers) {
  addFault({{"path", audioPath}, {"kind", "delay"}, {"delayMs", 5000}});
  std::thread slow([&] {
    httplib::Client client(service_.baseUrl());
    client.set_read_timeout(60, 0);
    EXPECT_EQ(answer(client.Post(audioPath + "?sequence=0", {{"Cookie", sessionCookie()}},
                                 wavChunk(10), "audio/wav")),
              acknowledged0);
  });
  // Answered while the delayed request waits (it is logged only once answered).
  while (!faults().empty()) std::this_thread::yield();
  EXPECT_EQ(requests().size(), 0u);
  EXPECT_EQ(statusOf(get("/login")), 200);
  slow.join();
  json log = requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1]["path"], audioPath);
}

TEST_F(FaultsTest, CountAndMatchingUseThePathWithoutTheQuery) {
  addFault({{"path", audioPath}, {"kind", "status"}, {"status", 500}, {"count", 2}});
  EXPECT_EQ(statusOf(upload(meetingId, "0", wavChunk(10))), 500);
  EXPECT_EQ(faults()[0]["count"], 1);
  EXPECT_EQ(statusOf(upload(meetingId, "0", wavChunk(10))), 500);
  EXPECT_EQ(faults(), json::array());
  EXPECT_EQ(statusOf(upload(meetingId, "0", wavChunk(10))), 200);

  // Exact on the summary path: the chunk path (which extends it) is not hit,
  // and an answer that is not for a chunk carries no sequence.
  addFault({{"path", meetingPath}, {"match", "exact"}, {"kind", "missingOk"}});
  EXPECT_EQ(statusOf(upload(meetingId, "0", wavChunk(10))), 200);
  EXPECT_EQ(answer(summarize(meetingId, 1)), "200 {}");
  EXPECT_EQ(summaries(), json::array());
  // Prefix (the default) on the same text hits the chunk path.
  addFault({{"path", meetingPath}, {"kind", "html200"}});
  EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(10))), "200 <html>Sign in</html>");

  // A fault naming the query never matches, exact or prefix.
  addFault({{"path", audioPath + "?sequence=0"}, {"kind", "html200"}});
  addFault({{"path", audioPath + "?"}, {"match", "exact"}, {"kind", "html200"}});
  EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(10))), acknowledged0);
  EXPECT_EQ(faults().size(), 2u);

  // The first planned fault that matches is used first; faults apply to pages too.
  addFault({{"path", "/clients/"}, {"kind", "status"}, {"status", 501}});
  addFault({{"path", "/"}, {"kind", "status"}, {"status", 502}});
  EXPECT_EQ(statusOf(get("/clients/workspace")), 501);
  EXPECT_EQ(statusOf(get("/clients/workspace")), 502);
}

TEST_F(FaultsTest, DropClosesTheConnectionButNeverFaultsTheControlApi) {
  EXPECT_EQ(statusOf(postJson("/__control/faults", {{"path", "/"}, {"kind", "boom"}})), 400);
  addFault({{"path", "/"}, {"kind", "drop"}, {"count", 100}});
  EXPECT_EQ(faults(),
            json::array({{{"path", "/"}, {"match", "prefix"}, {"kind", "drop"}, {"count", 100}}}));
  EXPECT_FALSE(upload(meetingId, "0", wavChunk(10)));
  EXPECT_FALSE(get("/login"));
  EXPECT_EQ(chunks(), json::object());
  EXPECT_EQ(requests()[0]["status"], 0);
  controlPost("/__control/reset");
  EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(10))), acknowledged0);
}

TEST_F(ServiceTest, ServesOverTlsToClientsThatTrustTheCertificate) {
  options_.tlsCertificate = temp_ / "cert.pem";
  options_.tlsKey = temp_ / "key.pem";
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -addext "
      "subjectAltName=IP:127.0.0.1 -days 1 -keyout '" +
      options_.tlsKey.string() + "' -out '" + options_.tlsCertificate.string() + "' 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  startService();
  EXPECT_TRUE(service_.baseUrl().starts_with("https://127.0.0.1:")) << service_.baseUrl();
  EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(100))), acknowledged0);
  addFault({{"path", "/login"}, {"kind", "drop"}});
  EXPECT_FALSE(get("/login"));
  httplib::Client untrusting(service_.baseUrl());
  untrusting.set_ca_cert_path("/nonexistent-ca.pem");
  EXPECT_FALSE(untrusting.Get("/login"));
  // Neither the dropped answer nor the failed handshake disturbed the service.
  EXPECT_EQ(statusOf(get("/login")), 200);
}

TEST_F(ServiceTest, RefusesUnusableCommandLinesAndTakenPorts) {
  std::ofstream(temp_ / "junk.pem") << "not a certificate";
  const std::string junk = (temp_ / "junk.pem").string();
  const std::tuple<std::string, std::vector<std::string>, int, const char*> cases[] = {
      {"0.0.0.0", {}, 2, "loopback"},
      {"127.0.0.1", {"--frobnicate"}, 2, "--frobnicate"},
      {"127.0.0.1", {"--tls-cert", junk, "--tls-key", junk}, 1, "certificate"},
      {"127.0.0.1", {"--port", std::to_string(service_.port())}, 1, "cannot listen"}};
  for (const auto& [host, arguments, code, message] : cases) {
    SCOPED_TRACE(message);
    DevService service;
    DevServiceOptions options;
    options.host = host;
    options.extraArguments = arguments;
    EXPECT_FALSE(service.tryStart(options));
    EXPECT_EQ(exitCode(service.waitForExit()), code);
    EXPECT_NE(service.stderrText().find(message), std::string::npos) << service.stderrText();
  }
}

TEST_F(ServiceTest, ExitsCleanlyOnSigtermAndSigintAndRemovesItsTemporaryData) {
  for (int signal : {SIGTERM, SIGINT}) {
    options_ = {};
    options_.host = "127.0.0.2";  // Any loopback address.
    startService();
    EXPECT_TRUE(service_.baseUrl().starts_with("http://127.0.0.2:"));
    const std::string err = service_.stderrText();
    const std::size_t at = err.find("data in ") + 8;
    const fs::path data = err.substr(at, err.find('\n', at) - at);
    EXPECT_TRUE(fs::is_directory(data)) << err;
    EXPECT_EQ(answer(upload(meetingId, "0", wavChunk(10))), acknowledged0);
    ::kill(service_.pid(), signal);
    EXPECT_EQ(exitCode(service_.waitForExit()), 0) << "signal " << signal;
    EXPECT_FALSE(fs::exists(data)) << data;
  }
}

// Regression: a SIGTERM that arrived before the listener thread was running
// was lost, and the service served on until it was killed.
TEST_F(ServiceTest, StopsWhenSignalledRightAfterItIsReady) {
  for (int i = 0; i < 10; ++i) startService();  // Each restart checks that the last one stopped.
}

TEST_F(ServiceTest, PendingDelayDoesNotKeepTheServiceFromStopping) {
  addFault({{"path", "/login"}, {"kind", "delay"}, {"delayMs", 600'000}});
  std::thread waiting(
      [client = httplib::Client(service_.baseUrl())]() mutable { client.Get("/login"); });
  while (!faults().empty()) std::this_thread::yield();
  // A normal exit (checked by stopService), not the SIGKILL the helper sends
  // after its grace period.
  stopService();
  waiting.join();
}

}  // namespace
}  // namespace halden::devservice
