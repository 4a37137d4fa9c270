#include "workspace/script_bridge.h"

#include <gtest/gtest.h>

#include <functional>

#include "store/json_text.h"

namespace halden {
namespace {

constexpr std::string_view workspace = "https://app.halden.io/clients/workspace";
constexpr std::string_view uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";

NavigationPolicy policy() { return NavigationPolicy(*ServiceUrl::parse("https://app.halden.io")); }

PageRequest request(PageRequestType type, std::optional<std::string> meetingId = std::nullopt,
                    std::optional<std::string> clientId = std::nullopt,
                    std::optional<std::string> clientName = std::nullopt) {
  return PageRequest{type, std::move(meetingId), std::move(clientId), std::move(clientName)};
}

TEST(ScriptBridge, AcceptsOnlyWellFormedMessagesFromTheWorkspaceMainFrame) {
  using T = PageRequestType;
  const struct {
    bool mainFrame;
    std::optional<std::string_view> frameUrl;
    std::string body;
    std::optional<PageRequest> expected;
  } cases[] = {
      {true, workspace, R"({"action":"status"})", request(T::status)},
      {true, "https://app.halden.io/other?x=1", R"({"action":"status","meetingId":5})",
       request(T::status)},
      {true, workspace, R"({"action":"stop","meetingId":"abc"})", request(T::stop)},
      {true, workspace, R"({"action":"retry","extra":{"a":[1,true,null]}})", request(T::retry)},
      {true, workspace, R"({"action":"start","meetingId":")" + std::string(uuid) + R"("})",
       request(T::start, std::string(uuid))},
      // The identifier is kept as sent, in either letter case.
      {true, workspace, R"({"action":"start","meetingId":"0F8FAD5B-D9CB-469F-A165-70867728950E"})",
       request(T::start, "0F8FAD5B-D9CB-469F-A165-70867728950E")},
      {true, workspace, R"({"action":"start","meetingId":"0f8FAD5b-d9cb-469F-a165-70867728950E"})",
       request(T::start, "0f8FAD5b-d9cb-469F-a165-70867728950E")},
      {true, workspace,
       R"({"clientName":"Ana \"A\" O'Neil","action":"start","clientId":"c-1","meetingId":")" +
           std::string(uuid) + R"("})",
       request(T::start, std::string(uuid), "c-1", "Ana \"A\" O'Neil")},
      // Client fields that are no strings count as absent.
      {true, workspace,
       R"({"action":"start","meetingId":")" + std::string(uuid) +
           R"(","clientId":7,"clientName":null})",
       request(T::start, std::string(uuid))},
      // Sender: sub-frames of any origin, other origins, and no document URL.
      {false, workspace, R"({"action":"status"})", std::nullopt},
      {false, "https://other.example/", R"({"action":"status"})", std::nullopt},
      {true, "https://other.example/clients/workspace", R"({"action":"status"})", std::nullopt},
      {true, "https://app.halden.io:443/clients/workspace", R"({"action":"status"})", std::nullopt},
      {true, "http://app.halden.io/clients/workspace", R"({"action":"status"})", std::nullopt},
      {true, "about:blank", R"({"action":"status"})", std::nullopt},
      {true, std::nullopt, R"({"action":"status"})", std::nullopt},
      // Body: an object with a string action of the four, exactly.
      {true, workspace, "", std::nullopt},
      {true, workspace, "null", std::nullopt},
      {true, workspace, R"("status")", std::nullopt},
      {true, workspace, R"([{"action":"status"}])", std::nullopt},
      {true, workspace, R"({"action":"status"} {})", std::nullopt},
      {true, workspace, R"({"action":"status")", std::nullopt},
      {true, workspace, R"({})", std::nullopt},
      {true, workspace, R"({"action":1})", std::nullopt},
      {true, workspace, R"({"action":["status"]})", std::nullopt},
      {true, workspace, R"({"action":"Status"})", std::nullopt},
      {true, workspace, R"({"action":"STOP"})", std::nullopt},
      {true, workspace, R"({"action":"status "})", std::nullopt},
      {true, workspace, R"({"action":"summarize"})", std::nullopt},
      // A lone surrogate is no text; the whole message is refused.
      {true, workspace, R"({"action":"status","note":"\ud800"})", std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<PageRequest> accepted =
        acceptPageMessage(policy(), c.mainFrame, c.frameUrl, c.body);
    EXPECT_EQ(accepted, c.expected)
        << "main " << c.mainFrame << " from " << c.frameUrl.value_or("(none)") << ": " << c.body;
  }

  // A start needs UUID text as "meetingId": it names the meeting's folder.
  const nlohmann::json notUuids[] = {
      nullptr, 123, nlohmann::json::array({uuid}), "abc", "",
      "0f8fad5bd9cb469fa16570867728950e", "{0f8fad5b-d9cb-469f-a165-70867728950e}",
      "0f8fad5b-d9cb-469f-a165-70867728950e ", " 0f8fad5b-d9cb-469f-a165-70867728950e",
      "0f8fad5b-d9cb-469f-a165-70867728950e\n", "0f8fad5b-d9cb-469f-a165-70867728950",
      "0f8fad5bd-9cb-469f-a165-70867728950e", "0f8fad5g-d9cb-469f-a165-70867728950e",
      "0f8fad5b_d9cb_469f_a165_70867728950e", "urn:uuid:0f8fad5b-d9cb-469f-a165-70867728950e",
      "../../0f8fad5b-d9cb-469f-a165-7086772"};
  EXPECT_FALSE(acceptPageMessage(policy(), true, workspace, R"({"action":"start"})"));
  for (const nlohmann::json& id : notUuids) {
    const std::string body = nlohmann::json{{"action", "start"}, {"meetingId", id}}.dump();
    EXPECT_FALSE(acceptPageMessage(policy(), true, workspace, body)) << body;
  }
}

