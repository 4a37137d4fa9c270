// Sending one HTTP POST and receiving its answer, without blocking the main
// thread. The portable face of the HTTP client; the libcurl implementation is
// in http_transport_curl.cc.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/task.h"
#include "service/response.h"
#include "store/files.h"

namespace halden {

struct HttpRequest {
  std::string url;  // absolute http or https URL
  // Header fields in the order they are sent, e.g. {"Content-Type", "audio/wav"}.
  std::vector<std::pair<std::string, std::string>> headers;
  Bytes body;  // sent unchanged, also when empty
};

struct HttpResponse {
  // The HTTP status code; absent when the answer carried none.
  std::optional<int> status;
  // The body, cut off at the transport's body limit + 1 byte: a body longer
  // than the limit arrives as exactly limit + 1 bytes, so that decoding sees
  // it is too large while no more than that was ever held in memory.
  std::string body;
};

// Sends requests. One request is one connection of its own: no state, no
// cookies and no cache are kept between requests, and redirects are never
// followed (a 3xx answer is the response).
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // POSTs `request` and resumes the awaiting task, on its main context, with
  // the response. The network work runs off the calling thread. Fails with
  // the HTTP library's own error (no connection, time-out, TLS failure,
  // broken connection); any answer with a status, including 4xx and 5xx, is
  // a response.
  virtual Task<Result<HttpResponse>> send(HttpRequest request) = 0;
};

struct CurlTransportOptions {
  // A request fails once no byte has moved, in either direction, for this
  // long: a slow link may take any time as long as bytes keep flowing.
  // libcurl judges the speed over its last five seconds or so, so the failure
  // comes about that much after the idle time has passed. Whole seconds; 0
  // turns the limit off.
  std::chrono::seconds idleTimeout = std::chrono::seconds(300);
  // Name resolution, TCP connect and TLS handshake must end within this time.
  // None of them depends on the link's speed: 30 s covers a congested or
  // distant link, while a wrong address or a host that is down ends the
  // attempt without holding it for the whole idle time.
  std::chrono::milliseconds connectTimeout = std::chrono::seconds(30);
  // Longest body kept; see HttpResponse::body.
  std::size_t bodyLimit = responseBodyLimit;
  // Tests only: trust the certificates in this PEM file instead of the
  // system's CA store. The product always verifies against the system store.
  std::optional<std::filesystem::path> caFile;
  // Tests and slow-link measurements only: sends the body no faster than this
  // many bytes per second. 0, the default, sends at full speed.
  int64_t sendSpeedLimit = 0;
};

// The libcurl transport: one easy handle per request on a background thread,
// POST, TLS peer and host verification on, no cookie engine, no redirects,
// http and https only. Errors have domain "libcurl", the CURLcode as code and
// libcurl's own text as description.
std::unique_ptr<HttpTransport> createCurlTransport(CurlTransportOptions options = {});

inline constexpr std::string_view curlErrorDomain = "libcurl";

}  // namespace halden
