#include "app/health_monitor.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

namespace halden {
namespace {

using Said = std::vector<std::pair<std::string, double>>;  // each notice, and when

// A monitor, its sources' counts and the disk it looks at.
struct Recording {
  HealthMonitor monitor{HealthMonitor::Parts{
      .counts = [this](CaptureSource source) { return counts[source]; },
      .notify = [this](const HealthNotice& notice) { said.emplace_back(notice.id, now); },
      .freeSpace = [this]() -> Task<std::optional<uint64_t>> { co_return freeBytes; }}};
  std::map<CaptureSource, CaptureActivity::Counts> counts;
  std::optional<uint64_t> freeBytes = 10'000'000'000;
  double now = 0;
  Said said;

  // Checks every half second from `from` to `to`, both included, after
  // `step` has had the sources deliver.
  void run(double from, double to, const std::function<void()>& step = nullptr) {
    for (now = from; now <= to; now += 0.5) {
      if (step) step();
      monitor.check(now);
      // The disk is looked at by a task of its own.
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
    }
  }
};

constexpr uint64_t low = HealthMonitor::lowDiskBytes;
constexpr double never = 1e9;

// A recording of 100 s, checked every half second.
TEST(HealthMonitor, EachNoticeComesOncePerRecordingAtItsThresholdAndNotACheckBefore) {
  const struct {
    const char* name;
    // The microphone delivers before `micUntil`, the computer silence from
    // `computerFrom` to before `computerUntil`. The one notice given, if any,
    // and when; the disk's free bytes before 10 s and from then on.
    double micUntil;
    bool micAudible;
    double computerFrom, computerUntil;
    const char* notice;
    double at;
    std::optional<uint64_t> freeBefore10 = 10'000'000'000, freeFrom10 = 10'000'000'000;
  } cases[] = {
      {"a microphone that stops", 40, true, 0, never, "no-microphone", 44.5},
      {"a microphone of digital silence", never, false, 0, never, "no-microphone", 20},
      {"no microphone at all", 0, true, 0, never, "no-microphone", 5},
      {"nothing from the computer", never, true, 0, 0, "no-system-audio", 30},
      // Quiet is normal, a broken output is not.
      {"one silent buffer from the computer", never, true, 29, 29.5, nullptr, 0},
      // The disk is looked at every fifth check: at 7.5 s exactly 200 MB is
      // not yet low, at 10 s one byte less is.
      {"a disk that fills", never, true, 0, never, "low-disk", 10, low, low - 1},
      {"a disk whose free space is unknown", never, true, 0, never, nullptr, 0, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recording r;
    Said expected;
    // A second recording may be told everything again; nothing is told
    // between them, when nothing is delivered.
    for (double begun : {0.0, 200.0}) {
      r.counts.clear();
      r.monitor.begin(begun);
      r.run(begun, begun + 100, [&] {
        const double t = r.now - begun;
        if (t < c.micUntil) {
          ++r.counts[CaptureSource::microphone].buffers;
          r.counts[CaptureSource::microphone].audible += c.micAudible;
        }
        if (t >= c.computerFrom && t < c.computerUntil) ++r.counts[CaptureSource::system].buffers;
        r.freeBytes = t < 10 ? c.freeBefore10 : c.freeFrom10;
      });
      r.monitor.end();
      r.run(begun + 100.5, begun + 199.5);
      if (c.notice) expected.emplace_back(c.notice, begun + c.at);
    }
    EXPECT_EQ(r.said, expected);
  }
}

}  // namespace
}  // namespace halden
