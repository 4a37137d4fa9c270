// Everything the stand-in service's handlers share. Each member guards itself;
// handlers run on httplib's thread pool and may touch any of them at once.
#pragma once

#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "devservice/faults.h"
#include "devservice/meeting_store.h"
#include "devservice/request_log.h"
#include "devservice/signin_store.h"

namespace halden::devservice {

// The recording events the workspace pages reported having received. Each
// page load reports under an identifier of its own with the index of each
// event, since its reports can overtake each other on the way; pages are
// listed in the order their first report arrived, each page's events in the
// order the page received them. Thread-safe.
class PageEventLog {
 public:
  static constexpr std::size_t capacity = 10'000;
  void append(const std::string& page, std::size_t index, nlohmann::json event) {
    std::lock_guard lock(mutex_);
    if (count_ >= capacity) return;
    auto found = std::find_if(pages_.begin(), pages_.end(),
                              [&](const auto& entry) { return entry.first == page; });
    if (found == pages_.end()) found = pages_.insert(pages_.end(), {page, {}});
    found->second[index] = std::move(event);
    ++count_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    pages_.clear();
    count_ = 0;
  }
  nlohmann::json toJson() const {
    std::lock_guard lock(mutex_);
    nlohmann::json events = nlohmann::json::array();
    for (const auto& [page, byIndex] : pages_) {
      for (const auto& [index, event] : byIndex) events.push_back(event);
    }
    return events;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::map<std::size_t, nlohmann::json>>> pages_;
  std::size_t count_ = 0;
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
