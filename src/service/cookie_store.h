// The workspace's cookie jar, as the service client sees it, and the choice of
// the sign-in cookies that authenticated requests carry.
//
// Cookies travel one way only: from this store into requests. Nothing a
// response sets comes back here; only the desktop sign-in adds a cookie.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/task.h"

namespace halden {

struct Cookie {
  std::string name;
  std::string value;
  std::string domain;  // may carry a leading "." (domain cookies)
  std::string path = "/";
  // Absent for a session cookie that ends with the browsing session.
  std::optional<std::chrono::system_clock::time_point> expires;
  bool httpOnly = false;
  bool secure = false;
  std::string sameSite;  // "Lax", "Strict", "None" or empty (unset)

  bool operator==(const Cookie&) const = default;
};

// The web view's cookie store (the desktop shell wraps WebKit's cookie
// manager). Both operations complete on the awaiting task's main context.
class CookieStore {
 public:
  virtual ~CookieStore() = default;
  // Every cookie of the store, in the store's order. Cannot fail: a store
  // that cannot be read yields no cookies.
  virtual Task<std::vector<Cookie>> getAll() = 0;
  // Adds `cookie`, replacing one with the same name, domain and path; resumes
  // once the store has confirmed.
  virtual Task<Result<void>> add(Cookie cookie) = 0;
};

// The text every sign-in cookie name contains: the plain name, the same name
// behind a prefix ("__Secure-") and split cookies with a numbered suffix.
inline constexpr std::string_view sessionCookieMarker = "authjs.session-token";

// The cookies an authenticated request to `host` carries, in store order:
// those whose domain, with every leading and trailing "." removed, equals
// `host` exactly and whose name contains sessionCookieMarker. Cookies whose
// name or value could break the header line (control characters, ';' in a
// name, an empty name) are left out. No host selects nothing.
std::vector<Cookie> selectSessionCookies(const std::vector<Cookie>& cookies,
                                         const std::optional<std::string>& host);

// The value of the one "Cookie" header field for `cookies`: "n=v; n2=v2";
// std::nullopt when `cookies` is empty (no field is sent then).
std::optional<std::string> cookieHeaderValue(const std::vector<Cookie>& cookies);

}  // namespace halden
