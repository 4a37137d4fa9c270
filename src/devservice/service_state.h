// Everything the stand-in service's handlers share. Each member guards itself;
// handlers run on httplib's thread pool and may touch any of them at once.
#pragma once

#include <httplib.h>

#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "devservice/faults.h"
#include "devservice/meeting_store.h"
#include "devservice/request_log.h"
#include "devservice/signin_store.h"

namespace halden::devservice {

// The recording events the workspace page reported having received, in the
// order it received them. Thread-safe.
class PageEventLog {
 public:
  static constexpr std::size_t capacity = 10'000;
  void append(nlohmann::json event) {
    std::lock_guard lock(mutex_);
    if (events_.size() < capacity) events_.push_back(std::move(event));
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  nlohmann::json toJson() const {
    std::lock_guard lock(mutex_);
    return nlohmann::json(events_);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<nlohmann::json> events_;
};

struct ServiceState {
  ServiceState(std::string ownOrigin, std::vector<std::string> sessions,
               std::filesystem::path dataFolder)
      : origin(std::move(ownOrigin)),
        signins(std::move(sessions)),
        meetings(std::move(dataFolder)) {}

  const std::string origin;  // "scheme://host:port", lower case.
  SigninStore signins;
  MeetingStore meetings;
  FaultTable faults;
  RequestLog log;
  PageEventLog pageEvents;

  // True when the request carries a cookie whose name contains
  // "authjs.session-token" and whose value is a valid session.
  bool authenticated(const httplib::Request& request) const;
  // True when the request has no Origin header or one naming this service's
  // scheme, host and port (any path ignored).
  bool originAllowed(const httplib::Request& request) const;
};

// Handlers; each writes the whole answer into `response`.
// POST /api/desktop/signin
void handleSignin(ServiceState& state, const httplib::Request& request,
                  httplib::Response& response);
// POST /api/meetings/… (authentication already checked)
void handleMeetings(ServiceState& state, const httplib::Request& request,
                    httplib::Response& response);
// /__control/…
void handleControl(ServiceState& state, const httplib::Request& request,
                   httplib::Response& response);
// GET pages, downloads and the connect form.
void handlePages(ServiceState& state, const httplib::Request& request, httplib::Response& response);

}  // namespace halden::devservice
