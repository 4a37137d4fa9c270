#include "capture/system_mix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace halden {
namespace {

constexpr double rate = 1000;  // frames per second: a frame is a millisecond
constexpr double origin = 100;

// `frames` frames of `value` from tap time `at` (seconds after the origin).
CaptureBuffer placed(double at, int frames, float value) {
  CaptureBuffer buffer;
  buffer.format = AudioFormat{SampleFormat::float32, rate, 1};
  buffer.frameCount = frames;
  buffer.timestamp = origin + at;
  std::vector<float> samples(static_cast<std::size_t>(frames), value);
  buffer.samples.resize(samples.size() * sizeof(float));
  std::memcpy(buffer.samples.data(), samples.data(), buffer.samples.size());
  return buffer;
}

// Everything handed over, as one run of samples from the origin on; checks
// that the buffers follow each other exactly.
std::vector<float> mixed(const std::vector<CaptureBuffer>& ready) {
  std::vector<float> samples;
  for (const CaptureBuffer& buffer : ready) {
    EXPECT_NEAR(buffer.timestamp, origin + static_cast<double>(samples.size()) / rate, 1e-9);
    EXPECT_EQ(buffer.source, CaptureSource::system);
    const auto* first = reinterpret_cast<const float*>(buffer.samples.data());
    samples.insert(samples.end(), first, first + buffer.frameCount);
  }
  return samples;
}

TEST(SystemMixTest, StreamsAddWhereTheyWereHeardOnceEachAndBackToBack) {
  SystemMix mix;
  mix.begin(origin, rate);
  mix.attach(1);
  mix.attach(2);
  mix.add(1, placed(0.002, 4, 1));       // frames 2-5
  mix.add(2, placed(0.004, 4, 10));      // frames 4-7, over the first
  mix.add(1, placed(0.0064, 3, 100));    // 0.4 frame off its end: straight after it, 6-8
  mix.add(1, placed(0.005, 5, 1000));    // again from frame 5: only 9 is new
  mix.add(2, placed(0.012, 2, 10000));   // a pause of its own: 12-13
  std::vector<CaptureBuffer> ready;
  mix.flush(origin + 0.010, ready);
  mix.flushAll(origin + 0.011, ready);
  EXPECT_EQ(mixed(ready), (std::vector<float>{0, 0, 1, 1, 11, 11, 110, 110, 100, 1000, 0, 0,
                                              10000, 10000}));
  // Too late: time already handed over keeps what it had.
  mix.add(3, placed(0.012, 3, 5));
  EXPECT_EQ(mix.framesTooLate(), 2);
  ready.clear();
  mix.flushAll(origin, ready);
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].frameCount, 1);
  EXPECT_DOUBLE_EQ(ready[0].timestamp, origin + 0.014);
}

TEST(SystemMixTest, SilenceRunsOnWhileNothingPlaysButNotWhileAStreamIsNotHeard) {
  SystemMix mix;
  mix.begin(origin, rate);
  std::vector<CaptureBuffer> ready;
  mix.flush(origin + 0.003, ready);  // nothing plays: the track runs on
  EXPECT_EQ(mixed(ready), std::vector<float>(3, 0.0f));
  mix.begin(origin, rate);
  mix.attach(7);  // a stream plays, and nothing of it has come
  ready.clear();
  mix.flush(origin + 0.003, ready);
  EXPECT_TRUE(ready.empty());
  mix.add(7, placed(0.001, 1, 0.5f));
  mix.flush(origin + 0.003, ready);
  EXPECT_EQ(mixed(ready), (std::vector<float>{0, 0.5f, 0}));
  mix.detach(7);  // what it gave stays; the track runs on
  mix.flush(origin + 0.004, ready);
  EXPECT_EQ(mixed(ready).size(), 4u);
}

}  // namespace
}  // namespace halden
