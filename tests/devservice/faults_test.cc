// Every fault kind, its count and its path matching, against the running
// service.
#include <thread>

#include "devservice/service_fixture.h"

namespace halden::devservice::testing {
namespace {

using nlohmann::json;

class FaultsTest : public ServiceTest {
 protected:
  std::string audioPath() const { return "/api/meetings/" + std::string(meetingId) + "/audio"; }
  json storedChunks() {
    return control("/__control/chunks?meeting=" + std::string(meetingId))["chunks"];
  }
};

struct ReplacingCase {
  const char* name;
  json fault;  // "path" is added by the test.
  int status;
  std::string contentType;
  std::string body;  // Exact body; empty: not compared.
};

TEST_F(FaultsTest, ReplacingFaultsAnswerInsteadOfStoringTheChunk) {
  const ReplacingCase cases[] = {
      {"html200", {{"kind", "html200"}}, 200, "text/html", "<html>Sign in</html>"},
      {"wrongSequence",
       {{"kind", "wrongSequence"}},
       200,
       "application/json",
       R"({"ok":true,"sequence":4})"},
      {"missingOk", {{"kind", "missingOk"}}, 200, "application/json", R"({"sequence":3})"},
      {"okAsNumber", {{"kind", "okAsNumber"}}, 200, "application/json", R"({"ok":1,"sequence":3})"},
      {"status with error",
       {{"kind", "status"}, {"status", 500}, {"error", "Disk full."}},
       500,
       "application/json",
       R"({"error":"Disk full."})"},
      {"status without error",
       {{"kind", "status"}, {"status", 503}},
       503,
       "application/json",
       "{}"},
      {"status with numeric error",
       {{"kind", "status"}, {"status", 500}, {"error", 7}},
       500,
       "application/json",
       "{}"},
      {"status with raw body",
       {{"kind", "status"}, {"status", 200}, {"body", "[1]"}, {"contentType", "text/plain"}},
       200,
       "text/plain",
       "[1]"},
      {"redirect", {{"kind", "redirect"}}, 302, "text/html", ""},
      {"json redirect",
       {{"kind", "redirect"}, {"json", true}},
       302,
       "application/json",
       R"({"error":"Moved."})"},
  };
  for (const ReplacingCase& c : cases) {
    json fault = c.fault;
    fault["path"] = audioPath();
    addFault(fault);
    httplib::Result result = upload(meetingId, "3", wavChunk(10));
    ASSERT_TRUE(result) << c.name;
    EXPECT_EQ(result->status, c.status) << c.name;
    EXPECT_NE(result->get_header_value("Content-Type").find(c.contentType), std::string::npos)
        << c.name << ": " << result->get_header_value("Content-Type");
    if (!c.body.empty()) {
      EXPECT_EQ(result->body, c.body) << c.name;
    }
    if (c.status == 302) {
      EXPECT_EQ(result->get_header_value("Location"), "/login") << c.name;
    }
    EXPECT_EQ(storedChunks(), json::object()) << c.name;
    EXPECT_EQ(requests().back()["status"], c.status) << c.name;
  }
  // Each fault was used once; the next upload is handled normally.
  httplib::Result normal = upload(meetingId, "3", wavChunk(10));
  ASSERT_TRUE(normal);
  EXPECT_EQ(bodyJson(normal), json({{"ok", true}, {"sequence", 3}}));
}

TEST_F(FaultsTest, AcknowledgementFaultsOnTheSummaryPathCarryNoSequence) {
  ASSERT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
  const std::string path = "/api/meetings/" + std::string(meetingId);
  const std::pair<const char*, json> cases[] = {
      {"missingOk", json::object()},
      {"okAsNumber", {{"ok", 1}}},
  };
  for (const auto& [kind, expected] : cases) {
    addFault({{"path", path}, {"match", "exact"}, {"kind", kind}});
    httplib::Result result = summarize(meetingId, 1);
    ASSERT_TRUE(result) << kind;
    EXPECT_EQ(bodyJson(result), expected) << kind;
  }
  EXPECT_EQ(control("/__control/summaries")["summaries"], json::array());
}

TEST_F(FaultsTest, OversizedAnswerIsAValidObjectOfTwoAndAHalfMillionBytes) {
  addFault({{"path", audioPath()}, {"kind", "oversized"}});
  httplib::Result result = upload(meetingId, "0", wavChunk(10));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(result->body.size(), 2'500'000u);
  EXPECT_TRUE(bodyJson(result).is_object());
  EXPECT_EQ(storedChunks(), json::object());
}

TEST_F(FaultsTest, DropClosesTheConnectionWithoutACompleteAnswer) {
  addFault({{"path", audioPath()}, {"kind", "drop"}});
  httplib::Result dropped = upload(meetingId, "0", wavChunk(10));
  EXPECT_FALSE(dropped);
  EXPECT_EQ(storedChunks(), json::object());
  json log = requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["status"], 0);
  // The service keeps serving new connections.
  httplib::Result next = upload(meetingId, "0", wavChunk(10));
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 200);
}

