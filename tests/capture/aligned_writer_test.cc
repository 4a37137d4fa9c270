#include "capture/aligned_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "store/format.h"
#include "store/track_file.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

constexpr double first = 10.0;

std::vector<float> frames(std::size_t count, float value) {
  return std::vector<float>(count, value);
}

// The timestamp whose target frame is `frame` for a track that started at
// `firstTime`.
double stampAt(int64_t frame, double firstTime = first) {
  return firstTime + static_cast<double>(frame) / meetingSampleRate;
}

// A track output that records every append and can start at any length, so
// the four-hour limit is reachable without writing 900 MB. It can also fail
// one chosen append.
class FakeTrack : public TrackOutput {
 public:
  struct Append {
    std::size_t size;
    bool silent;
  };

  explicit FakeTrack(int64_t initialLength = 0) : length_(initialLength) {}

  int64_t length() const override { return length_; }

  Result<void> append(std::span<const float> data) override {
    if (failingAppend_ && appends_.size() == *failingAppend_) return failure_;
    bool silent = true;
    for (float value : data) silent = silent && value == 0.0f;
    appends_.push_back({data.size(), silent});
    length_ += static_cast<int64_t>(data.size());
    return success();
  }

  // Append number `index` (zero-based) fails with `error`; nothing of it is kept.
  void failAppend(std::size_t index, Error error) {
    failingAppend_ = index;
    failure_ = std::move(error);
  }

  const std::vector<Append>& appends() const { return appends_; }

  // Sizes of the appends, silence as negative numbers: {-16000, 320} is one
  // second of silence followed by a 320-frame buffer.
  std::vector<int64_t> shape() const {
    std::vector<int64_t> shape;
    for (const Append& append : appends_) {
      int64_t size = static_cast<int64_t>(append.size);
      shape.push_back(append.silent ? -size : size);
    }
    return shape;
  }

 private:
  int64_t length_;
  std::vector<Append> appends_;
  std::optional<std::size_t> failingAppend_;
  Error failure_ = failure("unused");
};

void expectFailure(const Result<void>& result, std::string_view message) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), failure(std::string(message)));
}

TEST(AppendAligned, FirstBufferOfAnEmptyTrackLandsAtFrameZero) {
  FakeTrack track;
  ASSERT_TRUE(appendAligned(frames(320, 0.5f), track, first, first).ok());
  EXPECT_EQ(track.shape(), (std::vector<int64_t>{320}));
}

// Every case: a track already holding 32 000 frames receives a 320-frame
// buffer whose target frame lies `gap` frames from the track's end.
struct GapCase {
  int64_t gap;
  std::vector<int64_t> expectedShape;  // appends of this call, silence negative
  std::optional<std::string_view> error;
};

class AppendAlignedGap : public ::testing::TestWithParam<GapCase> {};

TEST_P(AppendAlignedGap, PlacesOrRefusesTheBuffer) {
  const GapCase& c = GetParam();
  constexpr int64_t held = 32000;
  FakeTrack track(held);
  Result<void> result = appendAligned(frames(320, 0.5f), track, stampAt(held + c.gap), first);
  if (c.error) {
    expectFailure(result, *c.error);
  } else {
    EXPECT_TRUE(result.ok()) << result.error().description();
  }
  EXPECT_EQ(track.shape(), c.expectedShape);
  int64_t appended = 0;
  for (int64_t size : c.expectedShape) appended += std::abs(size);
  EXPECT_EQ(track.length(), held + appended);
}

