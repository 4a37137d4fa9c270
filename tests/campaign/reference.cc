#include "campaign/reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
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

uint64_t bigEndian(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

// Normalized correlation of track[from, from + n) with signal[at, at + n).
double correlation(const std::vector<float>& track, std::size_t from,
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
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  const Bytes bytes = testing::readBytes(file);
  if (bytes.size() < 8 || std::string(bytes.begin(), bytes.begin() + 4) != "caff") return {};
  bool described = false;
  for (std::size_t pos = 8; pos + 12 <= bytes.size();) {
    const std::string type(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                           bytes.begin() + static_cast<std::ptrdiff_t>(pos + 4));
    const auto size = static_cast<int64_t>(bigEndian(&bytes[pos + 4], 8));
    const std::size_t body = pos + 12;
    if (type == "desc") {
      if (size < 32 || body + 32 > bytes.size()) return std::nullopt;
      const uint64_t rateBits = bigEndian(&bytes[body], 8);
      double sampleRate;
      std::memcpy(&sampleRate, &rateBits, 8);
      const std::string format(bytes.begin() + static_cast<std::ptrdiff_t>(body + 8),
                               bytes.begin() + static_cast<std::ptrdiff_t>(body + 12));
      const uint64_t flags = bigEndian(&bytes[body + 12], 4);
      // Flags: bit 0 float, bit 1 little-endian.
      described = sampleRate == rate && format == "lpcm" && flags == 2 &&
                  bigEndian(&bytes[body + 16], 4) == 2 && bigEndian(&bytes[body + 20], 4) == 1 &&
                  bigEndian(&bytes[body + 24], 4) == 1 && bigEndian(&bytes[body + 28], 4) == 16;
      if (!described) return std::nullopt;
    } else if (type == "data") {
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

std::optional<std::map<std::string, double>> readTimingFile(const std::filesystem::path& folder) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(folder / "timing.json", error)) return std::nullopt;
  const Bytes bytes = testing::readBytes(folder / "timing.json");
  const nlohmann::json object = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (!object.is_object()) return std::nullopt;
  std::map<std::string, double> timing;
  for (const auto& [name, value] : object.items()) {
    if (!value.is_number()) return std::nullopt;
    timing[name] = value.get<double>();
  }
  return timing;
}

std::vector<int16_t> referenceMix(const std::map<std::string, std::vector<int16_t>>& tracks,
                                  const std::map<std::string, double>& timing) {
  double earliest = 0;
  for (auto it = timing.begin(); it != timing.end(); ++it) {
    earliest = it == timing.begin() ? it->second : std::min(earliest, it->second);
  }
  struct Placed {
    const std::vector<int16_t>* samples;
    int64_t offset;
  };
  std::vector<Placed> placed;
  int64_t total = 0;
  for (const char* name : {"system", "microphone"}) {
    auto track = tracks.find(name);
    if (track == tracks.end() || track->second.empty()) continue;
    auto start = timing.find(name);
    const double seconds = start == timing.end() ? 0 : start->second - earliest;
    const auto offset = static_cast<int64_t>(std::trunc(seconds * rate));
    placed.push_back({&track->second, offset});
    total = std::max(total, offset + static_cast<int64_t>(track->second.size()));
  }
  std::vector<float> mix(static_cast<std::size_t>(total), 0.0f);
  for (const Placed& track : placed) {
    for (std::size_t i = 0; i < track.samples->size(); ++i) {
      float& frame = mix[static_cast<std::size_t>(track.offset) + i];
      frame = (static_cast<float>((*track.samples)[i]) / 32768.0f) * 0.7f + frame;
    }
  }
  std::vector<int16_t> out(mix.size());
  for (std::size_t i = 0; i < mix.size(); ++i) {
    const float x = mix[i];
    out[i] = (x >= 1.0f || std::isnan(x))
                 ? int16_t{32767}
                 : static_cast<int16_t>(std::trunc(std::max(x, -1.0f) * 32767.0f));
  }
  return out;
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

Alignment alignTrack(const std::vector<int16_t>& samples, const std::vector<float>& signal,
                     int64_t expectedStart, double threshold) {
  Alignment result;
  std::vector<float> track(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) track[i] = samples[i] / 32768.0f;
  // A track opens with silence until its source's first audio arrived.
  std::size_t lead = 0;
  while (lead < samples.size() && samples[lead] == 0) ++lead;
  if (track.size() < lead + skippedFrames + windowFrames) {
    result.problem = "track too short to place (" + std::to_string(track.size()) + " frames)";
    return result;
  }
  // lag: signal frame minus track frame.
  auto best = [&](std::size_t from, int64_t low, int64_t high) {
    std::pair<double, int64_t> found{-2, 0};
    for (int64_t lag = low; lag <= high; ++lag) {
      const double c =
          correlation(track, from, signal, static_cast<int64_t>(from) + lag, windowFrames);
      if (c > found.first) found = {c, lag};
    }
    return found;
  };
  auto [first, lag] = best(lead + skippedFrames, expectedStart - firstSearchFrames,
                           expectedStart + firstSearchFrames);
  if (first < threshold) {
    result.problem = "first window not found near signal frame " + std::to_string(expectedStart) +
                     " (best correlation " + std::to_string(first) + ")";
    return result;
  }
  result.start = lag;
  result.worstCorrelation = first;
  result.compared = windowFrames;
  for (std::size_t from = lead + skippedFrames + windowFrames; from + windowFrames <= track.size();
       from += windowFrames) {
    auto [c, next] = best(from, lag - driftFrames, lag + driftFrames);
    if (c < threshold) {
      result.problem = "track frame " + std::to_string(from) + " departs from the signal (" +
                       std::to_string(c) + " at lag " + std::to_string(next) + ")";
      return result;
    }
    lag = next;
    result.worstCorrelation = std::min(result.worstCorrelation, c);
    result.compared += windowFrames;
  }
  result.found = true;
  result.end = lag + static_cast<int64_t>(track.size());
  return result;
}

}  // namespace halden::campaign