TEST_F(FaultsTest, DelayAndSetCookieStillHandleTheRequestNormally) {
  addFault({{"path", audioPath()}, {"kind", "delay"}, {"delayMs", 200}});
  httplib::Result delayed = upload(meetingId, "0", wavChunk(10));
  ASSERT_TRUE(delayed);
  EXPECT_EQ(bodyJson(delayed), json({{"ok", true}, {"sequence", 0}}));

  addFault({{"path", audioPath()}, {"kind", "setCookie"}});
  httplib::Result cookie = upload(meetingId, "1", wavChunk(10));
  ASSERT_TRUE(cookie);
  EXPECT_EQ(bodyJson(cookie), json({{"ok", true}, {"sequence", 1}}));
  EXPECT_EQ(cookie->get_header_value("Set-Cookie"), "authjs.session-token=injected; Path=/");
  EXPECT_EQ(storedChunks().size(), 2u);

  // The injected cookie is not a session.
  httplib::Result injected = post(audioPath() + "?sequence=2", wavChunk(10), "audio/wav",
                                  {{"Cookie", "authjs.session-token=injected"}});
  ASSERT_TRUE(injected);
  EXPECT_EQ(injected->status, 401);
}

TEST_F(FaultsTest, DelayedRequestDoesNotHoldUpOthers) {
  addFault({{"path", "/login"}, {"kind", "delay"}, {"delayMs", 5000}});
  httplib::Client slowClient(service_.baseUrl());
  slowClient.set_read_timeout(60, 0);
  std::thread slow([&] { EXPECT_TRUE(slowClient.Get("/login")); });
  // Answered while the delayed request waits (it is logged only once answered).
  while (control("/__control/faults")["faults"].size() != 0u) std::this_thread::yield();
  EXPECT_EQ(requests().size(), 0u);
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
  slow.join();
  json log = requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1]["path"], "/login");
}

TEST_F(FaultsTest, CountLimitsHowManyRequestsAreFaulted) {
  addFault({{"path", audioPath()}, {"kind", "status"}, {"status", 500}, {"count", 2}});
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 500);
  EXPECT_EQ(control("/__control/faults")["faults"][0]["count"], 1);
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 500);
  EXPECT_EQ(control("/__control/faults")["faults"], json::array());
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
}

TEST_F(FaultsTest, FaultsAreUsedInTheOrderTheyWereAdded) {
  addFault({{"path", "/api/"}, {"kind", "status"}, {"status", 501}});
  addFault({{"path", "/api/"}, {"kind", "status"}, {"status", 502}});
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 501);
  EXPECT_EQ(postJson("/api/desktop/signin", {{"action", "begin"}})->status, 502);
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
}

TEST_F(FaultsTest, ExactAndPrefixMatchingUseThePathWithoutTheQuery) {
  const std::string summaryPath = "/api/meetings/" + std::string(meetingId);
  // Exact on the summary path: the chunk path (which extends it) is not hit.
  addFault({{"path", summaryPath}, {"match", "exact"}, {"kind", "html200"}});
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
  EXPECT_EQ(summarize(meetingId, 1)->body, "<html>Sign in</html>");

  // Prefix (the default) on the same text hits the chunk path.
  addFault({{"path", summaryPath}, {"kind", "html200"}});
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->body, "<html>Sign in</html>");

  // A fault naming the query never matches, exact or prefix.
  addFault({{"path", audioPath() + "?sequence=0"}, {"kind", "html200"}});
  addFault({{"path", audioPath() + "?"}, {"match", "exact"}, {"kind", "html200"}});
  EXPECT_EQ(upload(meetingId, "0", wavChunk(10))->status, 200);
  EXPECT_EQ(control("/__control/faults")["faults"].size(), 2u);

  // Faults apply to unauthenticated requests and pages too.
  addFault({{"path", "/clients/"}, {"kind", "status"}, {"status", 500}});
  EXPECT_EQ(get("/clients/workspace")->status, 500);
}

TEST_F(FaultsTest, ControlApiIsNeverFaulted) {
  addFault({{"path", "/"}, {"kind", "drop"}, {"count", 100}});
  json faults = control("/__control/faults")["faults"];
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0]["count"], 100);
  EXPECT_FALSE(get("/login"));
  controlPost("/__control/reset", json::object());
  EXPECT_EQ(get("/login")->status, 200);
}

TEST_F(FaultsTest, InvalidFaultIsRefusedAndNothingIsPlanned) {
  httplib::Result refused = postJson("/__control/faults", {{"path", "/api/"}, {"kind", "boom"}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_TRUE(bodyJson(refused)["error"].is_string());
  EXPECT_EQ(control("/__control/faults")["faults"], json::array());
}

}  // namespace
}  // namespace halden::devservice::testing