INSTANTIATE_TEST_SUITE_P(
    JitterSilenceAndOrder, AppendAlignedGap,
    ::testing::Values(GapCase{0, {320}, std::nullopt},
                      // Within +-0.1 s the buffer goes straight after the previous one.
                      GapCase{1600, {320}, std::nullopt}, GapCase{-1600, {320}, std::nullopt},
                      GapCase{-1, {320}, std::nullopt},
                      // One frame more is a pause: filled exactly up to the target.
                      GapCase{1601, {-1601, 320}, std::nullopt},
                      // Silence goes in blocks of at most one second.
                      GapCase{16000, {-16000, 320}, std::nullopt},
                      GapCase{16001, {-16000, -1, 320}, std::nullopt},
                      GapCase{32000, {-16000, -16000, 320}, std::nullopt},
                      // Audio that would start more than 0.1 s before the end runs backwards.
                      GapCase{-1601, {}, outOfOrderMessage},
                      GapCase{-32000, {}, outOfOrderMessage}));

TEST(AppendAligned, RepeatedShortBufferIsAppendedAgainButALongOneIsRefused) {
  FakeTrack shortTrack;
  ASSERT_TRUE(appendAligned(frames(1600, 0.2f), shortTrack, first, first).ok());
  ASSERT_TRUE(appendAligned(frames(1600, 0.2f), shortTrack, first, first).ok());
  EXPECT_EQ(shortTrack.length(), 3200);

  FakeTrack longTrack;
  ASSERT_TRUE(appendAligned(frames(1601, 0.2f), longTrack, first, first).ok());
  expectFailure(appendAligned(frames(1601, 0.2f), longTrack, first, first), outOfOrderMessage);
  EXPECT_EQ(longTrack.length(), 1601);
}

TEST(AppendAligned, BufferStampedUpToOneSecondEarlyGoesToFrameZero) {
  FakeTrack empty;
  ASSERT_TRUE(appendAligned(frames(320, 0.2f), empty, first - 1.0, first).ok());
  EXPECT_EQ(empty.shape(), (std::vector<int64_t>{320}));

  // Frame 0 lies more than 1600 frames before the end of a longer track.
  FakeTrack held(1601);
  expectFailure(appendAligned(frames(320, 0.2f), held, first - 1.0, first), outOfOrderMessage);
  FakeTrack jitter(1600);
  EXPECT_TRUE(appendAligned(frames(320, 0.2f), jitter, first - 0.5, first).ok());
  EXPECT_EQ(jitter.length(), 1920);
}

TEST(AppendAligned, BufferStampedMoreThanOneSecondEarlyIsAClockChange) {
  FakeTrack track;
  const double justBefore = std::nextafter(first - 1.0, -std::numeric_limits<double>::infinity());
  expectFailure(appendAligned(frames(320, 0.2f), track, justBefore, first), clockChangedMessage);
  expectFailure(appendAligned(frames(320, 0.2f), track, first - 5.0, first), clockChangedMessage);
  EXPECT_TRUE(track.appends().empty());
}

TEST(AppendAligned, NonFiniteTimesAreAClockChange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, double> cases[] = {{nan, first}, {inf, first}, {-inf, first},
                                             {first, nan}, {first, inf}, {first, -inf},
                                             {nan, nan},   {inf, inf},   {-inf, -inf}};
  for (auto [timestamp, firstTimestamp] : cases) {
    FakeTrack track(16000);
    expectFailure(appendAligned(frames(1, 0.2f), track, timestamp, firstTimestamp),
                  clockChangedMessage);
    EXPECT_TRUE(track.appends().empty()) << timestamp << " / " << firstTimestamp;
  }
}

TEST(AppendAligned, TargetRoundsHalvesAwayFromZero) {
  // Observed through the silence, which fills exactly up to the target frame.
  struct Case {
    double targetFrames;
    int64_t silence;
  };
  const Case cases[] = {
      {1600.49, 0}, {1600.5, 1601}, {1601.5, 1602}, {1602.5, 1603}, {1602.49, 1602}};
  for (const Case& c : cases) {
    const double timestamp = c.targetFrames / meetingSampleRate;
    ASSERT_EQ(timestamp * meetingSampleRate, c.targetFrames);  // exact in binary
    FakeTrack track;
    ASSERT_TRUE(appendAligned(frames(10, 0.2f), track, timestamp, 0.0).ok());
    std::vector<int64_t> expected;
    if (c.silence > 0) expected.push_back(-c.silence);
    expected.push_back(10);
    EXPECT_EQ(track.shape(), expected) << c.targetFrames;
  }
}

