#include "workspace/script_bridge.h"

#include <gtest/gtest.h>

#include <functional>

#include "store/json_text.h"

namespace halden {
namespace {

constexpr std::string_view workspace = "https://app.halden.io/clients/workspace";
constexpr std::string_view uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";

NavigationPolicy policy() { return NavigationPolicy(*ServiceUrl::parse("https://app.halden.io")); }

TEST(ScriptBridge, AcceptsOnlyWellFormedMessagesFromTheWorkspaceMainFrame) {
  using T = PageRequestType;
  const std::string start = R"({"action":"start","meetingId":")" + std::string(uuid) + "\"";
  const struct {
    std::optional<std::string_view> frameUrl;
    std::string body;
    PageRequest expected;
  } cases[] = {
      {workspace, R"({"action":"status"})", {T::status}},
      {"https://app.halden.io/other?x=1", R"({"action":"status","meetingId":5})", {T::status}},
      {workspace, R"({"action":"stop","meetingId":"abc"})", {T::stop}},
      {workspace, R"({"action":"retry","extra":{"a":[1,true,null]}})", {T::retry}},
      {workspace, start + "}", {T::start, std::string(uuid)}},
      {workspace, start + R"(,"clientName":"Ana \"A\" O'Neil","clientId":"c-1"})",
       {T::start, std::string(uuid), "c-1", "Ana \"A\" O'Neil"}},
      // Client fields that are no strings count as absent.
      {workspace, start + R"(,"clientId":7,"clientName":null})", {T::start, std::string(uuid)}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(acceptPageMessage(policy(), true, c.frameUrl, c.body), c.expected) << c.body;
  }

  // Dropped: sub-frames of any origin, other origins, and no document URL.
  const std::string status = R"({"action":"status"})";
  EXPECT_FALSE(acceptPageMessage(policy(), false, workspace, status));
  EXPECT_FALSE(
      acceptPageMessage(policy(), true, "https://app.halden.io:443/clients/workspace", status));
  EXPECT_FALSE(acceptPageMessage(policy(), true, std::nullopt, status));

  // Body: an object with a string action of the four, exactly. A lone
  // surrogate is no text; the whole message is refused.
  for (std::string_view body :
       {"", R"([{"action":"status"}])", R"({"action":"status"} {})", R"({})", R"({"action":1})",
        R"({"action":"Status"})", R"({"action":"status","note":"\ud800"})"}) {
    EXPECT_FALSE(acceptPageMessage(policy(), true, workspace, body)) << body;
  }