// Takes the detail back out of a script, as the page's engine would see it.
nlohmann::json detailOf(const std::string& script) {
  constexpr std::string_view prefix =
      "window.dispatchEvent(new CustomEvent('halden:recording',{detail:";
  constexpr std::string_view suffix = "}))";
  EXPECT_TRUE(script.starts_with(prefix)) << script;
  EXPECT_TRUE(script.ends_with(suffix)) << script;
  if (script.size() < prefix.size() + suffix.size()) return nlohmann::json();
  return parseJsonText(std::string_view(script).substr(
      prefix.size(), script.size() - prefix.size() - suffix.size()));
}

TEST(RecordingEvent, EveryStringArrivesIntact) {
  const std::string texts[] = {
      "plain",
      "",
      "quotes \" and ' and `",
      "back\\slash \\\" \\u2028",
      "</script><script>alert(1)</script>",
      "'}}));alert(1);//",
      "line\nbreak\r\nand\ttab",
      "separators \u2028 and \u2029 end",
      "\u2028\u2029",
      std::string("nul \0 inside", 12),
      "\x01\x1f\x7f",
      "Preparing the recording\u2026 \u00e9\u4e2d\U0001F600",
  };
  for (const std::string& text : texts) {
    RecordingEvent event{"error", text, std::string(uuid), text, text};
    std::optional<std::string> script = recordingEventScript(policy(), workspace, event);
    ASSERT_TRUE(script);
    // Nothing in the script can end a line or the text early.
    EXPECT_EQ(script->find('\n'), std::string::npos) << text;
    EXPECT_EQ(script->find('\r'), std::string::npos) << text;
    EXPECT_EQ(script->find("\u2028"), std::string::npos) << text;
    EXPECT_EQ(script->find("\u2029"), std::string::npos) << text;
    EXPECT_EQ(script->find('\0'), std::string::npos) << text;
    nlohmann::json detail = detailOf(*script);
    ASSERT_TRUE(detail.is_object()) << *script;
    EXPECT_EQ(detail, (nlohmann::json{{"state", "error"},
                                      {"message", text},
                                      {"meetingId", uuid},
                                      {"clientId", text},
                                      {"clientName", text}}))
        << *script;
  }
}