TEST(AppendAligned, OffsetPastFourHoursIsRefusedBeforeAnythingIsWritten) {
  const double pastLimit = first + 14400.0 + 1.0 / meetingSampleRate;
  FakeTrack track;
  expectFailure(appendAligned(frames(320, 0.2f), track, pastLimit, first), fourHourLimitMessage);
  // Times so far apart that their difference overflows.
  expectFailure(appendAligned(frames(320, 0.2f), track, 1e308, -1e308), fourHourLimitMessage);
  EXPECT_TRUE(track.appends().empty());
}

TEST(AppendAligned, TargetAtExactlyTheLimitIsFilledThenRefused) {
  FakeTrack track(maximumMeetingFrames - 20000);
  expectFailure(appendAligned(frames(320, 0.2f), track, first + 14400.0, first),
                fourHourLimitMessage);
  // The silence stays; the buffer does not.
  EXPECT_EQ(track.shape(), (std::vector<int64_t>{-16000, -4000}));
  EXPECT_EQ(track.length(), maximumMeetingFrames);
}

TEST(AppendAligned, BufferThatWouldPassTheLimitIsRefusedWhole) {
  constexpr int64_t room = 320;
  const int64_t held = maximumMeetingFrames - room;
  FakeTrack tooLong(held);
  expectFailure(appendAligned(frames(room + 1, 0.2f), tooLong, stampAt(held), first),
                fourHourLimitMessage);
  EXPECT_TRUE(tooLong.appends().empty());

  FakeTrack fits(held);
  ASSERT_TRUE(appendAligned(frames(room, 0.2f), fits, stampAt(held), first).ok());
  EXPECT_EQ(fits.length(), maximumMeetingFrames);
}

TEST(AppendAligned, LimitIsReportedBeforeOrder) {
  // A repeated buffer on a full track.
  FakeTrack track(maximumMeetingFrames);
  expectFailure(
      appendAligned(frames(16000, 0.2f), track, stampAt(maximumMeetingFrames - 16000), first),
      fourHourLimitMessage);
  EXPECT_TRUE(track.appends().empty());
}

TEST(AppendAligned, FailingAppendMidSilenceKeepsEarlierBlocksAndPassesTheErrorOn) {
  FakeTrack track;
  const Error diskFull = Error::fromErrno(ENOSPC);
  track.failAppend(1, diskFull);
  Result<void> result = appendAligned(frames(320, 0.2f), track, first + 3.0, first);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), diskFull);
  EXPECT_EQ(track.shape(), (std::vector<int64_t>{-16000}));
}

TEST(AppendAligned, FailingBufferAppendPassesTheErrorOn) {
  FakeTrack track;
  const Error diskFull = Error::fromErrno(ENOSPC);
  track.failAppend(0, diskFull);
  Result<void> result = appendAligned(frames(320, 0.2f), track, first, first);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), diskFull);
}

// The same rules on real track files, read back from disk.
class AppendAlignedTrackFile : public ::testing::Test {
 protected:
  std::vector<float> readAll(const std::filesystem::path& path) {
    auto reader = TrackReader::open(path);
    EXPECT_TRUE(reader.ok());
    if (!reader.ok()) return {};
    std::vector<float> samples(static_cast<std::size_t>((*reader)->length()));
    auto read = (*reader)->read(0, samples);
    EXPECT_TRUE(read.ok());
    if (!read.ok()) return {};
    samples.resize(*read);
    return samples;
  }

  testing::TempFolder folder_;
};

