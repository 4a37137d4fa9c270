// Fakes for the service client's tests, and the stand-in service.
#pragma once

#include <glib.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "service/cookie_store.h"
#include "service/http_transport.h"
#include "testing/devservice_process.h"
#include "testing/temp_folder.h"

namespace halden::testing {

// A cookie store in memory.
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

inline HttpResponse jsonResponse(int status, const nlohmann::json& body) {
  return HttpResponse{status, body.dump()};
}

inline Cookie cookie(std::string name, std::string value, std::string domain) {
  return Cookie{std::move(name), std::move(value), std::move(domain), "/", {}, false, false, ""};
}

// GETs `path` of the control API, or POSTs `post` to it; expects a 200 answer
// and returns its body.
inline std::string control(const DevService& service, const std::string& path,
                           const std::optional<nlohmann::json>& post = std::nullopt) {
  httplib::Client client(service.baseUrl());
  client.enable_server_certificate_verification(false);  // the test's own certificate
  httplib::Result answer =
      post ? client.Post(path, post->dump(), "application/json") : client.Get(path);
  EXPECT_TRUE(answer && answer->status == 200)
      << path << ": " << (answer ? answer->body : httplib::to_string(answer.error()));
  return answer ? answer->body : "";
}

inline nlohmann::json controlJson(const DevService& service, const std::string& path) {
  return nlohmann::json::parse(control(service, path));
}
inline void addFault(const DevService& service, const nlohmann::json& fault) {
  control(service, "/__control/faults", fault);
}
inline void resetService(const DevService& service) {
  control(service, "/__control/reset", nlohmann::json::object());
}
// The requests as the service logged them.
inline std::vector<nlohmann::json> serviceLog(const DevService& service) {
  return controlJson(service, "/__control/log").at("requests");
}
// Waits (up to 10 s) until the service has logged at least `count` requests:
// a request whose client gave up is still answered, later, by the service.
inline void waitForLog(const DevService& service, std::size_t count) {
  for (int i = 0; i < 200 && serviceLog(service).size() < count; ++i) g_usleep(50'000);
}

// A stand-in service shared by the tests of this executable, started on first
// use (https with a certificate made for 127.0.0.1) and stopped when the test
// program ends. It knows the session sessionValue.
inline constexpr std::string_view sessionValue = "client-test-session";
struct SharedService {
  DevService service;
  std::string baseUrl;
  std::optional<std::filesystem::path> caFile;  // set for https

  CurlTransportOptions transportOptions() const { return {.caFile = caFile}; }
};

// The service for the scheme, with its log, faults and stores reset.
inline const SharedService& sharedService(bool https) {
  // Destroyed at exit: the services stop before their folder goes.
  static TempFolder folder;
  static SharedService services[2];  // http, https
  SharedService& setup = services[https];
  if (setup.baseUrl.empty()) {
    DevServiceOptions options;
    options.sessions = {std::string(sessionValue)};
    if (https) {
      options.tlsCertificate = folder / "cert.pem";
      options.tlsKey = folder / "key.pem";
      const std::string command =
          "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 "
          "-addext subjectAltName=IP:127.0.0.1 -days 1 -keyout '" +
          options.tlsKey.string() + "' -out '" + options.tlsCertificate.string() +
          "' >/dev/null 2>&1";
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
      setup.caFile = options.tlsCertificate;
    }
    setup.baseUrl = setup.service.start(options);
  }
  if (!setup.baseUrl.empty()) resetService(setup.service);
  return setup;
}

}  // namespace halden::testing
