// libcurl behind HttpTransport. Each request gets its own easy handle on a
// background thread of its own; the awaiting task resumes on its main context
// when the exchange has ended. Nothing is shared between requests.
#include <curl/curl.h>

#include <mutex>

#include "base/main_context.h"
#include "service/http_transport.h"

namespace halden {
namespace {

Error curlError(CURLcode code, const char* detail) {
  std::string description = (detail && *detail) ? detail : curl_easy_strerror(code);
  return Error(std::string(curlErrorDomain), static_cast<int>(code), std::move(description));
}

struct EasyHandle {
  CURL* handle = curl_easy_init();
  ~EasyHandle() {
    if (handle) curl_easy_cleanup(handle);
  }
};

struct HeaderList {
  curl_slist* list = nullptr;
  ~HeaderList() { curl_slist_free_all(list); }
  bool append(const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (!grown) return false;
    list = grown;
    return true;
  }
};

// Collects the body up to limit + 1 bytes. Returning less than it was given
// makes libcurl end the transfer with CURLE_WRITE_ERROR; `overflowed` tells
// that apart from a real write failure.
struct BodySink {
  std::size_t limit;
  std::string body;
  bool overflowed = false;

  static size_t write(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<BodySink*>(user);
    std::size_t bytes = size * count;
    std::size_t room = self->limit + 1 - self->body.size();
    if (bytes < room) {
      self->body.append(data, bytes);
      return bytes;
    }
    self->body.append(data, room);
    self->overflowed = true;
    return 0;
  }
};

Result<HttpResponse> perform(const HttpRequest& request, const CurlTransportOptions& options) {
  // Declared before the handle, so that they outlive its clean-up, which may
  // still use them.
  char errorBuffer[CURL_ERROR_SIZE] = {};
  BodySink sink{options.bodyLimit, {}};
  HeaderList headers;
  EasyHandle easy;
  if (!easy.handle) return curlError(CURLE_FAILED_INIT, nullptr);
  CURL* curl = easy.handle;

  for (const auto& [name, value] : request.headers) {
    if (!headers.append(name + ": " + value)) return curlError(CURLE_OUT_OF_MEMORY, nullptr);
  }
  // Large bodies would otherwise wait for a "100 Continue" round trip first.
  if (!headers.append("Expect:")) return curlError(CURLE_OUT_OF_MEMORY, nullptr);

  CURLcode setup = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (setup == CURLE_OK) setup = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_ERRORBUFFER, errorBuffer);
  set(CURLOPT_URL, request.url.c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_POST, 1L);
  set(CURLOPT_POSTFIELDS, reinterpret_cast<const char*>(request.body.data()));
  set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  set(CURLOPT_HTTPHEADER, headers.list);
  set(CURLOPT_FOLLOWLOCATION, 0L);
  // No cap on the whole exchange: a 1,920,044-byte chunk on a slow uplink may
  // take many minutes. What fails a request is a connection not made in time,
  // or one over which less than 1 byte per second moves for the idle time;
  // either ends it with CURLE_OPERATION_TIMEDOUT.
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
  set(CURLOPT_LOW_SPEED_LIMIT, 1L);
  set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(options.idleTimeout.count()));
  if (options.sendSpeedLimit > 0) {
    set(CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(options.sendSpeedLimit));
  }
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (options.caFile) set(CURLOPT_CAINFO, options.caFile->c_str());
  set(CURLOPT_WRITEFUNCTION, &BodySink::write);
  set(CURLOPT_WRITEDATA, &sink);
  if (setup != CURLE_OK) return curlError(setup, nullptr);

  CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && sink.overflowed)) {
    return curlError(code, errorBuffer);
  }
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  HttpResponse response;
  if (status > 0) response.status = static_cast<int>(status);
  response.body = std::move(sink.body);
  return response;
}

class CurlTransport final : public HttpTransport {
 public:
  explicit CurlTransport(CurlTransportOptions options) : options_(std::move(options)) {}

  Task<Result<HttpResponse>> send(HttpRequest request) override {
    // A named awaiter: GCC 12 mishandles lambda temporaries with captures
    // inside a co_await expression (they end up destroyed twice).
    auto exchange = onBackgroundThread(
        [request = std::move(request), options = options_] { return perform(request, options); });
    co_return co_await exchange;
  }

 private:
  CurlTransportOptions options_;
};

}  // namespace

std::unique_ptr<HttpTransport> createCurlTransport(CurlTransportOptions options) {
  // libcurl's global set-up must happen once before any handle exists, and
  // before other threads use libcurl.
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  return std::make_unique<CurlTransport>(std::move(options));
}

}  // namespace halden
