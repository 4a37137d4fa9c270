#include "service/client_test_support.h"

#include <curl/curl.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "store/wave.h"
#include "testing/temp_folder.h"

namespace halden::testing {
namespace fs = std::filesystem;

Task<std::vector<Cookie>> MemoryCookieStore::getAll() {
  ++getAllCalls;
  co_return cookies;
}

Task<Result<void>> MemoryCookieStore::add(Cookie cookie) {
  std::erase_if(cookies, [&](const Cookie& c) {
    return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
  });
  cookies.push_back(std::move(cookie));
  co_return success();
}

Task<Result<HttpResponse>> ScriptedTransport::send(HttpRequest request) {
  requests.push_back(request);
  co_return answer_(requests.back());
}

HttpResponse jsonResponse(int status, const nlohmann::json& body) {
  return HttpResponse{status, body.dump()};
}

Task<void> RecordingShell::alert(std::string title, std::string message) {
  alerts.emplace_back(std::move(title), std::move(message));
  co_return;
}

nlohmann::json ControlAnswer::json() const {
  nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded()) << body;
  return parsed;
}

namespace {

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

}  // namespace

ControlAnswer control(const DevService& service, const std::string& method, const std::string& path,
                      const std::string& body) {
  ControlAnswer answer;
  CURL* curl = curl_easy_init();
  std::string url = service.url(path);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  // The control API of a test's own child process; its certificate is made
  // by the test.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  CURLcode code = curl_easy_perform(curl);
  EXPECT_EQ(code, CURLE_OK) << method << " " << url << ": " << curl_easy_strerror(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return answer;
}

namespace {

struct SharedServices {
  std::unique_ptr<TempFolder> folder;
  std::unique_ptr<DevService> http;
  std::unique_ptr<DevService> https;
  std::optional<SharedService> httpSetup;
  std::optional<SharedService> httpsSetup;
};

SharedServices& sharedServices() {
  static SharedServices services;
  return services;
}

class SharedServicesEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    SharedServices& services = sharedServices();
    services.http.reset();
    services.https.reset();
    services.folder.reset();
  }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new SharedServicesEnvironment);

}  // namespace

const SharedService& sharedService(bool https) {
  SharedServices& services = sharedServices();
  if (!services.folder) services.folder = std::make_unique<TempFolder>();
  DevServiceOptions options;
  options.sessions = {std::string(sessionValue)};
  if (!https) {
    if (!services.httpSetup) {
      services.http = std::make_unique<DevService>();
      std::string url = services.http->start(options);
      services.httpSetup = SharedService{services.http.get(), url, std::nullopt};
    }
    return *services.httpSetup;
  }
  if (!services.httpsSetup) {
    Certificate certificate = makeCertificate(services.folder->path());
    options.tlsCertificate = certificate.certificate;
    options.tlsKey = certificate.key;
    services.https = std::make_unique<DevService>();
    std::string url = services.https->start(options);
    services.httpsSetup = SharedService{services.https.get(), url, certificate.certificate};
  }
  return *services.httpsSetup;
}

std::vector<nlohmann::json> serviceLog(const DevService& service) {
  nlohmann::json log = control(service, "GET", "/__control/log").json();
  std::vector<nlohmann::json> requests;
  for (const nlohmann::json& entry : log.at("requests")) requests.push_back(entry);
  return requests;
}

void waitForLog(const DevService& service, std::size_t count) {
  for (int i = 0; i < 200 && serviceLog(service).size() < count; ++i) g_usleep(50'000);
}

void addFault(const DevService& service, const nlohmann::json& fault) {
  ControlAnswer answer = control(service, "POST", "/__control/faults", fault.dump());
  EXPECT_EQ(answer.status, 200) << fault.dump() << " -> " << answer.body;
}

void resetService(const DevService& service) {
  ControlAnswer answer = control(service, "POST", "/__control/reset", "{}");
  EXPECT_EQ(answer.status, 200) << answer.body;
}

Certificate makeCertificate(const fs::path& folder) {
  Certificate made{folder / "cert.pem", folder / "key.pem"};
  std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -days 1 -keyout '" +
      made.key.string() + "' -out '" + made.certificate.string() + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return made;
}

void writeMeeting(const fs::path& folder, double seconds) {
  fs::create_directories(folder);
  const auto frames = static_cast<std::size_t>(seconds * meetingSampleRate);
  std::vector<float> block(16000);
  for (std::string_view name : {systemTrackName, microphoneTrackName}) {
    auto writer = TrackWriter::create(folder / trackFileName(name));
    ASSERT_TRUE(writer.ok()) << writer.error().description();
    const double frequency = name == systemTrackName ? 440.0 : 523.25;
    for (std::size_t start = 0; start < frames; start += block.size()) {
      const std::size_t count = std::min(block.size(), frames - start);
      for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(start + i) / meetingSampleRate;
        block[i] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * frequency * t) +
                                      0.05 * std::sin(7.0 * t));
      }
      ASSERT_TRUE((*writer)->append(std::span<const float>(block.data(), count)).ok());
    }
    ASSERT_TRUE((*writer)->close().ok());
  }
  ASSERT_TRUE(writeTiming({{std::string(systemTrackName), 100.0},
                           {std::string(microphoneTrackName), 100.25}},
                          folder)
                  .ok());
}

std::map<std::string, std::string> folderHashes(const fs::path& folder) {
  std::map<std::string, std::string> hashes;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    hashes[fs::relative(entry.path(), folder).string()] = audioHash(readBytes(entry.path()));
  }
  return hashes;
}

}  // namespace halden::testing
