#include "service/desktop_signin.h"

#include <algorithm>
#include <utility>

#include "base/main_context.h"

namespace halden {
namespace {

constexpr std::string_view signInPath = "api/desktop/signin";

std::string escapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The string member `key` of `object`, if it is one.
const std::string* stringMember(const JsonObject& object, const char* key) {
  auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return nullptr;
  return found->get_ptr<const std::string*>();
}

// False for a cookie that cannot be kept as sent: an empty name or domain, or
// a name or value that would break a Cookie header line.
bool buildable(const Cookie& cookie) {
  auto control = [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  };
  auto badName = [&](char c) { return control(c) || c == ';' || c == '=' || c == ' '; };
  auto badValue = [&](char c) { return control(c) || c == ';'; };
  return !cookie.name.empty() && std::none_of(cookie.name.begin(), cookie.name.end(), badName) &&
         std::none_of(cookie.value.begin(), cookie.value.end(), badValue) && !cookie.domain.empty();
}

}  // namespace

std::string signInCodePage(std::string_view code) {
  return "<html><body style='font:17px -apple-system;background:#f8fafc;color:#0f2d5e;"
         "padding:80px'><h1>Connect Halden for Mac</h1><p>Enter this code in the browser "
         "window you just opened.</p><p style='font-size:42px;letter-spacing:10px'>" +
         escapeHtml(code) + "</p><p>This code expires in five minutes.</p></body></html>";
}

Cookie sessionCookie(const ServiceUrl& appUrl, std::string name, std::string value,
                     std::chrono::system_clock::time_point now) {
  Cookie cookie;
  cookie.name = std::move(name);
  cookie.value = std::move(value);
  cookie.domain = appUrl.host().value_or("");
  cookie.path = "/";
  cookie.expires = now + sessionCookieLifetime;
  cookie.httpOnly = true;
  cookie.sameSite = "Lax";
  cookie.secure = appUrl.scheme() == "https";
  return cookie;
}

DesktopSignIn::DesktopSignIn(ServiceClient& client, CookieStore& cookies, SignInShell& shell,
                             Sleep sleep)
    : client_(client), cookies_(cookies), shell_(shell), sleep_(std::move(sleep)) {}

Task<void> DesktopSignIn::defaultSleep(std::chrono::milliseconds duration) {
  co_await sleepFor(duration);
}

void DesktopSignIn::signIn() {
  if (signingIn_) return;
  signingIn_ = true;
  spawn(run());
}

Task<void> DesktopSignIn::run() {
  Result<void> result = co_await flow();
  if (!result.ok()) {
    co_await shell_.alert(std::string(signInAlertTitle), result.error().description());
  }
  signingIn_ = false;
}

Task<Result<void>> DesktopSignIn::flow() {
  JsonObject begin;
  begin["action"] = "begin";
  HALDEN_CO_TRY(JsonObject begun,
                co_await client_.post(std::string(signInPath), std::move(begin), false));
  const std::string* id = stringMember(begun, "id");
  const std::string* secret = id ? stringMember(begun, "secret") : nullptr;
  const std::string* code = secret ? stringMember(begun, "code") : nullptr;
  if (!code) co_return failure(std::string(signInStartMessage));
  // Kept in memory for this flow only; neither is written anywhere.
  const std::string requestId = *id;
  const std::string requestSecret = *secret;

  // The identifier is the service's text; encoded, it can never turn the
  // address into another one (an "&", "#" or "/" stays part of the value).
  std::optional<ServiceUrl> connect =
      client_.appUrl().resolve("/desktop/connect?id=" + percentEncode(requestId));
  if (!connect) co_return failure(std::string(signInStartMessage));
  shell_.openInBrowser(connect->text());
  shell_.showHtml(signInCodePage(*code), client_.appUrl().text());

  for (int attempts = 0; attempts < signInMaximumPolls; ++attempts) {
    co_await sleep_(signInPollInterval);
    JsonObject redeem;
    redeem["action"] = "redeem";
    redeem["id"] = requestId;
    redeem["secret"] = requestSecret;
    HALDEN_CO_TRY(JsonObject answer,
                  co_await client_.post(std::string(signInPath), std::move(redeem), false));
    auto session = answer.find("session");
    if (session == answer.end() || !session->is_object()) continue;
    const std::string* name = stringMember(*session, "name");
    const std::string* value = stringMember(*session, "value");
    if (!name || !value) continue;

    Cookie cookie =
        sessionCookie(client_.appUrl(), *name, *value, std::chrono::system_clock::now());
    if (!buildable(cookie)) co_return failure(std::string(signInSaveMessage));
    Result<void> stored = co_await cookies_.add(std::move(cookie));
    if (!stored.ok()) co_return failure(std::string(signInSaveMessage));
    shell_.showWorkspace();
    co_return success();
  }
  co_return failure(std::string(signInExpiredMessage));
}

}  // namespace halden
