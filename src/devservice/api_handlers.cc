// The desktop app's endpoints: sign-in, chunk uploads and summary requests.

#include "devservice/http_util.h"
#include "devservice/options.h"
#include "devservice/service_state.h"
#include "devservice/wav_check.h"

namespace halden::devservice {

bool ServiceState::authenticated(const httplib::Request& request) const {
  for (std::size_t i = 0, n = request.get_header_value_count("Cookie"); i < n; ++i) {
    for (const auto& [name, value] : parseCookies(request.get_header_value("Cookie", i))) {
      if (name.find(sessionCookieName) != std::string::npos && signins.isValidSession(value)) {
        return true;
      }
    }
  }
  return false;
}

bool ServiceState::originAllowed(const httplib::Request& request) const {
  if (!request.has_header("Origin")) return true;
  std::optional<std::string> claimed = originOf(request.get_header_value("Origin"));
  return claimed && *claimed == origin;
}

void handleSignin(ServiceState& state, const httplib::Request& request,
                  httplib::Response& response) {
  nlohmann::json body = parseJson(request.body);
  if (!body.is_object()) {
    return replyError(response, 400, "The sign-in request must be a JSON object.");
  }
  auto action = body.find("action");
  if (action != body.end() && *action == "begin") {
    SigninStore::Begun begun = state.signins.begin();
    return replyJson(response, 200,
                     {{"id", begun.id}, {"secret", begun.secret}, {"code", begun.code}});
  }
  if (action != body.end() && *action == "redeem") {
    auto id = body.find("id");
    auto secret = body.find("secret");
    if (id == body.end() || !id->is_string() || secret == body.end() || !secret->is_string()) {
      return replyError(response, 400, "A redeem request needs the strings \"id\" and \"secret\".");
    }
    SigninStore::Redeemed redeemed =
        state.signins.redeem(id->get<std::string>(), secret->get<std::string>());
    switch (redeemed.outcome) {
      case SigninStore::RedeemOutcome::pending:
        return replyJson(response, 200, {{"session", nullptr}});
      case SigninStore::RedeemOutcome::approved:
        return replyJson(response, 200,
                         {{"session", {{"name", sessionCookieName}, {"value", redeemed.session}}}});
      case SigninStore::RedeemOutcome::unknown:
        break;
    }
    return replyError(response, 404, "This sign-in request is unknown or has expired.");
  }
  replyError(response, 400, "Unknown sign-in action: use \"begin\" or \"redeem\".");
}

namespace {

void uploadChunk(ServiceState& state, const std::string& meetingId, const httplib::Request& request,
                 httplib::Response& response) {
  std::optional<std::int64_t> sequence;
  if (request.get_param_value_count("sequence") == 1) {
    sequence = parseSequence(request.get_param_value("sequence"));
  }
  if (!sequence) {
    return replyError(response, 400,
                      "The chunk sequence is missing or not a number from 0 to 999999.");
  }
  if (mediaType(request.get_header_value("Content-Type")) != "audio/wav") {
    return replyError(response, 400, "Audio chunks must be sent as audio/wav.");
  }
  if (std::optional<std::string> problem = checkChunk(request.body)) {
    return replyError(response, 400, *problem);
  }
  if (std::optional<std::string> problem =
          state.meetings.storeChunk(meetingId, *sequence, request.body)) {
    return replyError(response, 500, *problem);
  }
  replyJson(response, 200, {{"ok", true}, {"sequence", *sequence}});
}

void summarize(ServiceState& state, const std::string& meetingId, const httplib::Request& request,
               httplib::Response& response) {
  nlohmann::json body = parseJson(request.body);
  if (!body.is_object()) return replyError(response, 400, "The request must be a JSON object.");
  if (auto action = body.find("action"); action == body.end() || *action != "summarize") {
    return replyError(response, 400, "Unknown meeting action: use \"summarize\".");
  }
  auto expected = body.find("expectedChunks");
  if (expected == body.end() || !expected->is_number_integer() || *expected < 1 ||
      *expected > maximumSequence + 1) {
    return replyError(response, 400, "\"expectedChunks\" must be a whole number of chunks.");
  }
  std::int64_t count = expected->get<std::int64_t>();
  if (std::optional<std::int64_t> missing = state.meetings.summarize(meetingId, count)) {
    return replyError(response, 409,
                      "Chunk " + std::to_string(*missing) + " of " + std::to_string(count) +
                          " has not been uploaded for this meeting.");
  }
  replyJson(response, 200, {{"ok", true}});
}

}  // namespace

void handleMeetings(ServiceState& state, const httplib::Request& request,
                    httplib::Response& response) {
  // "/api/meetings/<id>" or "/api/meetings/<id>/audio".
  constexpr std::string_view prefix = "/api/meetings/";
  constexpr std::string_view audioSuffix = "/audio";
  std::string_view rest = request.path;
  if (!rest.starts_with(prefix)) return replyError(response, 404, "Not found.");
  rest.remove_prefix(prefix.size());
  const bool isAudio = rest.ends_with(audioSuffix);
  if (isAudio) rest.remove_suffix(audioSuffix.size());
  if (rest.empty() || rest.find('/') != std::string_view::npos) {
    return replyError(response, 404, "Not found.");
  }
  std::string meetingId(rest);
  if (!isValidMeetingId(meetingId)) {
    return replyError(response, 400, "The meeting identifier is not valid.");
  }
  if (isAudio) return uploadChunk(state, meetingId, request, response);
  summarize(state, meetingId, request, response);
}

}  // namespace halden::devservice
