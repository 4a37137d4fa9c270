// The record of every request the service answered, in arrival order, for
// tests to inspect. Bodies are not kept, only their size and SHA-256.
// Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace halden::devservice {

struct LoggedRequest {
  std::string method;
  std::string path;   // Decoded path, without the query.
  std::string query;  // Raw query text after "?", or "".
  std::string contentType;
  std::string origin;
  std::string cookie;  // The raw Cookie header, or "".
  std::uint64_t bodySize = 0;
  std::string bodySha256;
  int status = 0;  // 0: the connection was dropped without an answer.
};

class RequestLog {
 public:
  // The oldest entries go beyond this many, so a long demo cannot grow the
  // log without bound.
  static constexpr std::size_t capacity = 100'000;

  void append(LoggedRequest request);
  void clear();
  // {"requests":[{"method",…,"status"},…]}
  nlohmann::json toJson() const;

 private:
  mutable std::mutex mutex_;
  std::deque<LoggedRequest> requests_;
};

}  // namespace halden::devservice
