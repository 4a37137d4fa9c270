// Desktop sign-in against the running service: begin, approve (control API or
// the browser's connect page), redeem once, expiry, and the sessions it makes.
#include <regex>

#include "devservice/service_fixture.h"

namespace halden::devservice::testing {
namespace {

using nlohmann::json;

const char* const unknownRequest = "This sign-in request is unknown or has expired.";

class SigninTest : public ServiceTest {
 protected:
  json begin() {
    httplib::Result result = postJson("/api/desktop/signin", {{"action", "begin"}});
    EXPECT_TRUE(result && result->status == 200);
    return bodyJson(result);
  }
  httplib::Result redeem(const json& begun, const std::string& secretOverride = "") {
    return postJson(
        "/api/desktop/signin",
        {{"action", "redeem"},
         {"id", begun["id"]},
         {"secret", secretOverride.empty() ? begun["secret"].get<std::string>() : secretOverride}});
  }
  json signin(const std::string& id) {
    json listed = control("/__control/signins");
    for (const json& entry : listed["signins"]) {
      if (entry["id"] == id) return entry;
    }
    return json();
  }
};

TEST_F(SigninTest, BeginGivesUrlSafeIdSecretAndCode) {
  json first = begin();
  json second = begin();
  ASSERT_TRUE(first["id"].is_string() && first["secret"].is_string() && first["code"].is_string());
  EXPECT_TRUE(std::regex_match(first["id"].get<std::string>(), std::regex("[A-Za-z0-9_-]{16,}")));
  EXPECT_TRUE(
      std::regex_match(first["code"].get<std::string>(), std::regex("[A-Z0-9]{4}-[A-Z0-9]{4}")));
  EXPECT_GE(first["secret"].get<std::string>().size(), 32u);
  EXPECT_NE(first["id"], second["id"]);
  EXPECT_NE(first["secret"], second["secret"]);
}

TEST_F(SigninTest, PendingThenApprovedThenRedeemedOnce) {
  json begun = begin();
  httplib::Result pending = redeem(begun);
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->status, 200);
  EXPECT_EQ(bodyJson(pending), json({{"session", nullptr}}));

  controlPost("/__control/approve", {{"id", begun["id"]}});
  httplib::Result approved = redeem(begun);
  ASSERT_TRUE(approved);
  EXPECT_EQ(approved->status, 200);
  json session = bodyJson(approved)["session"];
  EXPECT_EQ(session["name"], "authjs.session-token");
  ASSERT_TRUE(session["value"].is_string());
  std::string value = session["value"];

  httplib::Result again = redeem(begun);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 404);
  EXPECT_EQ(bodyJson(again), json({{"error", unknownRequest}}));

  // The session made by the sign-in opens the authenticated paths.
  httplib::Result uploaded = post("/api/meetings/" + std::string(meetingId) + "/audio?sequence=0",
                                  wavChunk(10), "audio/wav", {{"Cookie", sessionCookie(value)}});
  ASSERT_TRUE(uploaded);
  EXPECT_EQ(uploaded->status, 200);

  json listed = signin(begun["id"]);
  EXPECT_EQ(listed["code"], begun["code"]);
  EXPECT_EQ(listed["approved"], true);
  EXPECT_EQ(listed["redeemed"], true);
  EXPECT_EQ(listed["redeemCount"], 3);
}

TEST_F(SigninTest, WrongSecretOrUnknownIdIsRefused) {
  json begun = begin();
  controlPost("/__control/approve", {{"id", begun["id"]}});
  httplib::Result wrong = redeem(begun, "not-the-secret");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 404);
  EXPECT_EQ(bodyJson(wrong)["error"], unknownRequest);

  httplib::Result unknown =
      postJson("/api/desktop/signin", {{"action", "redeem"}, {"id", "nope"}, {"secret", "x"}});
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);

  // A guessed secret does not use the request up: the right one still works.
  httplib::Result right = redeem(begun);
  ASSERT_TRUE(right);
  EXPECT_TRUE(bodyJson(right)["session"].is_object());

  httplib::Result approveUnknown = postJson("/__control/approve", {{"id", "nope"}});
  ASSERT_TRUE(approveUnknown);
  EXPECT_EQ(approveUnknown->status, 404);
}

