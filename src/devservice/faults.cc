#include "devservice/faults.h"

#include <array>
#include <utility>

namespace halden::devservice {
namespace {

constexpr std::array<std::pair<FaultKind, const char*>, 10> kindNames = {{
    {FaultKind::html200, "html200"},
    {FaultKind::wrongSequence, "wrongSequence"},
    {FaultKind::missingOk, "missingOk"},
    {FaultKind::okAsNumber, "okAsNumber"},
    {FaultKind::status, "status"},
    {FaultKind::redirect, "redirect"},
    {FaultKind::oversized, "oversized"},
    {FaultKind::drop, "drop"},
    {FaultKind::delay, "delay"},
    {FaultKind::setCookie, "setCookie"},
}};

constexpr int maximumDelayMs = 600'000;

}  // namespace

bool Fault::matches(const std::string& requestPath) const {
  return exactMatch ? requestPath == path : requestPath.starts_with(path);
}

std::string faultKindName(FaultKind kind) {
  for (const auto& [value, name] : kindNames) {
    if (value == kind) return name;
  }
  return "unknown";
}

FaultOrError parseFault(const nlohmann::json& object) {
  auto refuse = [](std::string reason) { return FaultOrError{std::nullopt, std::move(reason)}; };
  if (!object.is_object()) return refuse("A fault is a JSON object.");
  Fault fault;

  auto path = object.find("path");
  if (path == object.end() || !path->is_string() || path->get<std::string>().empty() ||
      path->get<std::string>().front() != '/') {
    return refuse("\"path\" must be a string starting with \"/\".");
  }
  fault.path = path->get<std::string>();

  if (auto match = object.find("match"); match != object.end()) {
    if (*match == "exact") {
      fault.exactMatch = true;
    } else if (*match != "prefix") {
      return refuse("\"match\" must be \"prefix\" or \"exact\".");
    }
  }

  auto kind = object.find("kind");
  if (kind == object.end() || !kind->is_string()) return refuse("\"kind\" must be a string.");
  bool known = false;
  for (const auto& [value, name] : kindNames) {
    if (*kind == name) {
      fault.kind = value;
      known = true;
    }
  }
  if (!known) return refuse("Unknown fault kind " + kind->dump() + ".");

  if (auto count = object.find("count"); count != object.end()) {
    if (!count->is_number_integer() || *count < 1 || *count > 1'000'000) {
      return refuse("\"count\" must be an integer from 1 to 1000000.");
    }
    fault.count = count->get<int>();
  }

  if (fault.kind == FaultKind::status) {
    auto status = object.find("status");
    // No 1xx: an interim status with a body would leave a client waiting.
    if (status == object.end() || !status->is_number_integer() || *status < 200 || *status > 599) {
      return refuse("A \"status\" fault needs \"status\", an integer from 200 to 599.");
    }
    fault.status = status->get<int>();
    if (auto error = object.find("error"); error != object.end() && error->is_string()) {
      fault.error = error->get<std::string>();
    }
    if (auto body = object.find("body"); body != object.end()) {
      if (!body->is_string()) return refuse("\"body\" must be a string.");
      fault.body = body->get<std::string>();
    }
    if (auto type = object.find("contentType"); type != object.end()) {
      if (!type->is_string()) return refuse("\"contentType\" must be a string.");
      fault.contentType = type->get<std::string>();
    }
  }
  if (fault.kind == FaultKind::redirect) {
    if (auto json = object.find("json"); json != object.end()) {
      if (!json->is_boolean()) return refuse("\"json\" must be a Boolean.");
      fault.jsonRedirect = json->get<bool>();
    }
  }
  if (fault.kind == FaultKind::delay) {
    auto delay = object.find("delayMs");
    if (delay == object.end() || !delay->is_number_integer() || *delay < 0 ||
        *delay > maximumDelayMs) {
      return refuse("A \"delay\" fault needs \"delayMs\", an integer from 0 to 600000.");
    }
    fault.delayMs = delay->get<int>();
  }
  return FaultOrError{fault, ""};
}

void FaultTable::add(Fault fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(std::move(fault));
}

std::optional<Fault> FaultTable::take(const std::string& path) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (!it->matches(path)) continue;
    Fault taken = *it;
    if (--it->count <= 0) faults_.erase(it);
    return taken;
  }
  return std::nullopt;
}

void FaultTable::clear() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::vector<Fault> FaultTable::pending() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

std::string oversizedBody(std::size_t bytes, std::optional<std::int64_t> sequence) {
  std::string head = "{\"ok\":true,";
  if (sequence) head += "\"sequence\":" + std::to_string(*sequence) + ",";
  head += "\"padding\":\"";
  const std::string tail = "\"}";
  std::string body = head;
  if (bytes > head.size() + tail.size()) body.append(bytes - head.size() - tail.size(), 'x');
  body += tail;
  return body;
}

}  // namespace halden::devservice
