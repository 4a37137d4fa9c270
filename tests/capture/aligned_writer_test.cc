#include "capture/aligned_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "capture/scripted_capture.h"
#include "store/format.h"
#include "store/track_file.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

constexpr double first = 10.0;
constexpr int64_t limit = maximumMeetingFrames;

// The timestamp whose target frame is `frame` in a track started at `first`.
double stampAt(int64_t frame) { return first + static_cast<double>(frame) / meetingSampleRate; }

// A track output that starts at any length (so the four-hour limit is
// reachable without writing 900 MB) and records its appends as sizes, silence
// negative: {-16000, 320} is one second of silence, then 320 frames. Append
// number `failing` fails and keeps nothing.
struct FakeTrack : TrackOutput {
  FakeTrack(int64_t initial, std::size_t failingAppend) : held(initial), failing(failingAppend) {}
  int64_t length() const override { return held; }
  Result<void> append(std::span<const float> data) override {
    if (shape.size() == failing) return failure("disk full");
    const auto size = static_cast<int64_t>(data.size());
    shape.push_back(std::ranges::all_of(data, [](float v) { return v == 0.0f; }) ? -size : size);
    held += size;
    return success();
  }

  int64_t held;
  std::vector<int64_t> shape;
  std::size_t failing;
};

TEST(AppendAligned, PlacesFillsOrRefusesEachBuffer) {
  struct Case {
    const char* name;
    int64_t held;  // frames the track holds before the call
    std::size_t size;
    double timestamp, firstTimestamp;
    std::vector<int64_t> shape;  // appends of the call
    std::string_view error;      // empty: appended
    std::size_t failingAppend = SIZE_MAX;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::string_view pastLimit = fourHourLimitMessage, outOfOrder = outOfOrderMessage,
                         clockChanged = clockChangedMessage;
  const Case cases[] = {
      // Within +-0.1 s the buffer goes straight after the previous one.
      {"late jitter", 32000, 320, stampAt(33600), first, {320}, ""},
      {"early jitter", 32000, 320, stampAt(30400), first, {320}, ""},
      // One frame more is a pause, filled exactly up to the target in blocks
      // of at most one second.
      {"pause", 32000, 320, stampAt(33601), first, {-1601, 320}, ""},
      {"1 s + 1 pause", 32000, 320, stampAt(48001), first, {-16000, -1, 320}, ""},
      {"backwards", 32000, 320, stampAt(30399), first, {}, outOfOrder},
      // Up to one second early goes to frame 0, then the order rule applies.
      {"1 s early", 0, 320, first - 1.0, first, {320}, ""},
      {"early, full", 1601, 320, first - 1.0, first, {}, outOfOrder},
      {"early, jitter", 1600, 320, first - 0.5, first, {320}, ""},
      {"too early", 0, 320, std::nextafter(first - 1.0, -inf), first, {}, clockChanged},
      {"NaN time", 16000, 1, nan, first, {}, clockChanged},
      {"-infinite first time", 16000, 1, first, -inf, {}, clockChanged},
      // Halves round up (not to even), less than a half down; seen through the
      // silence before.
      {"1600.49", 0, 10, 1600.49 / meetingSampleRate, 0, {10}, ""},
      {"1600.5", 0, 10, 1600.5 / meetingSampleRate, 0, {-1601, 10}, ""},
      // The limit: refused before anything is written...
      {"past 4 h", 0, 320, stampAt(limit + 1), first, {}, pastLimit},
      {"overflowing offset", 0, 320, 1e308, -1e308, {}, pastLimit},
      {"buffer past 4 h", limit - 320, 321, stampAt(limit - 320), first, {}, pastLimit},
      {"buffer up to 4 h", limit - 320, 320, stampAt(limit - 320), first, {320}, ""},
      // ...except silence up to a target exactly at the limit...
      {"target at 4 h", limit - 20000, 320, stampAt(limit), first, {-16000, -4000}, pastLimit},
      // ...and reported before the order.
      {"repeated, full", limit, 16000, stampAt(limit - 16000), first, {}, pastLimit},
      // A failing silence append passes its error on; earlier silence stays.
      {"failing silence", 0, 320, first + 3.0, first, {-16000}, "disk full", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTrack track(c.held, c.failingAppend);
    Result<void> result =
        appendAligned(std::vector<float>(c.size, 0.2f), track, c.timestamp, c.firstTimestamp);
    EXPECT_EQ(result.ok(), c.error.empty());
    if (!result.ok()) {
      EXPECT_EQ(result.error(), failure(std::string(c.error)));
    }
    EXPECT_EQ(track.shape, c.shape);
  }
}

TEST(AppendAligned, RecordedTrackClipsInsteadOfWrappingAndRefusesAppendsWhenClosed) {
  testing::TempFolder folder;
  auto writer = TrackWriter::create(folder / "microphone.caf");
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE((*writer)->append(std::vector<float>{1.5f, -1.5f, 1.0f, -1.0f}).ok());
  ASSERT_TRUE((*writer)->close().ok());
  EXPECT_FALSE((*writer)->append(std::vector<float>{0.2f}).ok());

  const std::vector<float> samples = testing::readTrack(folder / "microphone.caf");
  ASSERT_EQ(samples.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_GT(samples[i] * (i % 2 ? -1 : 1), 0.999f) << i;
}

}  // namespace
}  // namespace halden
