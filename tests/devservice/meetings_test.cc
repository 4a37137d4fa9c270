// Chunk uploads, summary requests, authentication, the request log, reset and
// the pages, against the running service.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "devservice/digest.h"
#include "devservice/service_fixture.h"

namespace halden::devservice::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string fileText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class MeetingsTest : public ServiceTest {
 protected:
  void SetUp() override {
    halden::testing::DevServiceOptions options;
    options.dataFolder = temp_.folder("data");
    startService(options);
  }
  json chunks(const std::string& meeting = meetingId) {
    return control("/__control/chunks?meeting=" + meeting)["chunks"];
  }
};

TEST_F(MeetingsTest, UploadIsStoredAndAcknowledgedWithItsSequence) {
  std::string first = wavChunk(960'000, 1);
  std::string second = wavChunk(1234, 2);
  for (const auto& [sequence, bytes] : {std::pair{0, first}, std::pair{1, second}}) {
    httplib::Result result = upload(meetingId, std::to_string(sequence), bytes);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    json answer = bodyJson(result);
    EXPECT_EQ(answer, json({{"ok", true}, {"sequence", sequence}}));
    EXPECT_TRUE(answer["ok"].is_boolean());
  }
  EXPECT_EQ(chunks(), json({{"0", sha256Hex(first)}, {"1", sha256Hex(second)}}));
  EXPECT_EQ(fileText(temp_ / "data" / meetingId / "chunk-0.wav"), first);
  EXPECT_EQ(fileText(temp_ / "data" / meetingId / "chunk-1.wav"), second);
  httplib::Result stored =
      get("/__control/chunk?meeting=" + std::string(meetingId) + "&sequence=1");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->body, second);
  httplib::Result missing =
      get("/__control/chunk?meeting=" + std::string(meetingId) + "&sequence=2");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST_F(MeetingsTest, ARetriedSequenceReplacesTheEarlierChunk) {
  ASSERT_EQ(upload(meetingId, "0", wavChunk(500, 1))->status, 200);
  std::string retried = wavChunk(700, 9);
  ASSERT_EQ(upload(meetingId, "0", retried)->status, 200);
  EXPECT_EQ(chunks(), json({{"0", sha256Hex(retried)}}));
  // No temporary file is left next to the chunk.
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(temp_ / "data" / meetingId)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

TEST_F(MeetingsTest, InvalidChunksAndSequencesAreRefusedAndNotStored) {
  std::string bad = wavChunk(100);
  bad[22] = 2;  // stereo
  const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
      {"stereo", "0", bad, "audio/wav"},
      {"header only", "0", wavChunk(0), "audio/wav"},
      {"too long", "0", wavChunk(960'001), "audio/wav"},
      {"not audio/wav", "0", wavChunk(10), "application/octet-stream"},
      {"negative sequence", "-1", wavChunk(10), "audio/wav"},
      {"padded sequence", "01", wavChunk(10), "audio/wav"},
      {"fractional sequence", "1.0", wavChunk(10), "audio/wav"},
      {"empty sequence", "", wavChunk(10), "audio/wav"},
      {"word sequence", "one", wavChunk(10), "audio/wav"},
      {"two sequences", "0&sequence=1", wavChunk(10), "audio/wav"},
  };
  for (const auto& [name, sequence, bytes, type] : cases) {
    httplib::Result result =
        post("/api/meetings/" + std::string(meetingId) + "/audio?sequence=" + sequence, bytes, type,
             {{"Cookie", sessionCookie()}});
    ASSERT_TRUE(result) << name;
    EXPECT_EQ(result->status, 400) << name;
    EXPECT_TRUE(bodyJson(result)["error"].is_string()) << name;
  }
  httplib::Result noSequence = post("/api/meetings/" + std::string(meetingId) + "/audio",
                                    wavChunk(10), "audio/wav", {{"Cookie", sessionCookie()}});
  ASSERT_TRUE(noSequence);
  EXPECT_EQ(noSequence->status, 400);
  EXPECT_EQ(chunks(), json::object());
}

TEST_F(MeetingsTest, MeetingIdentifiersCannotLeaveTheDataFolder) {
  for (const char* id : {"..", ".", "a.b", "%2e%2e", "x%20y"}) {
    httplib::Result result = upload(id, "0", wavChunk(10));
    ASSERT_TRUE(result) << id;
    EXPECT_EQ(result->status, 400) << id;
  }
  // An encoded separator becomes a different path and is not an upload at all.
  httplib::Result nested = upload("a%2F..%2F..", "0", wavChunk(10));
  ASSERT_TRUE(nested);
  EXPECT_GE(nested->status, 400);
  std::size_t entries = 0;
  for (const auto& entry : fs::recursive_directory_iterator(temp_.path())) {
    if (entry.is_regular_file()) ++entries;
  }
  EXPECT_EQ(entries, 0u);
}

TEST_F(MeetingsTest, ConcurrentUploadsAreEachStoredWhole) {
  constexpr int meetings = 6;
  constexpr int chunksEach = 8;
  std::vector<std::thread> uploaders;
  for (int m = 0; m < meetings; ++m) {
    uploaders.emplace_back([this, m] {
      httplib::Client client(service_.baseUrl());
      for (int k = 0; k < chunksEach; ++k) {
        // Each meeting re-sends sequence 0 while the others upload; its last copy wins.
        int sequence = k % 2 == 0 ? 0 : k;
        httplib::Result result =
            client.Post(("/api/meetings/meeting-" + std::to_string(m) +
                         "/audio?sequence=" + std::to_string(sequence))
                            .c_str(),
                        {{"Cookie", sessionCookie()}},
                        wavChunk(20'000 + static_cast<std::size_t>(k), m), "audio/wav");
        EXPECT_TRUE(result && result->status == 200);
      }
    });
  }
  for (std::thread& uploader : uploaders) uploader.join();
  for (int m = 0; m < meetings; ++m) {
    json expected = json::object();
    expected["0"] = sha256Hex(wavChunk(20'000 + chunksEach - 2, m));
    for (int k = 1; k < chunksEach; k += 2) {
      expected[std::to_string(k)] = sha256Hex(wavChunk(20'000 + static_cast<std::size_t>(k), m));
    }
    EXPECT_EQ(chunks("meeting-" + std::to_string(m)), expected) << m;
  }
  EXPECT_EQ(requests().size(), static_cast<std::size_t>(meetings * chunksEach));
}

TEST_F(MeetingsTest, SummaryIsAcknowledgedOnlyWhenEveryChunkIsStored) {
  ASSERT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
  ASSERT_EQ(upload(meetingId, "2", wavChunk(10))->status, 200);
  httplib::Result gap = summarize(meetingId, 3);
  ASSERT_TRUE(gap);
  EXPECT_EQ(gap->status, 409);
  EXPECT_NE(bodyJson(gap)["error"].get<std::string>().find("Chunk 1"), std::string::npos);

  ASSERT_EQ(upload(meetingId, "1", wavChunk(10))->status, 200);
  httplib::Result tooMany = summarize(meetingId, 4);
  ASSERT_TRUE(tooMany);
  EXPECT_EQ(tooMany->status, 409);
  httplib::Result complete = summarize(meetingId, 3);
  ASSERT_TRUE(complete);
  EXPECT_EQ(complete->status, 200);
  EXPECT_EQ(bodyJson(complete), json({{"ok", true}}));
  httplib::Result fewer = summarize(meetingId, 2);
  ASSERT_TRUE(fewer);
  EXPECT_EQ(fewer->status, 200);

  httplib::Result otherMeeting = summarize("another-meeting", 1);
  ASSERT_TRUE(otherMeeting);
  EXPECT_EQ(otherMeeting->status, 409);

  EXPECT_EQ(control("/__control/summaries")["summaries"],
            json::array({{{"meetingId", meetingId}, {"expectedChunks", 3}},
                         {{"meetingId", meetingId}, {"expectedChunks", 2}}}));
}

TEST_F(MeetingsTest, MalformedSummaryRequestsAreRefused) {
  ASSERT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
  for (const json& count : {json(0), json(-1), json(1.5), json("1"), json(true), json(nullptr)}) {
    httplib::Result result = summarize(meetingId, count);
    ASSERT_TRUE(result) << count.dump();
    EXPECT_EQ(result->status, 400) << count.dump();
    EXPECT_TRUE(bodyJson(result)["error"].is_string());
  }
  const std::string path = "/api/meetings/" + std::string(meetingId);
  for (const std::string body : {R"({"action":"close","expectedChunks":1})", R"([1])", "x"}) {
    httplib::Result result = post(path, body, "application/json", {{"Cookie", sessionCookie()}});
    ASSERT_TRUE(result) << body;
    EXPECT_EQ(result->status, 400) << body;
  }
  EXPECT_EQ(control("/__control/summaries")["summaries"], json::array());
}

TEST_F(MeetingsTest, SessionCookieIsFoundByNameFragmentAndValue) {
  const std::pair<const char*, bool> cookies[] = {
      {"authjs.session-token=test-session-7f3a", true},
      {"__Secure-authjs.session-token=test-session-7f3a", true},
      {"authjs.session-token.0=test-session-7f3a", true},
      {"theme=dark; authjs.session-token=test-session-7f3a; lang=en", true},
      {"authjs.session-token=stale; authjs.session-token.1=test-session-7f3a", true},
      {"", false},
      {"authjs.session-token=wrong", false},
      {"session=test-session-7f3a", false},
      {"authjs.session=test-session-7f3a", false},
      {"authjs.session-token", false},
  };
  for (const auto& [cookie, accepted] : cookies) {
    httplib::Headers headers;
    if (*cookie) headers.emplace("Cookie", cookie);
    httplib::Result result = post("/api/meetings/" + std::string(meetingId) + "/audio?sequence=0",
                                  wavChunk(10), "audio/wav", headers);
    ASSERT_TRUE(result) << cookie;
    EXPECT_EQ(result->status, accepted ? 200 : 401) << cookie;
    if (!accepted) {
      EXPECT_EQ(bodyJson(result), json({{"error", "Sign in to Halden to upload recordings."}}));
    }
  }
  httplib::Result summary = postJson("/api/meetings/" + std::string(meetingId),
                                     {{"action", "summarize"}, {"expectedChunks", 1}});
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->status, 401);
}

TEST_F(MeetingsTest, RequestLogRecordsEachRequestInOrderButNotTheControlApi) {
  std::string chunk = wavChunk(321);
  ASSERT_TRUE(post("/api/meetings/" + std::string(meetingId) + "/audio?sequence=0", chunk,
                   "audio/wav", {{"Cookie", sessionCookie()}, {"Origin", service_.baseUrl()}}));
  ASSERT_TRUE(postJson("/api/desktop/signin", {{"action", "begin"}}));
  ASSERT_TRUE(get("/clients/workspace"));
  json log = requests();
  ASSERT_EQ(log.size(), 3u) << log.dump();
  EXPECT_EQ(log[0], json({{"method", "POST"},
                          {"path", "/api/meetings/" + std::string(meetingId) + "/audio"},
                          {"query", "sequence=0"},
                          {"contentType", "audio/wav"},
                          {"origin", service_.baseUrl()},
                          {"cookie", sessionCookie()},
                          {"bodySize", chunk.size()},
                          {"bodySha256", sha256Hex(chunk)},
                          {"status", 200}}));
  EXPECT_EQ(log[1]["path"], "/api/desktop/signin");
  EXPECT_EQ(log[1]["cookie"], "");
  EXPECT_EQ(log[1]["bodySha256"], sha256Hex(R"({"action":"begin"})"));
  EXPECT_EQ(log[2]["method"], "GET");
  EXPECT_EQ(log[2]["status"], 200);
}

TEST_F(MeetingsTest, RequestsFromAnotherOriginAreRefused) {
  const std::pair<std::string, int> origins[] = {
      {service_.baseUrl(), 200},
      {service_.baseUrl() + "/", 200},
      {"https://attacker.example", 403},
      {"http://localhost:" + std::to_string(service_.port()), 403},
      {"null", 403},
  };
  for (const auto& [origin, status] : origins) {
    httplib::Result result =
        postJson("/api/desktop/signin", {{"action", "begin"}}, {{"Origin", origin}});
    ASSERT_TRUE(result) << origin;
    EXPECT_EQ(result->status, status) << origin;
    httplib::Result control = postJson("/__control/reset", json::object(), {{"Origin", origin}});
    ASSERT_TRUE(control) << origin;
    EXPECT_EQ(control->status, status) << origin;
  }
}

TEST_F(MeetingsTest, ConfiguredOriginReplacesTheListeningUrl) {
  halden::testing::DevServiceOptions options;
  options.origin = "https://halden.test:8443";
  startService(options);
  httplib::Result own = postJson("/api/desktop/signin", {{"action", "begin"}},
                                 {{"Origin", "https://halden.test:8443"}});
  ASSERT_TRUE(own);
  EXPECT_EQ(own->status, 200);
  httplib::Result listening =
      postJson("/api/desktop/signin", {{"action", "begin"}}, {{"Origin", service_.baseUrl()}});
  ASSERT_TRUE(listening);
  EXPECT_EQ(listening->status, 403);
  httplib::Result page = get("/clients/workspace");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("https://halden.test:8443/downloads/halden-notes.txt"),
            std::string::npos);
}

TEST_F(MeetingsTest, ResetForgetsEverythingButTheCommandLineSessions) {
  ASSERT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
  ASSERT_EQ(summarize(meetingId, 1)->status, 200);
  json begun = bodyJson(postJson("/api/desktop/signin", {{"action", "begin"}}));
  controlPost("/__control/approve", {{"id", begun["id"]}});
  json session = bodyJson(postJson(
      "/api/desktop/signin",
      {{"action", "redeem"}, {"id", begun["id"]}, {"secret", begun["secret"]}}))["session"];
  ASSERT_TRUE(session.is_object());
  addFault({{"path", "/nowhere"}, {"kind", "html200"}});
  // A file the service did not write survives a reset.
  std::ofstream(temp_ / "data" / "keep.txt") << "mine";

  controlPost("/__control/reset", json::object());

  EXPECT_EQ(requests(), json::array());
  EXPECT_EQ(chunks(), json::object());
  EXPECT_EQ(control("/__control/summaries")["summaries"], json::array());
  EXPECT_EQ(control("/__control/signins")["signins"], json::array());
  EXPECT_EQ(control("/__control/faults")["faults"], json::array());
  EXPECT_FALSE(fs::exists(temp_ / "data" / meetingId));
  EXPECT_TRUE(fs::exists(temp_ / "data" / "keep.txt"));

  httplib::Result redeemedSession =
      post("/api/meetings/m/audio?sequence=0", wavChunk(10), "audio/wav",
           {{"Cookie", sessionCookie(session["value"].get<std::string>())}});
  ASSERT_TRUE(redeemedSession);
  EXPECT_EQ(redeemedSession->status, 401);
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
}

TEST_F(MeetingsTest, ChunksSurviveARestartOnTheSameDataFolder) {
  std::string chunk = wavChunk(10);
  ASSERT_EQ(upload(meetingId, "0", chunk)->status, 200);
  halden::testing::DevServiceOptions options;
  options.dataFolder = temp_ / "data";
  startService(options);
  EXPECT_EQ(chunks(), json({{"0", sha256Hex(chunk)}}));
  EXPECT_EQ(summarize(meetingId, 1)->status, 200);
}

TEST_F(MeetingsTest, WorkspacePageSpeaksThePageContract) {
  httplib::Result anonymous = get("/clients/workspace");
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 200);
  EXPECT_NE(anonymous->get_header_value("Content-Type").find("text/html"), std::string::npos);
  const std::string& page = anonymous->body;
  for (const char* needle : {"Not signed in",
                             "window.webkit",
                             "messageHandlers.haldenDesktop",
                             "halden:recording",
                             "window.haldenEvents",
                             "window.haldenPost",
                             "crypto.randomUUID",
                             "action: 'status'",
                             "action: 'start'",
                             "action: 'stop'",
                             "action: 'retry'",
                             "Start recording",
                             "End recording",
                             "Retry upload",
                             "Refresh status",
                             "/downloads/halden-notes.txt",
                             "/login\"",
                             "href=\"https://",
                             "href=\"mailto:",
                             "stand-in",
                             "outside Halden"}) {
    EXPECT_NE(page.find(needle), std::string::npos) << needle;
  }
  // Self-contained: nothing is fetched from elsewhere.
  for (const char* needle : {"<link", "src=\"http", "@import", "url(http"}) {
    EXPECT_EQ(page.find(needle), std::string::npos) << needle;
  }
  httplib::Result signedIn = get("/clients/workspace", {{"Cookie", sessionCookie()}});
  ASSERT_TRUE(signedIn);
  EXPECT_NE(signedIn->body.find(">Signed in<"), std::string::npos);
  httplib::Result wrongSession = get("/clients/workspace", {{"Cookie", sessionCookie("forged")}});
  ASSERT_TRUE(wrongSession);
  EXPECT_NE(wrongSession->body.find("Not signed in"), std::string::npos);
}

TEST_F(MeetingsTest, LoginDownloadsAndUnknownPages) {
  httplib::Result login = get("/login");
  ASSERT_TRUE(login);
  EXPECT_EQ(login->status, 200);
  EXPECT_NE(login->body.find("Sign in to Halden"), std::string::npos);

  httplib::Result download = get("/downloads/halden-notes.txt");
  ASSERT_TRUE(download);
  EXPECT_EQ(download->status, 200);
  EXPECT_EQ(download->get_header_value("Content-Disposition"),
            "attachment; filename=\"halden-notes.txt\"");
  EXPECT_NE(download->get_header_value("Content-Type").find("text/plain"), std::string::npos);
  EXPECT_FALSE(download->body.empty());

  for (const char* path : {"/downloads/", "/downloads/.hidden", "/downloads/a%22b",
                           "/downloads/..%2Fsecret", "/nothing-here"}) {
    httplib::Result result = get(path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(result->status, 404) << path;
  }
}

}  // namespace
}  // namespace halden::devservice::testing
