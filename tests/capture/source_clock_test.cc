#include "capture/source_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace halden {
namespace {

constexpr double rate = 16000;
constexpr int64_t fragment = 320;  // 20 ms

// A source whose device clock runs `ppm` fast against the capture clock,
// read in 20 ms fragments whose arrivals are late by up to 4 ms.
struct SimulatedSource {
  // Reads `seconds` of audio (by the source's count) into `clock`.
  void run(SourceClock& clock, double seconds, std::vector<CaptureBuffer>& ready) {
    const auto fragments = static_cast<int64_t>(seconds * rate / fragment);
    for (int64_t i = 0; i < fragments; ++i) {
      CaptureBuffer buffer;
      buffer.samples.resize(sizeof frames);  // names its first frame
      std::memcpy(buffer.samples.data(), &frames, sizeof frames);
      clock.take(trueTime(frames) + lateness(random), fragment, std::move(buffer), ready);
      frames += fragment;
    }
  }
  // The device stops delivering for `seconds`: its count goes on afterwards,
  // its time has moved on.
  void pause(double seconds) { pausedFor += seconds; }
  // Capture time at which frame `frame` (by the source's count) was heard;
  // frame 0 at 500 s.
  double trueTime(int64_t frame) const {
    return 500 + pausedFor + static_cast<double>(frame) / (rate * (1 + ppm * 1e-6));
  }

  const double ppm;
  int64_t frames = 0;  // read so far
  double pausedFor = 0;
  std::uniform_real_distribution<double> lateness{0, 0.004};
  std::mt19937 random{1};
};

int64_t firstFrameOf(const CaptureBuffer& buffer) {
  int64_t frame = -1;
  if (buffer.samples.size() == sizeof frame)
    std::memcpy(&frame, buffer.samples.data(), sizeof frame);
  return frame;
}

TEST(SourceClockTest, PausesAndHolesArePlacedAnewAndStepsOrWildArrivalsCannotBendTheRateFar) {
  SourceClock clock(rate);
  SimulatedSource source{250};
  std::vector<CaptureBuffer> ready;
  source.run(clock, 300, ready);
  const double learned = clock.ratio();
  const double endBefore = ready.back().timestamp + fragment / (rate * learned);
  ready.clear();

  source.pause(2.0);
  source.run(clock, 0.1, ready);
  EXPECT_TRUE(clock.settling());
  EXPECT_TRUE(ready.empty());
  source.run(clock, 0.4, ready);
  ASSERT_FALSE(ready.empty());
  EXPECT_FALSE(clock.settling());
  EXPECT_NEAR(ready.front().timestamp - endBefore, 2.0, 0.005);
  EXPECT_NEAR(ready.front().timestamp, source.trueTime(firstFrameOf(ready.front())), 0.005);
  EXPECT_EQ(clock.ratio(), learned);

  // A moved device: arrivals run 10 ms later from one moment on, too little
  // for a pause. The step is taken up slowly; the rate stays near the truth.
  source.pause(0.010);
  double widest = 0;
  for (int second = 0; second < 200; ++second) {
    source.run(clock, 1, ready);
    widest = std::max(widest, std::abs(clock.ratio() - (1 + 250e-6)));
  }
  EXPECT_LT(widest, 350e-6);  // unbounded slewing swung it by 1000 ppm
  EXPECT_LT(std::abs(ready.back().timestamp - source.trueTime(firstFrameOf(ready.back()))), 0.002);

  // A pause while the time is still being found (the source was moved to a
  // device that starts 2 s late): each side of it keeps its own time.
  SourceClock fresh(rate);
  SimulatedSource moved{0};
  ready.clear();
  moved.run(fresh, 0.06, ready);
  moved.pause(2.0);
  moved.run(fresh, 0.5, ready);
  ASSERT_FALSE(ready.empty());
  for (const CaptureBuffer& buffer : ready) {
    EXPECT_NEAR(buffer.timestamp,
                moved.trueTime(firstFrameOf(buffer)) - (firstFrameOf(buffer) < 960 ? 2.0 : 0.0),
                0.005)
        << firstFrameOf(buffer);
  }

  // A hole of 0.5 s (the server lost data), then audio again.
  const double end = ready.back().timestamp + fragment / rate;
  ready.clear();
  fresh.take(moved.trueTime(moved.frames), 8000, std::nullopt, ready);
  EXPECT_TRUE(ready.empty());
  fresh.take(moved.trueTime(moved.frames) + 0.5, fragment, CaptureBuffer{}, ready);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_NEAR(ready.front().timestamp - end, 0.5, 0.001);

  // Arrivals far too early, for a minute, never pull the ratio beyond its
  // bound.
  double t = ready.front().timestamp;
  for (int i = 0; i < 3000; ++i, t += 0.02) {
    fresh.take(t - 0.5, fragment, CaptureBuffer{}, ready);
    EXPECT_LE(std::abs(fresh.ratio() - 1), SourceClock::maximumDeviation + 1e-12);
  }
}

}  // namespace
}  // namespace halden