TEST(RecordingEvent, BytesThatAreNoUtf8BecomeReplacementCharacters) {
  const struct {
    std::string message;
    std::string delivered;
  } cases[] = {
      {"Audio could not be saved: \xff. End the meeting.",
       "Audio could not be saved: \uFFFD. End the meeting."},
      {"cut \xE2\x80", "cut \uFFFD"},
      {"latin-1 caf\xe9 path", "latin-1 caf\uFFFD path"},
  };
  for (const auto& c : cases) {
    std::optional<std::string> script =
        recordingEventScript(policy(), workspace, RecordingEvent{"error", c.message});
    ASSERT_TRUE(script);
    nlohmann::json detail = detailOf(*script);
    ASSERT_TRUE(detail.is_object()) << *script;
    EXPECT_EQ(detail.value("message", ""), c.delivered);
  }
}

TEST(RecordingEvent, DetailHoldsOnlyTheMembersThatAreSet) {
  std::string detail = recordingEventDetail(RecordingEvent{"idle", ""});
  EXPECT_EQ(parseJsonText(detail), (nlohmann::json{{"state", "idle"}, {"message", ""}}));
  EXPECT_EQ(detail.find(' '), std::string::npos) << detail;  // compact

  detail = recordingEventDetail(RecordingEvent{"processing", "m", std::nullopt, "c-1"});
  EXPECT_EQ(parseJsonText(detail),
            (nlohmann::json{{"state", "processing"}, {"message", "m"}, {"clientId", "c-1"}}));
}

TEST(RecordingEvent, IsSentOnlyToTheWorkspaceOrigin) {
  RecordingEvent event{"recording", "Recording microphone and Mac audio."};
  EXPECT_TRUE(recordingEventScript(policy(), workspace, event));
  EXPECT_TRUE(recordingEventScript(policy(), "https://app.halden.io/login", event));
  EXPECT_FALSE(recordingEventScript(policy(), std::nullopt, event));
  EXPECT_FALSE(recordingEventScript(policy(), "https://other.example/clients/workspace", event));
  EXPECT_FALSE(recordingEventScript(policy(), "https://app.halden.io:443/", event));
  EXPECT_FALSE(recordingEventScript(policy(), "about:blank", event));
}

