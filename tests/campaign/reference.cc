#include "campaign/reference.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>

#include "testing/temp_folder.h"

namespace halden::campaign {
namespace {

constexpr double rate = 16000;
constexpr std::size_t windowFrames = 1600;  // 0.1 s
// The resampler's first output is its filter filling up.
constexpr std::size_t skippedFrames = 800;
// From one 0.1 s window to the next the resampler's ratio (within 1 +- 0.2 %)
// moves a track by well under a frame; three frames is ample.
constexpr int64_t driftFrames = 3;
constexpr int64_t firstSearchFrames = 8000;

// Normalized correlation of track[from, from + n) with signal[at, at + n);
// the track's scale (16-bit samples) cancels out.
double correlation(const std::vector<int16_t>& track, std::size_t from,
                   const std::vector<float>& signal, int64_t at, std::size_t n) {
  if (at < 0 || static_cast<std::size_t>(at) + n > signal.size()) return -1;
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double a = track[from + i], b = signal[static_cast<std::size_t>(at) + i];
    ab += a * b;
    aa += a * a;
    bb += b * b;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1;
}

}  // namespace

std::optional<std::vector<int16_t>> readPcm16Track(const std::filesystem::path& file) {
  const Bytes bytes = testing::readBytes(file);      // none when absent
  const auto word = [&](std::size_t at, int size) {  // big-endian
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | bytes[at + static_cast<std::size_t>(i)];
    return value;
  };
  const auto tag = [&](std::size_t at) {
    return std::string_view(reinterpret_cast<const char*>(&bytes[at]), 4);
  };
  if (bytes.size() < 8 || tag(0) != "caff") return std::nullopt;
  bool described = false;
  for (std::size_t pos = 8; pos + 12 <= bytes.size();) {
    const auto size = static_cast<int64_t>(word(pos + 4, 8));
    const std::size_t body = pos + 12;
    if (tag(pos) == "desc") {
      if (size < 32 || body + 32 > bytes.size()) return std::nullopt;
      // Linear PCM, flags 2 (integer, little-endian), 2 bytes and 1 frame a
      // packet, 1 channel, 16 bits.
      described = std::bit_cast<double>(word(body, 8)) == rate && tag(body + 8) == "lpcm" &&
                  word(body + 12, 4) == 2 && word(body + 16, 4) == 2 && word(body + 20, 4) == 1 &&
                  word(body + 24, 4) == 1 && word(body + 28, 4) == 16;
      if (!described) return std::nullopt;
    } else if (tag(pos) == "data") {
      if (!described || body + 4 > bytes.size()) return std::nullopt;
      const std::size_t start = body + 4;  // after the edit count
      std::size_t length = bytes.size() - start;
      if (size >= 4) length = std::min(length, static_cast<std::size_t>(size - 4));
      std::vector<int16_t> samples(length / 2);
      for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(bytes[start + 2 * i] | bytes[start + 2 * i + 1] << 8);
      }
      return samples;
    }
    if (size < 0) return std::nullopt;
    pos = body + static_cast<std::size_t>(size);
  }
  return std::nullopt;
}

std::vector<float> bandLimitedNoise(uint64_t seed, std::size_t frames) {
  // A Hann-windowed sinc of 129 taps, cut off at 1 kHz.
  constexpr int half = 64;
  constexpr double cutoff = 1000.0 / rate;
  std::vector<double> taps(2 * half + 1);
  for (int k = -half; k <= half; ++k) {
    const double x = 2 * cutoff * k;
    const double sinc = k == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x);
    taps[static_cast<std::size_t>(k + half)] =
        2 * cutoff * sinc * (0.5 + 0.5 * std::cos(M_PI * k / (half + 1)));
  }
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> white(frames + taps.size());
  for (double& sample : white) sample = uniform(random);
  std::vector<float> out(frames);
  // Uniform noise has RMS 0.577; a 1 kHz band of it keeps sqrt(2 x 1/16).
  const double gain = 0.2 / (0.577 * std::sqrt(2 * cutoff));
  for (std::size_t i = 0; i < frames; ++i) {
    double sum = 0;
    for (std::size_t k = 0; k < taps.size(); ++k) sum += taps[k] * white[i + k];
    out[i] = static_cast<float>(std::clamp(sum * gain, -0.9, 0.9));
  }
  return out;
}

Alignment alignTrack(const std::vector<int16_t>& track, const std::vector<float>& signal,
                     int64_t expectedStart, double threshold) {
  Alignment result;
  // A track opens with silence until its source's first audio arrived.
  std::size_t lead = 0;
  while (lead < track.size() && track[lead] == 0) ++lead;
  const std::size_t first = lead + skippedFrames;
  // lag: signal frame minus track frame. The first window is searched around
  // the expected start, every next one around the lag of the one before.
  int64_t lag = expectedStart;
  std::size_t from = first;
  for (; from + windowFrames <= track.size(); from += windowFrames) {
    const int64_t reach = from == first ? firstSearchFrames : driftFrames;
    std::pair<double, int64_t> best{-2, 0};
    for (int64_t at = lag - reach; at <= lag + reach; ++at) {
      const double c =
          correlation(track, from, signal, static_cast<int64_t>(from) + at, windowFrames);
      if (c > best.first) best = {c, at};
    }
    if (best.first < threshold) {
      result.problem =
          "frame " + std::to_string(from) + " correlates " + std::to_string(best.first);
      return result;
    }
    lag = best.second;
    result.worstCorrelation = std::min(result.worstCorrelation, best.first);
  }
  if (from == first) result.problem = "too short: " + std::to_string(track.size()) + " frames";
  result.end = lag + static_cast<int64_t>(track.size());
  return result;
}

}  // namespace halden::campaign
