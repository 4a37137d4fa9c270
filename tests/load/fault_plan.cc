#include "load/fault_plan.h"

namespace halden::load {
namespace {

using nlohmann::json;

json failingFault(std::mt19937_64& random, bool chunk) {
  static const std::vector<std::string> kinds = {"html200",    "wrongSequence", "missingOk",
                                                 "okAsNumber", "status",        "redirect",
                                                 "oversized",  "drop"};
  std::string kind;
  do {
    kind = kinds[std::uniform_int_distribution<std::size_t>(0, kinds.size() - 1)(random)];
    // For a summary, wrongSequence answers {"ok":true,"sequence":1}: an
    // acknowledgement for which the service records nothing.
  } while (kind == "wrongSequence" && !chunk);
  json fault = {{"kind", kind}};
  if (kind == "status") {
    static const std::vector<int> statuses = {200, 400, 401, 403, 404, 409,
                                              413, 429, 500, 502, 503, 504};
    fault["status"] =
        statuses[std::uniform_int_distribution<std::size_t>(0, statuses.size() - 1)(random)];
    switch (std::uniform_int_distribution<int>(0, 2)(random)) {
      case 0:
        fault["error"] = "The service is resting.";
        break;
      case 1:
        fault["body"] = "<html>Bad gateway</html>";
        fault["contentType"] = "text/html";
        break;
      default:
        break;  // {}
    }
  } else if (kind == "redirect") {
    fault["json"] = std::bernoulli_distribution(0.5)(random);
  }
  return fault;
}

json benignFault(std::mt19937_64& random) {
  if (std::bernoulli_distribution(0.7)(random)) {
    return {{"kind", "delay"}, {"delayMs", std::uniform_int_distribution<int>(1, 400)(random)}};
  }
  return {{"kind", "setCookie"}};
}

}  // namespace

AttemptPlan planAttempt(std::mt19937_64& random, const std::string& meetingId, std::size_t count,
                        bool mayFail) {
  const std::string chunkPath = "/api/meetings/" + meetingId + "/audio";
  const std::string summaryPath = "/api/meetings/" + meetingId;
  AttemptPlan plan;
  plan.fails = mayFail && std::bernoulli_distribution(0.5)(random);
  // Requests 0..count-1 are chunks, request `count` the summary.
  const std::size_t last =
      plan.fails ? std::uniform_int_distribution<std::size_t>(0, count)(random) : count;
  int passes = 0;
  for (std::size_t request = 0; request <= last; ++request) {
    const bool chunk = request < count;
    json fault;
    if (plan.fails && request == last) {
      fault = failingFault(random, chunk);
    } else if (std::bernoulli_distribution(0.15)(random)) {
      fault = benignFault(random);
    } else {
      ++passes;
      continue;
    }
    if (chunk && passes > 0) {
      plan.faults.push_back({{"path", chunkPath},
                             {"match", "exact"},
                             {"kind", "delay"},
                             {"delayMs", 0},
                             {"count", passes}});
    }
    passes = 0;
    ++plan.kinds[fault["kind"].get<std::string>()];
    fault["path"] = chunk ? chunkPath : summaryPath;
    fault["match"] = "exact";
    plan.faults.push_back(std::move(fault));
  }
  return plan;
}

}  // namespace halden::load
