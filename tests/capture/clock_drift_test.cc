// Four hours of a source whose clock runs fast or slow against the capture
// clock, read the way the platform stream reads it (20 ms fragments, late
// arrivals) through its source clock and the real sample intake. The track
// is measured as it is written: a sine fitted to every 0.1 s tells where the
// audio lies against the capture clock and whether the wave runs on unbroken.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>

#include "capture/sample_intake.h"
#include "capture/scripted_capture.h"
#include "capture/source_clock.h"
#include "store/format.h"
#include "testing/temp_folder.h"

namespace halden {
namespace {

constexpr double tone = 1000;         // Hz
constexpr std::size_t window = 1600;  // frames: 0.1 s of track
constexpr double period = 1 / tone;   // seconds

// Least-squares fit of a cos(w n) + b sin(w n) + c to `x`, with w found by
// Gauss-Newton from `w` (radians per frame), n counted from the window's
// middle. Returns the phase at the middle, as that of amplitude x sin, and
// the residual's RMS against the fitted wave's.
struct SineFit {
  double phase = 0, w = 0, relativeResidual = 0;
};

SineFit fitSine(const float* x, std::size_t count, double w) {
  const double middle = static_cast<double>(count) / 2;
  double a = 0, b = 0, c = 0, residual = 0;
  // Four Gauss-Newton passes; a fifth measures only the residual of the last.
  for (int iteration = 0; iteration < 5; ++iteration) {
    // Columns: cos, sin, 1 and (from the second pass) the derivative in w.
    const int columns = iteration == 0 ? 3 : iteration < 4 ? 4 : 0;
    std::array<std::array<double, 5>, 4> normal{};
    const std::complex<double> step = std::polar(1.0, w);
    std::complex<double> rotor = std::polar(1.0, -w * middle);
    residual = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const double n = static_cast<double>(i) - middle;
      const double column[4] = {rotor.real(), rotor.imag(), 1,
                                n * (-a * rotor.imag() + b * rotor.real())};
      const double e = x[i] - (a * column[0] + b * column[1] + c);
      residual += e * e;
      for (int r = 0; r < columns; ++r) {
        for (int k = 0; k < columns; ++k) normal[r][k] += column[r] * column[k];
        normal[r][4] += column[r] * x[i];
      }
      rotor *= step;
      if ((i & 255) == 255) rotor /= std::abs(rotor);
    }
    if (columns == 0) break;
    // Gaussian elimination: normal equations are symmetric positive definite
    // and need no pivoting.
    for (int p = 0; p < columns; ++p) {
      for (int r = p + 1; r < columns; ++r) {
        const double f = normal[r][p] / normal[p][p];
        for (int k = p; k < 5; ++k) normal[r][k] -= f * normal[p][k];
      }
    }
    std::array<double, 4> solution{};
    for (int r = columns - 1; r >= 0; --r) {
      double sum = normal[r][4];
      for (int k = r + 1; k < columns; ++k) sum -= normal[r][k] * solution[k];
      solution[r] = sum / normal[r][r];
    }
    a = solution[0];
    b = solution[1];
    c = solution[2];
    if (columns == 4) w += solution[3];
  }
  const double fitted = std::hypot(a, b);
  return {std::atan2(a, b), w,
          std::sqrt(residual / static_cast<double>(count)) / (fitted / std::numbers::sqrt2)};
}

// What the meter found over a whole track.
struct Findings {
  double worstOffset = 0;    // seconds, against the capture clock
  double worstResidual = 0;  // of the worst window, relative
  int64_t windows = 0;
};

// A track that keeps no audio: it fits a sine to every window appended and
// tracks the offset of each against the capture clock, unwrapping the
// phase (which alone says the offset modulo one period) window by window.
class ToneMeter final : public TrackOutput {
 public:
  ToneMeter(Findings& found, double firstTimestamp, double sourceStart)
      : found_(found), firstTimestamp_(firstTimestamp), sourceStart_(sourceStart) {}

  int64_t length() const override { return length_; }
  Result<void> append(std::span<const float> frames) override {
    for (float frame : frames) {
      pending_[filled_++] = frame;
      if (filled_ == window) measure();
    }
    length_ += static_cast<int64_t>(frames.size());
    return success();
  }

