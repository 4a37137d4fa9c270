// The service as a process: HTTPS, loopback-only listening, refusal of bad
// command lines, and a clean exit on SIGTERM and SIGINT.
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "devservice/service_fixture.h"

namespace halden::devservice::testing {
namespace {

namespace fs = std::filesystem;
using halden::testing::DevService;
using halden::testing::DevServiceOptions;

// A self-signed certificate for 127.0.0.1, made with the openssl tool.
bool makeCertificate(const fs::path& folder) {
  std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 "
      "-addext subjectAltName=IP:127.0.0.1 -days 1 -keyout '" +
      (folder / "key.pem").string() + "' -out '" + (folder / "cert.pem").string() + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

int exitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// The temporary data folder the service announced on stderr.
fs::path announcedDataFolder(const std::string& stderrText) {
  std::smatch match;
  std::regex line("data in (.*)\n");
  return std::regex_search(stderrText, match, line) ? fs::path(match[1].str()) : fs::path();
}

class HttpsTest : public ServiceTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(makeCertificate(temp_.path()));
    options_.tlsCertificate = temp_ / "cert.pem";
    options_.tlsKey = temp_ / "key.pem";
    startService(options_);
  }
  DevServiceOptions options_;
};

TEST_F(HttpsTest, ServesTheWholeContractOverTls) {
  EXPECT_TRUE(service_.baseUrl().starts_with("https://127.0.0.1:")) << service_.baseUrl();
  httplib::Result page = get("/clients/workspace");
  ASSERT_TRUE(page) << httplib::to_string(page.error());
  EXPECT_EQ(page->status, 200);
  httplib::Result uploaded = upload(meetingId, "0", wavChunk(100));
  ASSERT_TRUE(uploaded);
  EXPECT_EQ(bodyJson(uploaded), nlohmann::json({{"ok", true}, {"sequence", 0}}));
  EXPECT_EQ(requests()[1]["origin"], "");

  addFault({{"path", "/login"}, {"kind", "drop"}});
  EXPECT_FALSE(get("/login"));
  EXPECT_EQ(get("/login")->status, 200);
}

TEST_F(HttpsTest, ClientWithoutTheCertificateIsRefused) {
  httplib::Client untrusting(service_.baseUrl());
  untrusting.enable_server_certificate_verification(true);
  untrusting.set_ca_cert_path("/nonexistent-ca.pem");
  httplib::Result result = untrusting.Get("/clients/workspace");
  EXPECT_FALSE(result);
  // The failed handshake did not disturb the service.
  EXPECT_TRUE(get("/login"));
}

TEST(DevServiceProcess, RefusesToListenBeyondLoopback) {
  for (const char* host : {"0.0.0.0", "::", "10.1.2.3", "192.168.0.1", "localhost"}) {
    DevService service;
    DevServiceOptions options;
    options.host = host;
    EXPECT_FALSE(service.tryStart(options)) << host;
    EXPECT_EQ(exitCode(service.waitForExit()), 2) << host;
    EXPECT_NE(service.stderrText().find("loopback"), std::string::npos) << service.stderrText();
  }
}

TEST(DevServiceProcess, ListensOnAnyLoopbackAddress) {
  DevService service;
  DevServiceOptions options;
  options.host = "127.0.0.2";
  std::string url = service.start(options);
  EXPECT_TRUE(url.starts_with("http://127.0.0.2:")) << url;
  httplib::Client client(url);
  httplib::Result page = client.Get("/login");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST(DevServiceProcess, RefusesUnusableCommandLines) {
  halden::testing::TempFolder temp;
  std::ofstream(temp / "junk.pem") << "not a certificate";
  const std::vector<std::vector<std::string>> commandLines = {
      {"--tls-cert", (temp / "junk.pem").string(), "--tls-key", (temp / "junk.pem").string()},
      {"--tls-cert", (temp / "junk.pem").string()},
      {"--frobnicate"},
      {"--port", "70000"},
  };
  for (const auto& arguments : commandLines) {
    DevService service;
    DevServiceOptions options;
    options.extraArguments = arguments;
    EXPECT_FALSE(service.tryStart(options)) << arguments.front();
    EXPECT_NE(exitCode(service.waitForExit()), 0) << arguments.front();
    EXPECT_FALSE(service.stderrText().empty());
  }
}

TEST(DevServiceProcess, SecondServiceCannotTakeAPortInUse) {
  DevService first;
  ASSERT_FALSE(first.start().empty());
  DevService second;
  DevServiceOptions options;
  options.extraArguments = {"--port", std::to_string(first.port())};
  EXPECT_FALSE(second.tryStart(options));
  EXPECT_EQ(exitCode(second.waitForExit()), 1);
}

TEST(DevServiceProcess, ExitsCleanlyOnSigtermAndSigintAndRemovesItsTemporaryData) {
  for (int signal : {SIGTERM, SIGINT}) {
    DevService service;
    DevServiceOptions options;
    options.sessions = {"s"};
    ASSERT_FALSE(service.start(options).empty());
    fs::path data = announcedDataFolder(service.stderrText());
    ASSERT_FALSE(data.empty()) << service.stderrText();
    EXPECT_TRUE(fs::is_directory(data));
    httplib::Client client(service.baseUrl());
    httplib::Result uploaded =
        client.Post(("/api/meetings/" + std::string(meetingId) + "/audio?sequence=0").c_str(),
                    {{"Cookie", sessionCookie("s")}}, wavChunk(10), "audio/wav");
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(uploaded->status, 200);

    ::kill(service.pid(), signal);
    int status = service.waitForExit();
    EXPECT_TRUE(WIFEXITED(status)) << "signal " << signal;
    EXPECT_EQ(exitCode(status), 0);
    EXPECT_FALSE(fs::exists(data)) << data;
  }
}

// Regression: a SIGTERM that arrived before the listener thread was running
// was lost, and the service served on until it was killed.
TEST(DevServiceProcess, StopsWhenSignalledRightAfterItIsReady) {
  for (int i = 0; i < 10; ++i) {
    DevService service;
    ASSERT_FALSE(service.start().empty());
    int status = service.stop();
    EXPECT_TRUE(WIFEXITED(status)) << "run " << i << ", status " << status;
    EXPECT_EQ(exitCode(status), 0);
  }
}

TEST(DevServiceProcess, PendingDelayDoesNotKeepTheServiceFromStopping) {
  DevService service;
  std::string url = service.start();
  ASSERT_FALSE(url.empty());
  httplib::Client client(url);
  ASSERT_EQ(client
                .Post("/__control/faults", R"({"path":"/login","kind":"delay","delayMs":600000})",
                      "application/json")
                ->status,
            200);
  std::thread waiting([&] { client.Get("/login"); });
  httplib::Client observer(url);
  while (observer.Get("/__control/faults")->body != R"({"faults":[]})") {
    std::this_thread::yield();
  }
  int status = service.stop();
  waiting.join();
  // A normal exit, not the SIGKILL the helper sends after its grace period.
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(exitCode(status), 0);
}

TEST(DevServiceProcess, KeepsADataFolderItWasGiven) {
  halden::testing::TempFolder temp;
  {
    DevService service;
    DevServiceOptions options;
    options.dataFolder = temp / "data" / "nested";
    options.sessions = {"s"};
    ASSERT_FALSE(service.start(options).empty());
    httplib::Client client(service.baseUrl());
    client.Post(("/api/meetings/" + std::string(meetingId) + "/audio?sequence=0").c_str(),
                {{"Cookie", sessionCookie("s")}}, wavChunk(10), "audio/wav");
    EXPECT_EQ(exitCode(service.stop()), 0);
  }
  EXPECT_TRUE(fs::exists(temp / "data" / "nested" / meetingId / "chunk-0.wav"));
}

}  // namespace
}  // namespace halden::devservice::testing
