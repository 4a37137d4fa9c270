// Fakes for the service client's tests, and the stand-in service.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/cookie_store.h"
#include "service/http_transport.h"
#include "testing/devservice_process.h"
#include "testing/stand_in_control.h"
#include "testing/temp_folder.h"

namespace halden::testing {

class MemoryCookieStore : public CookieStore {
 public:
  Task<std::vector<Cookie>> getAll() override {
    ++getAllCalls;
    co_return cookies;
  }
  Task<Result<void>> add(Cookie cookie) override {
    cookies.push_back(std::move(cookie));
    co_return success();
  }

  std::vector<Cookie> cookies;
  int getAllCalls = 0;
};

// Answers each request with what `answer` returns, and remembers the requests.
class ScriptedTransport : public HttpTransport {
 public:
  explicit ScriptedTransport(std::function<HttpResponse(const HttpRequest&)> script)
      : answer(std::move(script)) {}
  Task<Result<HttpResponse>> send(HttpRequest request) override {
    requests.push_back(std::move(request));
    co_return answer(requests.back());
  }

  std::function<HttpResponse(const HttpRequest&)> answer;
  std::vector<HttpRequest> requests;
};

inline Cookie cookie(std::string name, std::string value, std::string domain) {
  return Cookie{std::move(name), std::move(value), std::move(domain), "/", {}, false, false, ""};
}

// Waits (up to 10 s) until the service has logged at least `count` requests:
// a request whose client gave up is still answered, later, by the service.
inline void waitForLog(StandInControl& control, std::size_t count) {
  for (int i = 0; i < 200 && control.requests().size() < count; ++i) g_usleep(50'000);
}

// A stand-in service shared by the tests of this executable, started on first
// use (https with a certificate made for 127.0.0.1) and stopped when the test
// program ends. It knows the session sessionValue.
inline constexpr std::string_view sessionValue = "client-test-session";
struct SharedService {
  DevService service;
  std::string baseUrl;
  std::optional<std::filesystem::path> caFile;  // set for https
  std::unique_ptr<StandInControl> control;

  CurlTransportOptions transportOptions() const { return {.caFile = caFile}; }
};

// The service for the scheme, with its log, faults and stores reset. Throws
// when the service does not start (the start has recorded why).
inline const SharedService& sharedService(bool https) {
  // Destroyed at exit: the services stop before their folder goes.
  static TempFolder folder;
  static SharedService services[2];  // http, https
  SharedService& setup = services[https];
  if (setup.baseUrl.empty()) {
    DevServiceOptions options;
    options.sessions = {std::string(sessionValue)};
    if (https) {
      options.tlsCertificate = setup.caFile.emplace(folder / "cert.pem");
      options.tlsKey = folder / "key.pem";
      const std::string command =
          "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "
          "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
          options.tlsKey.string() + " -out " + setup.caFile->string() + " 2>/dev/null";
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    setup.baseUrl = setup.service.start(options);
    if (setup.baseUrl.empty()) throw StandInControl::Error("the stand-in service did not start");
    setup.control = std::make_unique<StandInControl>(setup.baseUrl);
  }
  setup.control->reset();
  return setup;
}

}  // namespace halden::testing