TEST_F(AppendAlignedTrackFile, PauseBecomesSilenceAndSpeechKeepsItsPosition) {
  const auto path = folder_ / "system.caf";
  auto writer = TrackWriter::create(path, TrackEncoding::float32);
  ASSERT_TRUE(writer.ok());
  TrackWriter& track = **writer;
  ASSERT_TRUE(appendAligned(frames(16000, 0.2f), track, first, first).ok());
  ASSERT_TRUE(appendAligned(frames(16000, 0.4f), track, first + 3.0, first).ok());
  // Refusals leave the file as it was.
  EXPECT_FALSE(appendAligned(frames(16000, 0.2f), track, first, first).ok());
  EXPECT_FALSE(appendAligned(frames(1, 0.2f), track, std::nan(""), first).ok());
  EXPECT_FALSE(appendAligned(frames(1, 0.2f), track, first - 1.5, first).ok());
  ASSERT_TRUE(track.close().ok());

  const std::vector<float> samples = readAll(path);
  ASSERT_EQ(samples.size(), 64000u);
  EXPECT_EQ(samples[0], 0.2f);
  EXPECT_EQ(samples[15999], 0.2f);
  for (std::size_t i = 16000; i < 48000; ++i) ASSERT_EQ(samples[i], 0.0f) << i;
  EXPECT_EQ(samples[48000], 0.4f);
  EXPECT_EQ(samples[63999], 0.4f);
}

TEST_F(AppendAlignedTrackFile, GapsOfExactly1600And1601Frames) {
  for (int64_t gap : {1600, 1601}) {
    const auto path = folder_ / ("gap-" + std::to_string(gap) + ".caf");
    auto writer = TrackWriter::create(path, TrackEncoding::float32);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(appendAligned(frames(320, 0.25f), **writer, first, first).ok());
    ASSERT_TRUE(appendAligned(frames(320, 0.5f), **writer, stampAt(320 + gap), first).ok());
    ASSERT_TRUE((*writer)->close().ok());

    const std::vector<float> samples = readAll(path);
    const std::size_t secondStart = gap == 1600 ? 320 : 320 + 1601;
    ASSERT_EQ(samples.size(), secondStart + 320) << gap;
    EXPECT_EQ(samples[319], 0.25f);
    if (gap == 1601) {
      EXPECT_EQ(samples[320], 0.0f);
      EXPECT_EQ(samples[secondStart - 1], 0.0f);
    }
    EXPECT_EQ(samples[secondStart], 0.5f) << gap;
  }
}

TEST_F(AppendAlignedTrackFile, RecordedTrackReadsBackWhileStillOpen) {
  // 16-bit tracks rewrite their header with every append: what a reader sees
  // of an open track is what a killed recorder would leave behind.
  const auto path = folder_ / "microphone.caf";
  auto writer = TrackWriter::create(path);
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(appendAligned(frames(320, 0.25f), **writer, first, first).ok());
  ASSERT_TRUE(appendAligned(frames(320, 0.5f), **writer, first + 0.5, first).ok());

  const std::vector<float> samples = readAll(path);
  ASSERT_EQ(samples.size(), 8320u);
  EXPECT_EQ(samples[0], 0.25f);
  EXPECT_EQ(samples[7999], 0.0f);
  EXPECT_EQ(samples[8000], 0.5f);
}

TEST_F(AppendAlignedTrackFile, RecordedTrackClipsInsteadOfWrapping) {
  const auto path = folder_ / "microphone.caf";
  auto writer = TrackWriter::create(path);
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE((*writer)->append(std::vector<float>{1.5f, -1.5f, 1.0f, -1.0f}).ok());
  ASSERT_TRUE((*writer)->close().ok());
  EXPECT_FALSE((*writer)->append(frames(1, 0.1f)).ok());

  const std::vector<float> samples = readAll(path);
  ASSERT_EQ(samples.size(), 4u);
  EXPECT_GT(samples[0], 0.999f);
  EXPECT_LT(samples[1], -0.999f);
  EXPECT_GT(samples[2], 0.999f);
  EXPECT_LT(samples[3], -0.999f);
}

}  // namespace
}  // namespace halden
