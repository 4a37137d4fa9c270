#include "devservice/request_log.h"

namespace halden::devservice {

void RequestLog::append(LoggedRequest request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(std::move(request));
  if (requests_.size() > capacity) requests_.pop_front();
}

void RequestLog::clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

nlohmann::json RequestLog::toJson() const {
  std::lock_guard lock(mutex_);
  nlohmann::json list = nlohmann::json::array();
  for (const LoggedRequest& request : requests_) {
    list.push_back({{"method", request.method},
                    {"path", request.path},
                    {"query", request.query},
                    {"contentType", request.contentType},
                    {"origin", request.origin},
                    {"cookie", request.cookie},
                    {"bodySize", request.bodySize},
                    {"bodySha256", request.bodySha256},
                    {"status", request.status}});
  }
  return {{"requests", std::move(list)}};
}

}  // namespace halden::devservice
