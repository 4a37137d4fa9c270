// Fault injection: the next N requests whose path matches get a planned
// misbehaviour instead of (or on top of) their normal answer.
//
// Faults are kept in the order they were added; a request takes the first
// matching fault with uses left (one fault per request). Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace halden::devservice {

enum class FaultKind {
  html200,        // 200 text/html "<html>Sign in</html>"
  wrongSequence,  // 200 {"ok":true,"sequence":k+1}; nothing stored
  missingOk,      // 200 {"sequence":k} for chunks, {} otherwise; nothing stored
  okAsNumber,     // 200 {"ok":1,"sequence":k} ("sequence" only for chunks); nothing stored
  status,         // status S, {"error":E} or {} (or a given raw body)
  redirect,       // 302 to /login, HTML body (or {"error":"Moved."})
  oversized,      // 200 application/json, a 2,500,000-byte JSON object
  drop,           // headers, part of a body, then the connection is closed
  delay,          // waits, then normal handling
  setCookie,      // normal handling plus Set-Cookie: authjs.session-token=injected
};

struct Fault {
  std::string path;
  bool exactMatch = false;  // false: prefix match.
  FaultKind kind = FaultKind::status;
  int count = 1;                                 // Uses left.
  int status = 500;                              // For `status`.
  std::optional<std::string> error;              // For `status`: the "error" string.
  std::optional<std::string> body;               // For `status`: a raw body replacing the JSON.
  std::string contentType = "application/json";  // For `status` with `body`.
  bool jsonRedirect = false;                     // For `redirect`.
  int delayMs = 0;                               // For `delay`.

  bool matches(const std::string& requestPath) const;
};

// Reads a fault from the control API's JSON; on refusal returns the reason.
struct FaultOrError {
  std::optional<Fault> fault;
  std::string error;
};
FaultOrError parseFault(const nlohmann::json& object);

std::string faultKindName(FaultKind kind);

class FaultTable {
 public:
  void add(Fault fault);
  // Takes one use of the first matching fault.
  std::optional<Fault> take(const std::string& path);
  void clear();
  std::vector<Fault> pending() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;
};

// Bytes of the "oversized" answer.
constexpr std::size_t oversizedBodyBytes = 2'500'000;
// A JSON object of exactly `bytes` bytes that acknowledges `sequence` (when
// given): a client that skips its size limit would take it for a success.
std::string oversizedBody(std::size_t bytes, std::optional<std::int64_t> sequence);

}  // namespace halden::devservice