  // A start needs UUID text as "meetingId": it names the meeting's folder.
  const nlohmann::json notUuids[] = {
      nlohmann::json::array({uuid}), 123, "", "{0f8fad5b-d9cb-469f-a165-70867728950e}",
      "0f8fad5b-d9cb-469f-a165-70867728950e\n", "0f8fad5bd-9cb-469f-a165-70867728950e",
      "0f8fad5g-d9cb-469f-a165-70867728950e", "../../0f8fad5b-d9cb-469f-a165-7086772"};
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

TEST(RecordingEvent, EveryStringArrivesIntactAndOnlyAtTheWorkspace) {
  const std::string texts[] = {"back\\slash \\\" \\u2028 '}}));alert(1);//",
                               "line\nbreak\r\n\u2028\u2029\x01\x7f",
                               std::string("nul \0 inside", 12), "\u2026 \u00e9\u4e2d\U0001F600"};
  for (const std::string& text : texts) {
    RecordingEvent event{"error", text, std::string(uuid), text, text};
    std::optional<std::string> script = recordingEventScript(policy(), workspace, event);
    ASSERT_TRUE(script);
    EXPECT_EQ(detailOf(*script), (nlohmann::json{{"state", "error"},
                                                 {"message", text},
                                                 {"meetingId", uuid},
                                                 {"clientId", text},
                                                 {"clientName", text}}))
        << *script;
    // Only to the workspace's own document.
    EXPECT_FALSE(recordingEventScript(policy(), std::nullopt, event));
    EXPECT_FALSE(recordingEventScript(policy(), "https://other.example/clients/workspace", event));
  }
}

TEST(ScriptBridge, EachRequestChangesTheFlagsAndAnswersAsTheSessionAllows) {
  using T = PageRequestType;
  using Change = std::function<void(BridgeState&)>;
  const Change idle = [](BridgeState&) {};
  const Change starting = [](BridgeState& s) { s.starting = true; };
  const Change stopping = [](BridgeState& s) { s.stopping = true; };
  const Change recording = [](BridgeState& s) { s.isRecording = true; };
  const Change ending = [](BridgeState& s) { s.isRecording = s.stopping = true; };
  const Change uploading = [](BridgeState& s) { s.uploading = true; };
  const Change recovering = [](BridgeState& s) { s.recovering = true; };
  const Change failedEarlier = [](BridgeState& s) {
    s.captureStartError = "The microphone is not available.";
    s.recordingClientId = "old-id";
    s.recordingClientName = "Old client";
    s.noticeState = "error";
    s.notice = "The microphone is not available.";
  };
  const PageRequest status{T::status}, stop{T::stop}, retry{T::retry};
  const PageRequest start{T::start, std::string(uuid), "c-1", "Client One"};
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
      {"status while recording after another event", status,
       [](BridgeState& s) {
         s.isRecording = true;
         s.noticeState = "processing";
         s.notice = "n";
       },
       idle, BridgeNotice{"recording", "n"}, BridgeTask::none},
      {"status after failure", status, failedEarlier, idle,
       BridgeNotice{"error", "The microphone is not available."}, BridgeTask::none},
      {"start idle", start, idle,
       [](BridgeState& s) {
         s.starting = true;
         s.recordingClientId = "c-1";
         s.recordingClientName = "Client One";
       },
       processing, BridgeTask::startFlow},
      {"start clears what an earlier session left", PageRequest{T::start, std::string(uuid)},
       failedEarlier,
       [](BridgeState& s) {
         s.starting = true;
         s.captureStartError.reset();
         s.recordingClientId.reset();
         s.recordingClientName.reset();
       },
       processing, BridgeTask::startFlow},
      {"stop recording", stop, recording, idle, std::nullopt, BridgeTask::endRecording},
      {"retry idle", retry, failedEarlier, recovering, std::nullopt, BridgeTask::recovery},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.name);
    BridgeState before;
    c.before(before);
    BridgeState expected = before;
    c.after(expected);
    BridgeStep step = dispatchPageRequest(c.request, before);
    EXPECT_TRUE(step.accepted);
    EXPECT_EQ(step.state, expected);
    EXPECT_EQ(step.event, c.event);
    EXPECT_EQ(step.task, c.task);
  }

  // A refused request changes nothing and answers nothing.
  const struct {
    PageRequest request;
    std::vector<Change> states;
  } refused[] = {
      {start, {starting, stopping, recording, uploading, recovering}},
      {PageRequest{T::start}, {idle}},         // no meeting
      {PageRequest{T::start, "abc"}, {idle}},  // a malformed meeting
      {stop, {idle, starting, ending}},
      {retry, {starting, stopping, recording, uploading, recovering}},
  };
  for (const auto& c : refused) {
    for (std::size_t i = 0; i < c.states.size(); ++i) {
      SCOPED_TRACE(::testing::Message() << "request " << static_cast<int>(c.request.type)
                                        << ", state " << i << " of its row");
      BridgeState before;
      c.states[i](before);
      BridgeStep step = dispatchPageRequest(c.request, before);
      EXPECT_FALSE(step.accepted);
      EXPECT_EQ(step.state, before);
      EXPECT_FALSE(step.event);
      EXPECT_EQ(step.task, BridgeTask::none);
    }
  }
}

}  // namespace
}  // namespace halden
