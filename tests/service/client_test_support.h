// Shared pieces of the service client's tests: in-memory fakes of the shell
// and the cookie store, a scripted transport, the devservice's control API,
// test certificates and meeting folders.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/cookie_store.h"
#include "service/desktop_signin.h"
#include "service/http_transport.h"
#include "testing/devservice_process.h"

namespace halden::testing {

// A cookie store in memory; add() replaces a cookie of equal name, domain
// and path, as WebKit's store does.
class MemoryCookieStore : public CookieStore {
 public:
  Task<std::vector<Cookie>> getAll() override;
  Task<Result<void>> add(Cookie cookie) override;

  std::vector<Cookie> cookies;
  int getAllCalls = 0;
};

// Answers each request with what `answer` returns, and remembers the requests.
class ScriptedTransport : public HttpTransport {
 public:
  explicit ScriptedTransport(std::function<Result<HttpResponse>(const HttpRequest&)> answer)
      : answer_(std::move(answer)) {}
  Task<Result<HttpResponse>> send(HttpRequest request) override;

  std::vector<HttpRequest> requests;

 private:
  std::function<Result<HttpResponse>(const HttpRequest&)> answer_;
};

HttpResponse jsonResponse(int status, const nlohmann::json& body);

// The shell as the sign-in sees it; every call is recorded.
class RecordingShell : public SignInShell {
 public:
  void openInBrowser(const std::string& url) override { opened.push_back(url); }
  void showHtml(const std::string& html, const std::string& baseUrl) override {
    pages.emplace_back(html, baseUrl);
  }
  void showWorkspace() override { ++workspaceShown; }
  Task<void> alert(std::string title, std::string message) override;

  std::vector<std::string> opened;
  std::vector<std::pair<std::string, std::string>> pages;  // html, base URL
  int workspaceShown = 0;
  std::vector<std::pair<std::string, std::string>> alerts;  // title, message
};

// The devservice's control API (/__control/...), called synchronously.
struct ControlAnswer {
  long status = 0;
  std::string body;
  nlohmann::json json() const;
};
ControlAnswer control(const DevService& service, const std::string& method, const std::string& path,
                      const std::string& body = "");
// GET /__control/log: the requests as the service logged them.
std::vector<nlohmann::json> serviceLog(const DevService& service);
// Waits (up to 10 s) until the service has logged at least `count` requests:
// a request whose client gave up is still answered, later, by the service.
void waitForLog(const DevService& service, std::size_t count);
// Installs one fault.
void addFault(const DevService& service, const nlohmann::json& fault);
void resetService(const DevService& service);

// A self-signed certificate for 127.0.0.1, made with the openssl tool.
struct Certificate {
  std::filesystem::path certificate;
  std::filesystem::path key;
};
Certificate makeCertificate(const std::filesystem::path& folder);

// A devservice shared by the tests of this executable, started on first use
// and stopped when the test program ends. It knows the session sessionValue.
inline constexpr std::string_view sessionValue = "client-test-session";
struct SharedService {
  DevService* service;
  std::string baseUrl;
  std::optional<std::filesystem::path> caFile;  // set for https
};
const SharedService& sharedService(bool https);

// Writes a meeting folder: both tracks with `seconds` of distinct 16 kHz
// audio each and a timing.json that lines them up.
void writeMeeting(const std::filesystem::path& folder, double seconds);

// Relative path -> SHA-256 of every regular file below `folder`.
std::map<std::string, std::string> folderHashes(const std::filesystem::path& folder);

}  // namespace halden::testing
