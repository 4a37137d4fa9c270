// Small HTTP helpers shared by the stand-in service's handlers.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace halden::devservice {

// Compact JSON; invalid UTF-8 in strings (a header can hold any bytes) is
// replaced rather than thrown on.
std::string jsonText(const nlohmann::json& value);

void replyJson(httplib::Response& response, int status, const nlohmann::json& body);
void replyError(httplib::Response& response, int status, const std::string& message);
void replyHtml(httplib::Response& response, int status, const std::string& html);

// The name=value pairs of a Cookie header, in order; malformed pieces skipped.
std::vector<std::pair<std::string, std::string>> parseCookies(const std::string& header);

// The lower-cased media type of a Content-Type value, without parameters.
std::string mediaType(const std::string& contentType);

// The body parsed as JSON, or a discarded value when it is not JSON.
nlohmann::json parseJson(const std::string& body);

// The session cookie name: every cookie whose name contains it is a candidate.
inline constexpr const char* sessionCookieName = "authjs.session-token";

}  // namespace halden::devservice