 private:
  void measure() {
    const SineFit fit = fitSine(pending_.data(), window, w_);
    w_ = fit.w;
    filled_ = 0;
    const int64_t start = found_.windows++ * static_cast<int64_t>(window);
    // The first window holds the tone's own onset, which rings in any
    // band-limited resampler; every later one must be a clean sine.
    if (start > 0) found_.worstResidual = std::max(found_.worstResidual, fit.relativeResidual);
    // Where the capture clock puts the window's middle, and when the audio
    // there was heard: its phase (modulo a period), placed next to the last
    // window's offset.
    const double placed =
        firstTimestamp_ +
        (static_cast<double>(start) + static_cast<double>(window) / 2) / meetingSampleRate;
    const double heardModulo = sourceStart_ + fit.phase / (2 * std::numbers::pi * tone);
    const double raw = placed - heardModulo;
    offset_ = raw - period * std::round((raw - offset_) / period);
    found_.worstOffset = std::max(found_.worstOffset, std::abs(offset_));
  }

  Findings& found_;
  const double firstTimestamp_, sourceStart_;
  std::array<float, window> pending_{};
  std::size_t filled_ = 0;
  int64_t length_ = 0;
  double w_ = 2 * std::numbers::pi * tone / meetingSampleRate;
  double offset_ = 0;  // the last window's, seconds
};

class ClockDriftTest : public ::testing::TestWithParam<double> {};

TEST_P(ClockDriftTest, FourHoursStayOnTheCaptureClockWithAnUnbrokenTone) {
  const double ppm = GetParam();
  const AudioFormat format{SampleFormat::float32, 48000, 2};
  const double trueRate = format.sampleRate * (1 + ppm * 1e-6);
  constexpr double start = 1000;  // capture time of the source's frame 0
  // Just short of the four-hour limit of a track.
  const auto total = static_cast<int64_t>((4 * 3600 - 30) * trueRate);

  testing::TempFolder folder;
  Findings found;
  double firstTimestamp = 0;
  ToneMeter* meter = nullptr;
  SampleIntake intake([&](const std::filesystem::path&) -> Result<std::unique_ptr<TrackOutput>> {
    auto made = std::make_unique<ToneMeter>(found, firstTimestamp, start);
    meter = made.get();
    return std::unique_ptr<TrackOutput>(std::move(made));
  });
  intake.reset(folder.path());
  SourceClock clock(format.sampleRate);

  // The tone runs on the capture clock: frame k of the source holds
  // 0.5 sin(2 pi tone k / trueRate) and was heard at start + k / trueRate.
  // Arrivals are late by 0-4 ms, and one in twenty by up to 30 ms more, as
  // when the reading thread is busy.
  std::mt19937 random(static_cast<unsigned>(ppm + 7000));
  std::uniform_real_distribution<double> lateness(0, 0.004), unit(0, 1);
  std::vector<CaptureBuffer> ready;
  // How far the track's end ran behind the source's, seconds: the offset
  // plus what the resampler holds.
  double leastLag = 1, mostLag = -1;
  for (int64_t frame = 0; frame < total;) {
    const int64_t frames = std::min<int64_t>(960, total - frame);
    double late = lateness(random);
    if (unit(random) < 0.05) late += 0.030 * unit(random);
    clock.take(start + static_cast<double>(frame) / trueRate + late, frames,
               testing::sineBuffer(CaptureSource::microphone, format, frames, 0,
                                   tone * format.sampleRate / trueRate, 0.5, frame),
               ready);
    frame += frames;
    for (const CaptureBuffer& placed : ready) {
      if (!meter) firstTimestamp = placed.timestamp;
      ASSERT_FALSE(intake.take(placed)) << intake.writeError()->description();
    }
    if (!ready.empty() && meter) {
      const double lag = start + static_cast<double>(frame) / trueRate - firstTimestamp -
                         static_cast<double>(meter->length()) / meetingSampleRate;
      leastLag = std::min(leastLag, lag);
      mostLag = std::max(mostLag, lag);
    }
    ready.clear();
  }
  intake.close();
  ASSERT_FALSE(intake.writeError());

  EXPECT_GE(found.windows, (4 * 3600 - 31) * 10);
  EXPECT_LE(found.worstOffset, 0.010);
  EXPECT_LT(found.worstResidual, 0.01);
  // A dropped or repeated block of whole periods escapes the phase; it shows
  // in the length.
  EXPECT_LT(mostLag - leastLag, 0.010);
}

INSTANTIATE_TEST_SUITE_P(SourceClocks, ClockDriftTest, ::testing::Values(-300, -100, 100, 300));

}  // namespace
}  // namespace halden