TEST_F(SigninTest, ExpiredRequestCanNeitherBeApprovedNorRedeemed) {
  json approvedFirst = begin();
  json neverApproved = begin();
  controlPost("/__control/approve", {{"id", approvedFirst["id"]}});
  controlPost("/__control/expire", {{"id", approvedFirst["id"]}});
  controlPost("/__control/expire", {{"id", neverApproved["id"]}});

  for (const json* begun : {&approvedFirst, &neverApproved}) {
    httplib::Result redeemed = redeem(*begun);
    ASSERT_TRUE(redeemed);
    EXPECT_EQ(redeemed->status, 404);
    EXPECT_EQ(bodyJson(redeemed)["error"], unknownRequest);
    httplib::Result page = get("/desktop/connect?id=" + (*begun)["id"].get<std::string>());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 404);
    EXPECT_NE(page->get_header_value("Content-Type").find("text/html"), std::string::npos);
  }
  httplib::Result approve = postJson("/__control/approve", {{"id", neverApproved["id"]}});
  ASSERT_TRUE(approve);
  EXPECT_EQ(approve->status, 404);
  EXPECT_EQ(signin(neverApproved["id"])["expired"], true);
}

TEST_F(SigninTest, ConnectPageShowsTheCodeAndItsButtonApproves) {
  json begun = begin();
  std::string id = begun["id"];
  httplib::Result page = get("/desktop/connect?id=" + id);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find(begun["code"].get<std::string>()), std::string::npos);
  EXPECT_NE(page->body.find("action=\"/desktop/connect/approve\""), std::string::npos);
  EXPECT_NE(page->body.find("name=\"id\" value=\"" + id + "\""), std::string::npos);

  httplib::Params form = {{"id", id}};
  httplib::Result approved = client_->Post("/desktop/connect/approve", form);
  ASSERT_TRUE(approved);
  EXPECT_EQ(approved->status, 200);
  EXPECT_NE(approved->body.find("connected"), std::string::npos);
  EXPECT_TRUE(bodyJson(redeem(begun))["session"].is_object());

  httplib::Result unknown = client_->Post("/desktop/connect/approve", httplib::Params{{"id", "x"}});
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
}

TEST_F(SigninTest, ApprovalFromAnotherOriginIsRefused) {
  json begun = begin();
  httplib::Result approved =
      client_->Post("/desktop/connect/approve", {{"Origin", "https://attacker.example"}},
                    "id=" + begun["id"].get<std::string>(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(approved);
  EXPECT_EQ(approved->status, 403);
  EXPECT_EQ(bodyJson(redeem(begun)), json({{"session", nullptr}}));
}

TEST_F(SigninTest, MalformedRequestsAreRefusedWithAnError) {
  const std::pair<std::string, int> cases[] = {
      {R"({"action":"finish"})", 400},
      {R"({"action":"redeem","id":"x"})", 400},
      {R"({"action":"redeem","id":1,"secret":"y"})", 400},
      {R"({})", 400},
      {R"([])", 400},
      {R"("begin")", 400},
      {"not json", 400},
      {"", 400},
  };
  for (const auto& [body, status] : cases) {
    httplib::Result result = post("/api/desktop/signin", body, "application/json");
    ASSERT_TRUE(result) << body;
    EXPECT_EQ(result->status, status) << body;
    EXPECT_TRUE(bodyJson(result)["error"].is_string()) << body;
  }
  httplib::Result wrongMethod = get("/api/desktop/signin");
  ASSERT_TRUE(wrongMethod);
  EXPECT_EQ(wrongMethod->status, 405);
}

}  // namespace
}  // namespace halden::devservice::testing
