#include "devservice/signin_store.h"

#include <algorithm>

#include "devservice/digest.h"

namespace halden::devservice {
namespace {

// No 0/O, 1/I: the user types the code from the app's window.
constexpr std::string_view codeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
// Requests kept before expired ones are dropped; a begin loop cannot grow
// memory without bound.
constexpr std::size_t keptRequests = 1000;

}  // namespace

SigninStore::SigninStore(std::vector<std::string> permanentSessions, Clock::duration lifetime)
    : permanentSessions_(permanentSessions.begin(), permanentSessions.end()), lifetime_(lifetime) {}

bool SigninStore::live(const Request& request) const { return Clock::now() < request.expiresAt; }

void SigninStore::pruneLocked() {
  if (requests_.size() < keptRequests) return;
  std::erase_if(requests_, [this](const auto& entry) { return !live(entry.second); });
}

SigninStore::Begun SigninStore::begin() {
  std::lock_guard lock(mutex_);
  pruneLocked();
  Begun begun;
  do {
    begun.id = randomToken(22, urlSafeAlphabet);
  } while (requests_.contains(begun.id));
  begun.secret = randomToken(43, urlSafeAlphabet);
  begun.code = randomToken(4, codeAlphabet) + "-" + randomToken(4, codeAlphabet);
  Request request;
  request.secret = begun.secret;
  request.code = begun.code;
  request.expiresAt = Clock::now() + lifetime_;
  request.order = nextOrder_++;
  requests_.emplace(begun.id, std::move(request));
  return begun;
}

SigninStore::Redeemed SigninStore::redeem(const std::string& id, const std::string& secret) {
  std::lock_guard lock(mutex_);
  auto found = requests_.find(id);
  if (found == requests_.end()) return {};
  Request& request = found->second;
  ++request.redeemCount;
  if (!live(request) || request.redeemed || request.secret != secret) return {};
  if (!request.approved) return {RedeemOutcome::pending, ""};
  request.redeemed = true;
  std::string session = randomToken(43, urlSafeAlphabet);
  issuedSessions_.insert(session);
  return {RedeemOutcome::approved, session};
}

bool SigninStore::approve(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto found = requests_.find(id);
  if (found == requests_.end() || !live(found->second) || found->second.redeemed) return false;
  found->second.approved = true;
  return true;
}

std::optional<std::string> SigninStore::pendingCode(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto found = requests_.find(id);
  if (found == requests_.end() || !live(found->second) || found->second.redeemed) {
    return std::nullopt;
  }
  return found->second.code;
}

bool SigninStore::expire(const std::string& id) {
  std::lock_guard lock(mutex_);
  auto found = requests_.find(id);
  if (found == requests_.end()) return false;
  found->second.expiresAt = Clock::now();
  return true;
}

bool SigninStore::isValidSession(const std::string& token) const {
  std::lock_guard lock(mutex_);
  return permanentSessions_.contains(token) || issuedSessions_.contains(token);
}

std::vector<SigninStore::Summary> SigninStore::list() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::size_t, Summary>> ordered;
  for (const auto& [id, request] : requests_) {
    ordered.push_back(
        {request.order, Summary{id, request.code, request.secret, request.approved,
                                request.redeemed, !live(request), request.redeemCount}});
  }
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Summary> summaries;
  for (auto& entry : ordered) summaries.push_back(std::move(entry.second));
  return summaries;
}

void SigninStore::reset() {
  std::lock_guard lock(mutex_);
  requests_.clear();
  issuedSessions_.clear();
}

}  // namespace halden::devservice
