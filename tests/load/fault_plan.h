// The faults the load test plans on the stand-in service for one upload
// attempt: at most one that must make the attempt fail, and now and then a
// harmless one (a delay, a stray cookie) that must not.
#pragma once

#include <cstddef>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

namespace halden::load {

// The faults planned for one attempt. The attempt's requests are the chunks
// 0..N-1 on one path and the summary on another; each path's faults are
// taken in order, so a fault reaches chunk k behind k pass-through entries.
struct AttemptPlan {
  std::vector<nlohmann::json> faults;
  std::map<std::string, int> kinds;  // what was planned, pass-throughs aside
  bool fails = false;
};

// Plans the faults of an attempt of `count` chunks for `meetingId`: with
// `mayFail`, half the attempts get one failing fault on a random chunk or on
// the summary request, and nothing is planned beyond it, so every planned
// fault is taken before the attempt ends.
AttemptPlan planAttempt(std::mt19937_64& random, const std::string& meetingId, std::size_t count,
                        bool mayFail);

}  // namespace halden::load
