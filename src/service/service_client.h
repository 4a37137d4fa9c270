// The one way Halden talks to its service: a POST to a path at the root of the
// service's origin, answered by a JSON object or a user-facing failure.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "base/task.h"
#include "service/cookie_store.h"
#include "service/http_transport.h"
#include "service/response.h"
#include "service/service_url.h"
#include "store/files.h"

namespace halden {

inline constexpr std::string_view invalidRequestMessage = "Invalid Halden request.";
inline constexpr std::string_view unprocessedMessage =
    "Halden could not process the recording. It remains saved on your Mac.";

// Holds no state between calls: every request is built anew, sent on a
// connection of its own and closed. Runs on the main context between its
// waits (the cookie store and the transport); calls may overlap.
//
// REQUIRES: the transport and cookie store outlive the client, and the client
// outlives every task it returned.
class ServiceClient {
 public:
  // `appUrl` is the service base URL: the request base, the "Origin" and the
  // host whose cookies are sent.
  ServiceClient(ServiceUrl appUrl, HttpTransport& transport, CookieStore& cookies)
      : appUrl_(std::move(appUrl)), transport_(transport), cookies_(cookies) {}

  const ServiceUrl& appUrl() const { return appUrl_; }

  // POSTs `body` to "/" + `path` resolved against the base URL. Refuses a URL
  // that leaves the service's origin ("Invalid Halden request."), before
  // anything is sent. Authenticated requests carry the selected sign-in
  // cookies in one "Cookie" field; others carry none. The body is decoded
  // (decodeObjectResponse) before the status is looked at; a non-2xx status
  // fails with the answer's "error" string or unprocessedMessage. Transport
  // errors pass through unchanged.
  Task<Result<JsonObject>> request(std::string path, Bytes body, std::string contentType,
                                   bool authenticated);

  // Serialises `object` compactly and requests it as "application/json". A
  // serialisation error (invalid UTF-8 in a string) passes through unchanged.
  Task<Result<JsonObject>> post(std::string path, JsonObject object, bool authenticated = true);

 private:
  ServiceUrl appUrl_;
  HttpTransport& transport_;
  CookieStore& cookies_;
};

}  // namespace halden
