#include "testing/stand_in_control.h"

#include <httplib.h>

namespace halden::testing {
namespace {

std::string describe(const std::string& path, const httplib::Result& answer) {
  return "control " + path + ": " +
         (answer ? std::to_string(answer->status) + " " + answer->body
                 : httplib::to_string(answer.error()));
}

}  // namespace

StandInControl::StandInControl(const std::string& baseUrl)
    : client_(std::make_unique<httplib::Client>(baseUrl)) {
  client_->enable_server_certificate_verification(false);  // the test's own certificate
}

StandInControl::~StandInControl() = default;

nlohmann::json StandInControl::get(const std::string& path) {
  const httplib::Result answer = client_->Get(path);
  if (!answer || answer->status != 200) throw Error(describe(path, answer));
  return nlohmann::json::parse(answer->body);
}

void StandInControl::post(const std::string& path, const nlohmann::json& body) {
  const httplib::Result answer = client_->Post(path, body.dump(), "application/json");
  if (!answer || answer->status != 200) throw Error(describe(path, answer));
}

std::optional<std::string> StandInControl::bytes(const std::string& path) {
  const httplib::Result answer = client_->Get(path);
  if (answer && answer->status == 404) return std::nullopt;
  if (!answer || answer->status != 200) throw Error(describe(path, answer));
  return answer->body;
}

}  // namespace halden::testing
