// The control API under /__control/: what tests use to plan faults and to
// inspect what the service received. Not logged and never faulted.
#include "devservice/http_util.h"
#include "devservice/options.h"
#include "devservice/service_state.h"

namespace halden::devservice {
namespace {

nlohmann::json faultJson(const Fault& fault) {
  nlohmann::json object = {{"path", fault.path},
                           {"match", fault.exactMatch ? "exact" : "prefix"},
                           {"kind", faultKindName(fault.kind)},
                           {"count", fault.count}};
  if (fault.kind == FaultKind::status) object["status"] = fault.status;
  if (fault.kind == FaultKind::delay) object["delayMs"] = fault.delayMs;
  return object;
}

std::optional<std::string> idFrom(const httplib::Request& request) {
  nlohmann::json body = parseJson(request.body);
  if (!body.is_object()) return std::nullopt;
  auto id = body.find("id");
  if (id == body.end() || !id->is_string()) return std::nullopt;
  return id->get<std::string>();
}

}  // namespace

void handleControl(ServiceState& state, const httplib::Request& request,
                   httplib::Response& response) {
  // The listener is on loopback already; this also keeps a web page of any
  // other origin from planning faults or wiping the store through a browser.
  if (!isLoopbackAddress(request.remote_addr) || !state.originAllowed(request)) {
    return replyError(response, 403, "The control API answers local test tools only.");
  }
  const std::string& path = request.path;
  const bool get = request.method == "GET";
  const bool post = request.method == "POST";

  if (path == "/__control/faults" && post) {
    FaultOrError parsed = parseFault(parseJson(request.body));
    if (!parsed.fault) return replyError(response, 400, parsed.error);
    state.faults.add(*parsed.fault);
    return replyJson(response, 200, {{"ok", true}});
  }
  if (path == "/__control/faults" && get) {
    nlohmann::json list = nlohmann::json::array();
    for (const Fault& fault : state.faults.pending()) list.push_back(faultJson(fault));
    return replyJson(response, 200, {{"faults", list}});
  }
  if (path == "/__control/log" && get) return replyJson(response, 200, state.log.toJson());
  if (path == "/__control/reset" && post) {
    state.faults.clear();
    state.log.clear();
    state.meetings.reset();
    state.signins.reset();
    state.pageEvents.clear();
    return replyJson(response, 200, {{"ok", true}});
  }
  if (path == "/__control/page-events" && post) {
    nlohmann::json report = parseJson(request.body);
    const bool valid = report.is_object() && report.contains("page") && report["page"].is_string() &&
                       report.contains("index") && report["index"].is_number_unsigned() &&
                       report.contains("event") && report["event"].is_object();
    if (!valid) {
      return replyError(response, 400, "Send {\"page\": …, \"index\": …, \"event\": {…}}.");
    }
    state.pageEvents.append(report["page"].get<std::string>(), report["index"].get<std::size_t>(),
                            std::move(report["event"]));
    return replyJson(response, 200, {{"ok", true}});
  }
  if (path == "/__control/page-events" && get) {
    return replyJson(response, 200, {{"events", state.pageEvents.toJson()}});
  }
  if ((path == "/__control/approve" || path == "/__control/expire") && post) {
    std::optional<std::string> id = idFrom(request);
    if (!id) return replyError(response, 400, "Send {\"id\": …} as JSON.");
    bool done =
        path == "/__control/approve" ? state.signins.approve(*id) : state.signins.expire(*id);
    if (!done) return replyError(response, 404, "This sign-in request is unknown or has expired.");
    return replyJson(response, 200, {{"ok", true}});
  }
  if (path == "/__control/chunks" && get) {
    nlohmann::json chunks = nlohmann::json::object();
    for (const auto& [sequence, digest] :
         state.meetings.chunkDigests(request.get_param_value("meeting"))) {
      chunks[std::to_string(sequence)] = digest;
    }
    return replyJson(response, 200, {{"chunks", chunks}});
  }
  if (path == "/__control/chunk" && get) {
    std::optional<std::int64_t> sequence = parseSequence(request.get_param_value("sequence"));
    std::optional<std::string> bytes;
    if (sequence) bytes = state.meetings.chunkBytes(request.get_param_value("meeting"), *sequence);
    if (!bytes) return replyError(response, 404, "No such chunk.");
    response.status = 200;
    response.set_content(*bytes, "audio/wav");
    return;
  }
  if (path == "/__control/summaries" && get) {
    nlohmann::json list = nlohmann::json::array();
    for (const MeetingStore::Summary& summary : state.meetings.summaries()) {
      list.push_back(
          {{"meetingId", summary.meetingId}, {"expectedChunks", summary.expectedChunks}});
    }
    return replyJson(response, 200, {{"summaries", list}});
  }
  if (path == "/__control/signins" && get) {
    nlohmann::json list = nlohmann::json::array();
    for (const SigninStore::Summary& signin : state.signins.list()) {
      list.push_back({{"id", signin.id},
                      {"code", signin.code},
                      {"secret", signin.secret},
                      {"approved", signin.approved},
                      {"redeemed", signin.redeemed},
                      {"expired", signin.expired},
                      {"redeemCount", signin.redeemCount}});
    }
    return replyJson(response, 200, {{"signins", list}});
  }
  replyError(response, 404, "Unknown control request.");
}

}  // namespace halden::devservice
