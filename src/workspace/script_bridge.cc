#include "workspace/script_bridge.h"

#include <nlohmann/json.hpp>

#include "store/json_text.h"

namespace halden {
namespace {

constexpr std::string_view scriptPrefix =
    "window.dispatchEvent(new CustomEvent('halden:recording',{detail:";
constexpr std::string_view scriptSuffix = "}))";


std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

std::optional<PageRequestType> requestType(std::string_view action) {
  if (action == "status") return PageRequestType::status;
  if (action == "start") return PageRequestType::start;
  if (action == "stop") return PageRequestType::stop;
  if (action == "retry") return PageRequestType::retry;
  return std::nullopt;
}

// JSON allows U+2028 and U+2029 raw inside strings; script engines that
// predate ES2019 end a line there. Both are three-byte UTF-8 sequences that
// nothing else in the serialised text can contain.
std::string escapeLineSeparators(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (std::size_t i = 0; i < json.size(); ++i) {
    if (json.compare(i, 2, "\xE2\x80") == 0 && i + 2 < json.size() &&
        (json[i + 2] == '\xA8' || json[i + 2] == '\xA9')) {
      out += json[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += json[i];
    }
  }
  return out;
}

}  // namespace

std::optional<PageRequest> acceptPageMessage(const NavigationPolicy& policy, bool fromMainFrame,
                                             std::optional<std::string_view> frameUrl,
                                             std::string_view body) {
  if (!fromMainFrame || !policy.trusted(frameUrl)) return std::nullopt;
  nlohmann::json object = parseJsonText(body);
  if (!object.is_object()) return std::nullopt;
  std::optional<std::string> action = stringMember(object, "action");
  if (!action) return std::nullopt;
  std::optional<PageRequestType> type = requestType(*action);
  if (!type) return std::nullopt;

  PageRequest request;
  request.type = *type;
  if (*type == PageRequestType::start) {
    // The identifier names the meeting folder: only UUID text can never be a
    // path of more than one component, "..", or hidden.
    request.meetingId = stringMember(object, "meetingId");
    if (!request.meetingId || !isUuidText(*request.meetingId)) return std::nullopt;
    request.clientId = stringMember(object, "clientId");
    request.clientName = stringMember(object, "clientName");
  }
  return request;
}

std::string recordingEventDetail(const RecordingEvent& event) {
  nlohmann::json detail = {{"state", event.state}, {"message", event.message}};
  if (event.meetingId) detail["meetingId"] = *event.meetingId;
  if (event.clientId) detail["clientId"] = *event.clientId;
  if (event.clientName) detail["clientName"] = *event.clientName;
  // Replacing bytes that are no UTF-8 keeps the event deliverable: dropping
  // it would also drop every later "status" answer, which repeats the same
  // message, and leave the page with a state it can never learn.
  return escapeLineSeparators(
      detail.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace));
}

std::optional<std::string> recordingEventScript(const NavigationPolicy& policy,
                                                std::optional<std::string_view> currentUrl,
                                                const RecordingEvent& event) {
  if (!policy.trusted(currentUrl)) return std::nullopt;
  std::string script(scriptPrefix);
  script += recordingEventDetail(event);
  script += scriptSuffix;
  return script;
}

BridgeStep dispatchPageRequest(const PageRequest& request, const BridgeState& state) {
  BridgeStep step;
  step.state = state;
  const bool busy =
      state.starting || state.stopping || state.isRecording || state.uploading || state.recovering;
  switch (request.type) {
    case PageRequestType::status:
      step.accepted = true;
      step.event = BridgeNotice{state.isRecording ? "recording" : state.noticeState, state.notice};
      break;
    case PageRequestType::start:
      if (busy || !request.meetingId || !isUuidText(*request.meetingId)) break;
      step.accepted = true;
      step.state.starting = true;
      step.state.captureStartError.reset();
      step.state.recordingClientId = request.clientId;
      step.state.recordingClientName = request.clientName;
      step.event = BridgeNotice{"processing", std::string(waitingForConfirmationMessage)};
      step.task = BridgeTask::startFlow;
      break;
    case PageRequestType::stop:
      if (!state.isRecording || state.stopping) break;
      step.accepted = true;
      step.task = BridgeTask::endRecording;
      break;
    case PageRequestType::retry:
      if (busy) break;
      step.accepted = true;
      step.state.recovering = true;
      step.task = BridgeTask::recovery;
      break;
  }
  return step;
}

}  // namespace halden
