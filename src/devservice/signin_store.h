// Desktop sign-in requests and the session tokens the service accepts.
//
// A sign-in request is begun by the desktop app, approved in the browser (or
// through the control API) and redeemed once by the app, which then receives a
// fresh session token. Requests expire `lifetime` after they were begun.
// Thread-safe: every operation takes the store's mutex.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace halden::devservice {

class SigninStore {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SigninStore(std::vector<std::string> permanentSessions,
                       Clock::duration lifetime = std::chrono::minutes(5));

  struct Begun {
    std::string id;      // URL-safe, 22 characters.
    std::string secret;  // 43 characters.
    std::string code;    // "XXXX-XXXX" of capital letters and digits.
  };
  Begun begin();

  enum class RedeemOutcome { pending, approved, unknown };
  struct Redeemed {
    RedeemOutcome outcome = RedeemOutcome::unknown;
    std::string session;  // Set when approved: now a valid session token.
  };
  // Unknown, expired, already redeemed or wrong secret: unknown.
  Redeemed redeem(const std::string& id, const std::string& secret);

  // Approves a pending request; false when it is unknown or expired.
  // Approving twice is harmless.
  bool approve(const std::string& id);

  // The code of a live request that has not been redeemed yet.
  std::optional<std::string> pendingCode(const std::string& id);

  // Makes a request expire now (for tests of the expiry path).
  bool expire(const std::string& id);

  bool isValidSession(const std::string& token) const;

  struct Summary {
    std::string id;
    std::string code;
    std::string secret;
    bool approved = false;
    bool redeemed = false;
    bool expired = false;
    int redeemCount = 0;  // Redeem requests that named this id, whatever their outcome.
  };
  std::vector<Summary> list() const;

  // Forgets every request and every session made by a sign-in; the permanent
  // sessions stay.
  void reset();

 private:
  struct Request {
    std::string secret;
    std::string code;
    Clock::time_point expiresAt;
    bool approved = false;
    bool redeemed = false;
    int redeemCount = 0;
    std::size_t order = 0;
  };
  bool live(const Request& request) const;
  void pruneLocked();

  const std::set<std::string> permanentSessions_;
  const Clock::duration lifetime_;
  mutable std::mutex mutex_;
  std::map<std::string, Request> requests_;
  std::set<std::string> issuedSessions_;
  std::size_t nextOrder_ = 0;
};

}  // namespace halden::devservice
