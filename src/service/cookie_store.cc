#include "service/cookie_store.h"

#include <algorithm>

namespace halden {
namespace {

bool isControl(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// A name or value that would end the header line early, or smuggle another
// cookie into it, is never sent.
bool sendable(const Cookie& cookie) {
  auto bad = [](std::string_view text, bool name) {
    return std::any_of(text.begin(), text.end(), [name](char c) {
      return isControl(c) || c == ';' || (name && (c == '=' || c == ' '));
    });
  };
  return !cookie.name.empty() && !bad(cookie.name, true) && !bad(cookie.value, false);
}

std::string_view withoutOuterDots(std::string_view domain) {
  while (domain.starts_with('.')) domain.remove_prefix(1);
  while (domain.ends_with('.')) domain.remove_suffix(1);
  return domain;
}

}  // namespace

std::vector<Cookie> selectSessionCookies(const std::vector<Cookie>& cookies,
                                         const std::optional<std::string>& host) {
  std::vector<Cookie> selected;
  if (!host) return selected;
  for (const Cookie& cookie : cookies) {
    if (withoutOuterDots(cookie.domain) == *host &&
        cookie.name.find(sessionCookieMarker) != std::string::npos && sendable(cookie)) {
      selected.push_back(cookie);
    }
  }
  return selected;
}

std::optional<std::string> cookieHeaderValue(const std::vector<Cookie>& cookies) {
  if (cookies.empty()) return std::nullopt;
  std::string out;
  for (const Cookie& cookie : cookies) {
    if (!out.empty()) out += "; ";
    out += cookie.name + "=" + cookie.value;
  }
  return out;
}

}  // namespace halden
