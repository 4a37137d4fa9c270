// A running halden-devservice and an HTTP client for it, shared by the
// service's integration tests.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "testing/devservice_process.h"
#include "testing/temp_folder.h"

namespace halden::devservice::testing {

inline constexpr const char* testSession = "test-session-7f3a";
inline constexpr const char* meetingId = "0f8fad5b-d9cb-469f-a165-70867728950e";

// A WAV chunk as the desktop app writes it: `samples` 16-bit samples (a ramp)
// behind the 44-byte header.
std::string wavChunk(std::size_t samples, int seed = 0);

std::string sessionCookie(const std::string& value = testSession);

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Stops the service and expects a clean exit: a crash, or a sanitizer
  // report in the child, fails the test that caused it.
  void TearDown() override;

  // Starts (or restarts, after a clean stop) the service with `options`; the
  // session above is always valid.
  void startService(halden::testing::DevServiceOptions options = {});
  void stopService();

  httplib::Result get(const std::string& path, const httplib::Headers& headers = {});
  httplib::Result post(const std::string& path, const std::string& body,
                       const std::string& contentType, const httplib::Headers& headers = {});
  httplib::Result postJson(const std::string& path, const nlohmann::json& body,
                           const httplib::Headers& headers = {});
  // An authenticated chunk upload.
  httplib::Result upload(const std::string& meeting, const std::string& sequence,
                         const std::string& bytes);
  httplib::Result summarize(const std::string& meeting, const nlohmann::json& expectedChunks);

  // Control API; each asserts a 200 answer and returns its JSON.
  nlohmann::json control(const std::string& path);
  nlohmann::json controlPost(const std::string& path, const nlohmann::json& body);
  void addFault(const nlohmann::json& fault);
  nlohmann::json requests();  // The log's "requests" array.

  halden::testing::TempFolder temp_;
  halden::testing::DevService service_;
  std::unique_ptr<httplib::Client> client_;
};

// The answer's body as JSON (discarded when it is not JSON).
nlohmann::json bodyJson(const httplib::Result& result);

}  // namespace halden::devservice::testing