TEST(ScriptBridge, EachRequestChangesTheFlagsAndAnswersAsTheSessionAllows) {
  using T = PageRequestType;
  using Change = std::function<void(BridgeState&)>;
  const Change idle = [](BridgeState&) {};
  const Change starting = [](BridgeState& s) { s.starting = true; };
  const Change stopping = [](BridgeState& s) { s.stopping = true; };
  const Change recording = [](BridgeState& s) {
    s.isRecording = true;
    s.noticeState = "recording";
    s.notice = "Recording microphone and Mac audio. You can keep working in Halden.";
  };
  const Change ending = [](BridgeState& s) {
    s.isRecording = true;
    s.stopping = true;
  };
  const Change uploadingAfterRecording = [](BridgeState& s) {
    s.stopping = true;
    s.uploading = true;
    s.noticeState = "processing";
    s.notice = "Preparing the recording\u2026";
  };
  const Change uploading = [](BridgeState& s) { s.uploading = true; };
  const Change recovering = [](BridgeState& s) { s.recovering = true; };
  const Change failedEarlier = [](BridgeState& s) {
    s.captureStartError = "The microphone is not available.";
    s.recordingClientId = "old-id";
    s.recordingClientName = "Old client";
    s.noticeState = "error";
    s.notice = "The microphone is not available.";
  };
  const PageRequest start = request(T::start, std::string(uuid), "c-1", "Client One");
  const PageRequest bareStart = request(T::start, std::string(uuid));
  const BridgeNotice processing{"processing",
                                "Waiting for recording confirmation and microphone access\u2026"};

  const struct {
    const char* name;
    PageRequest request;
    Change before;
    Change after;  // applied to the state before: the expected state
    std::optional<BridgeNotice> event;
    BridgeTask task;
  } accepted[] = {
      {"status idle", request(T::status), idle, idle, BridgeNotice{"idle", ""}, BridgeTask::none},
      {"status recording", request(T::status), recording, idle,
       BridgeNotice{"recording",
                    "Recording microphone and Mac audio. You can keep working in Halden."},
       BridgeTask::none},
      {"status while recording after another event", request(T::status),
       [](BridgeState& s) {
         s.isRecording = true;
         s.noticeState = "processing";
         s.notice = "n";
       },
       idle, BridgeNotice{"recording", "n"}, BridgeTask::none},
      {"status uploading", request(T::status), uploadingAfterRecording, idle,
       BridgeNotice{"processing", "Preparing the recording\u2026"}, BridgeTask::none},
      {"status after failure", request(T::status), failedEarlier, idle,
       BridgeNotice{"error", "The microphone is not available."}, BridgeTask::none},
      {"start idle", start, idle,
       [](BridgeState& s) {
         s.starting = true;
         s.recordingClientId = "c-1";
         s.recordingClientName = "Client One";
       },
       processing, BridgeTask::startFlow},
      {"start clears what an earlier session left", bareStart, failedEarlier,
       [](BridgeState& s) {
         s.starting = true;
         s.captureStartError.reset();
         s.recordingClientId.reset();
         s.recordingClientName.reset();
       },
       processing, BridgeTask::startFlow},
      {"stop recording", request(T::stop), recording, idle, std::nullopt, BridgeTask::endRecording},
      {"retry idle", request(T::retry), failedEarlier, [](BridgeState& s) { s.recovering = true; },
       std::nullopt, BridgeTask::recovery},
  };
  for (const auto& c : accepted) {
    BridgeState before;
    c.before(before);
    BridgeState expected = before;
    c.after(expected);
    BridgeStep step = dispatchPageRequest(c.request, before);
    EXPECT_TRUE(step.accepted) << c.name;
    EXPECT_EQ(step.state, expected) << c.name;
    EXPECT_EQ(step.event, c.event) << c.name;
    EXPECT_EQ(step.task, c.task) << c.name;
  }

  // A refused request changes nothing and answers nothing.
  const struct {
    PageRequest request;
    Change before;
    const char* state;
  } refused[] = {
      {start, starting, "starting"},
      {start, stopping, "stopping"},
      {start, recording, "recording"},
      {start, uploading, "uploading"},
      {start, uploadingAfterRecording, "uploading after recording"},
      {start, recovering, "recovering"},
      {request(T::start), idle, "idle, no meeting"},
      {request(T::start, "abc"), idle, "idle, malformed meeting"},
      {request(T::stop), idle, "idle"},
      {request(T::stop), starting, "starting"},
      {request(T::stop), ending, "ending"},
      {request(T::stop), uploadingAfterRecording, "uploading after recording"},
      {request(T::retry), starting, "starting"},
      {request(T::retry), stopping, "stopping"},
      {request(T::retry), recording, "recording"},
      {request(T::retry), uploading, "uploading"},
      {request(T::retry), recovering, "recovering"},
  };
  for (const auto& c : refused) {
    BridgeState before;
    c.before(before);
    BridgeStep step = dispatchPageRequest(c.request, before);
    const int type = static_cast<int>(c.request.type);
    EXPECT_FALSE(step.accepted) << type << " while " << c.state;
    EXPECT_EQ(step.state, before) << type << " while " << c.state;
    EXPECT_FALSE(step.event) << type << " while " << c.state;
    EXPECT_EQ(step.task, BridgeTask::none) << type << " while " << c.state;
  }
}

}  // namespace
}  // namespace halden
