// The recording's health notices: each at its threshold, not a check
// before, once per recording.
#include "app/health_monitor.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace halden {
namespace {

class HealthMonitorTest : public ::testing::Test {
 protected:
  HealthMonitor monitor{HealthMonitor::Parts{
      .counts = [this](CaptureSource source) { return counts[source]; },
      .notify = [this](const HealthNotice& notice) { said.push_back(notice.id); },
      .freeSpace = [this]() -> Task<std::optional<uint64_t>> { co_return freeBytes; }}};
  std::map<CaptureSource, CaptureActivity::Counts> counts;
  std::optional<uint64_t> freeBytes = 10'000'000'000;
  std::vector<std::string> said;

  // A buffer from `source`, audible or digital silence.
  void buffer(CaptureSource source, bool audible = true) {
    ++counts[source].buffers;
    if (audible) ++counts[source].audible;
  }
  // Checks once a second from `from` to `to`, both included, the sources
  // delivering as `deliver` says.
  void run(int from, int to, const std::function<void(int)>& deliver = nullptr) {
    for (int t = from; t <= to; ++t) {
      if (deliver) deliver(t);
      monitor.check(t);
      // The disk is looked at by a task of its own.
      while (g_main_context_iteration(nullptr, FALSE)) {
      }
    }
  }
};

TEST_F(HealthMonitorTest, AMicrophoneThatStopsOrOnlyDeliversSilenceIsReportedOnceAtItsThreshold) {
  monitor.begin(0);
  run(0, 99, [&](int t) {
    buffer(CaptureSource::system, false);
    if (t < 40) buffer(CaptureSource::microphone);
  });
  // Last buffer at 39: said at 44, not at 43, then never again.
  EXPECT_EQ(said, std::vector<std::string>{"no-microphone"});
  said.clear();
  monitor.begin(100);
  run(100, 118, [&](int) { buffer(CaptureSource::microphone, false); });
  EXPECT_TRUE(said.empty());  // 18 s of digital silence
  run(119, 119, [&](int) { buffer(CaptureSource::microphone, false); });
  EXPECT_TRUE(said.empty());
  run(120, 130, [&](int) { buffer(CaptureSource::microphone, false); });
  EXPECT_EQ(said, std::vector<std::string>{"no-microphone"});
}

TEST_F(HealthMonitorTest, MicrophoneThresholdsAreExact) {
  monitor.begin(0);
  buffer(CaptureSource::system);
  run(0, 4);
  EXPECT_TRUE(said.empty());
  monitor.check(4.99);
  EXPECT_TRUE(said.empty());
  monitor.check(5);
  EXPECT_EQ(said, std::vector<std::string>{"no-microphone"});
}

TEST_F(HealthMonitorTest, NothingFromTheComputerIsReportedAtThirtySecondsUnlessABufferCame) {
  monitor.begin(0);
  run(0, 29, [&](int) { buffer(CaptureSource::microphone); });
  EXPECT_TRUE(said.empty());
  run(30, 60, [&](int) { buffer(CaptureSource::microphone); });
  EXPECT_EQ(said, std::vector<std::string>{"no-system-audio"});

  // One silent buffer is enough: quiet is normal, a broken output is not.
  said.clear();
  counts.clear();
  monitor.begin(100);
  run(100, 200, [&](int t) {
    buffer(CaptureSource::microphone);
    if (t == 129) buffer(CaptureSource::system, false);
  });
  EXPECT_TRUE(said.empty());
}

TEST_F(HealthMonitorTest, LowDiskIsReportedOnceOnTheFirstCheckThatFindsItAndNotAfterTheEnd) {
  monitor.begin(0);
  const auto deliver = [&](int) {
    buffer(CaptureSource::microphone);
    buffer(CaptureSource::system);
  };
  freeBytes = HealthMonitor::lowDiskBytes;  // exactly 200 MB is not yet low
  run(0, 9, deliver);
  EXPECT_TRUE(said.empty());
  freeBytes = HealthMonitor::lowDiskBytes - 1;
  run(10, 14, deliver);  // the disk is looked at on the check at 10
  EXPECT_EQ(said, std::vector<std::string>{"low-disk"});
  run(15, 40, deliver);
  EXPECT_EQ(said.size(), 1u);
  monitor.end();
  said.clear();
  run(41, 60);
  EXPECT_TRUE(said.empty());
  freeBytes = std::nullopt;  // unknown is not low
  monitor.begin(61);
  run(61, 80, deliver);
  EXPECT_TRUE(said.empty());
}

}  // namespace
}  // namespace halden
