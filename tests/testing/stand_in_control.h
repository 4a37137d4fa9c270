// A client of the stand-in service's control API (/__control/...): what the
// service stored, logged and was told to do, for tests to plan and check.
//
// Every call that gets no 200 answer throws StandInControl::Error naming the
// path and the answer; GoogleTest reports it as the test's failure, and the
// campaign programs end with it. Only bytes() treats 404 as an answer.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace httplib {
class Client;
}

namespace halden::testing {

class StandInControl {
 public:
  struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // `baseUrl` is the service's own ("http://127.0.0.1:PORT"); with https the
  // service's test certificate is accepted without verification.
  explicit StandInControl(const std::string& baseUrl);
  ~StandInControl();
  StandInControl(const StandInControl&) = delete;
  StandInControl& operator=(const StandInControl&) = delete;

  nlohmann::json get(const std::string& path);
  void post(const std::string& path, const nlohmann::json& body = nlohmann::json::object());
  // The body of a GET; nullopt when the service answers 404.
  std::optional<std::string> bytes(const std::string& path);

  // The common questions.
  void addFault(const nlohmann::json& fault) { post("/__control/faults", fault); }
  void reset() { post("/__control/reset"); }
  nlohmann::json requests() { return get("/__control/log").at("requests"); }
  nlohmann::json faults() { return get("/__control/faults").at("faults"); }
  nlohmann::json summaries() { return get("/__control/summaries").at("summaries"); }
  nlohmann::json chunks(const std::string& meeting) {
    return get("/__control/chunks?meeting=" + meeting).at("chunks");
  }
  std::optional<std::string> chunk(const std::string& meeting, int sequence) {
    return bytes("/__control/chunk?meeting=" + meeting + "&sequence=" + std::to_string(sequence));
  }

 private:
  std::unique_ptr<httplib::Client> client_;
};

}  // namespace halden::testing
