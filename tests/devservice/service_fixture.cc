#include "devservice/service_fixture.h"

#include <sys/wait.h>

#include <cstdint>

namespace halden::devservice::testing {
namespace {

void putLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

}  // namespace

std::string wavChunk(std::size_t samples, int seed) {
  const auto payload = static_cast<std::uint32_t>(samples * 2);
  std::string out = "RIFF";
  putLe(out, payload + 36, 4);
  out += "WAVEfmt ";
  putLe(out, 16, 4);
  putLe(out, 1, 2);
  putLe(out, 1, 2);
  putLe(out, 16000, 4);
  putLe(out, 32000, 4);
  putLe(out, 2, 2);
  putLe(out, 16, 2);
  out += "data";
  putLe(out, payload, 4);
  for (std::size_t i = 0; i < samples; ++i) {
    putLe(out, static_cast<std::uint32_t>((i * 37 + static_cast<std::size_t>(seed)) & 0xffff), 2);
  }
  return out;
}

std::string sessionCookie(const std::string& value) { return "authjs.session-token=" + value; }

void ServiceTest::SetUp() { startService(); }

void ServiceTest::TearDown() { stopService(); }

void ServiceTest::stopService() {
  if (!service_.running()) return;
  int status = service_.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "halden-devservice ended with status " << status << "\n"
      << service_.stderrText();
}

void ServiceTest::startService(halden::testing::DevServiceOptions options) {
  stopService();
  options.sessions.push_back(testSession);
  std::string url = service_.start(options);
  ASSERT_FALSE(url.empty());
  client_ = std::make_unique<httplib::Client>(url);
  if (!options.tlsCertificate.empty()) {
    client_->set_ca_cert_path(options.tlsCertificate.c_str());
    client_->enable_server_certificate_verification(true);
  }
  client_->set_read_timeout(30, 0);
}

httplib::Result ServiceTest::get(const std::string& path, const httplib::Headers& headers) {
  return client_->Get(path.c_str(), headers);
}

httplib::Result ServiceTest::post(const std::string& path, const std::string& body,
                                  const std::string& contentType, const httplib::Headers& headers) {
  return client_->Post(path.c_str(), headers, body, contentType.c_str());
}

httplib::Result ServiceTest::postJson(const std::string& path, const nlohmann::json& body,
                                      const httplib::Headers& headers) {
  return post(path, body.dump(), "application/json", headers);
}

httplib::Result ServiceTest::upload(const std::string& meeting, const std::string& sequence,
                                    const std::string& bytes) {
  return post("/api/meetings/" + meeting + "/audio?sequence=" + sequence, bytes, "audio/wav",
              {{"Cookie", sessionCookie()}});
}

httplib::Result ServiceTest::summarize(const std::string& meeting,
                                       const nlohmann::json& expectedChunks) {
  return postJson("/api/meetings/" + meeting,
                  {{"action", "summarize"}, {"expectedChunks", expectedChunks}},
                  {{"Cookie", sessionCookie()}});
}

nlohmann::json ServiceTest::control(const std::string& path) {
  httplib::Result result = get(path);
  EXPECT_TRUE(result && result->status == 200) << path;
  return result ? bodyJson(result) : nlohmann::json();
}

nlohmann::json ServiceTest::controlPost(const std::string& path, const nlohmann::json& body) {
  httplib::Result result = postJson(path, body);
  EXPECT_TRUE(result && result->status == 200) << path << " " << body.dump();
  return result ? bodyJson(result) : nlohmann::json();
}

void ServiceTest::addFault(const nlohmann::json& fault) { controlPost("/__control/faults", fault); }

nlohmann::json ServiceTest::requests() { return control("/__control/log")["requests"]; }

nlohmann::json bodyJson(const httplib::Result& result) {
  if (!result) return nlohmann::json();
  return nlohmann::json::parse(result->body, nullptr, false);
}

}  // namespace halden::devservice::testing
