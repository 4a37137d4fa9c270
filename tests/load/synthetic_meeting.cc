#include "load/synthetic_meeting.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <numbers>

#include "store/files.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "testing/reference_mix.h"

namespace halden::load {
namespace {

namespace fs = std::filesystem;
using testing::mixRate;

double uniformReal(std::mt19937_64& random, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(random);
}
// The page makes lower-case identifiers; recovery must take either case.
std::string uuidText(std::mt19937_64& random) {
  const char* digits = chance(random, 0.1) ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text += '-';
    text += digits[uniform(random, 0, 15)];
  }
  return text;
}

// A tone with noise; now and then a second far beyond full scale, so that
// two loud tracks together drive the mix into saturation at both ends.
std::vector<int16_t> trackAudio(std::mt19937_64& random, int64_t frames) {
  const double frequency = uniformReal(random, 80, 2000);
  const double amplitude = uniformReal(random, 0.05, 0.6);
  const double noise = uniformReal(random, 0, 0.2);
  std::vector<int16_t> samples(static_cast<std::size_t>(frames));
  double gain = amplitude;
  for (int64_t i = 0; i < frames; ++i) {
    if (i % mixRate == 0) gain = chance(random, 0.05) ? 1.4 : amplitude;
    const double t = static_cast<double>(i) / mixRate;
    const double x =
        gain * std::sin(2 * std::numbers::pi * frequency * t) + noise * uniformReal(random, -1, 1);
    samples[static_cast<std::size_t>(i)] =
        static_cast<int16_t>(std::clamp(std::lround(x * 32767), -32767L, 32767L));
  }
  return samples;
}

}  // namespace

SyntheticMeeting makeMeeting(std::mt19937_64& random, int64_t minFrames, int64_t maxFrames) {
  SyntheticMeeting meeting;
  meeting.meetingId = uuidText(random);
  int64_t frames = uniform(random, minFrames, maxFrames);
  if (maxFrames >= testing::mixChunkFrames - 1 && chance(random, 0.15)) {
    // Exactly on a chunk boundary, or one frame either side of it.
    const int64_t boundary =
        testing::mixChunkFrames *
        uniform(random, 1, std::max<int64_t>(1, maxFrames / testing::mixChunkFrames));
    frames = std::clamp(boundary + uniform(random, -1, 1), minFrames, maxFrames);
  }

  // Both tracks (most meetings), with or without timing.json, or a single
  // track whose timing may still name the other, earlier source.
  const int64_t layout = uniform(random, 0, 99);
  std::vector<std::string> present = {std::string(systemTrackName),
                                      std::string(microphoneTrackName)};
  if (layout >= 80) present.erase(present.begin() + uniform(random, 0, 1));
  const double base = uniformReal(random, 1'000, 90'000);
  // Keeps every offset below half the meeting, so each track holds a frame.
  const double maxShift = std::min(2.0, static_cast<double>(frames - 1) / mixRate / 2);
  const double shift = uniformReal(random, -maxShift, maxShift);
  TimingMap starts = {{std::string(systemTrackName), base},
                      {std::string(microphoneTrackName), base + shift}};
  if (layout >= 80 && layout < 90) {
    std::erase_if(starts, [&](const auto& s) { return s.first != present.front(); });
  }
  if (layout < 70 || layout >= 80) meeting.timing = starts;

  const std::size_t longest = static_cast<std::size_t>(uniform(random, 0, std::ssize(present) - 1));
  for (std::size_t i = 0; i < present.size(); ++i) {
    const int64_t room =
        frames - testing::mixOffset(meeting.timing.value_or(TimingMap{}), present[i]);
    const int64_t length = i == longest ? room : uniform(random, 1, room);
    meeting.tracks[present[i]] = trackAudio(random, length);
  }
  return meeting;
}

Result<fs::path> writeMeetingFolder(const SyntheticMeeting& meeting, const fs::path& root,
                                    const std::string& origin) {
  const fs::path folder = root / meeting.meetingId;
  HALDEN_TRY(createFolders(folder, 0700));
  HALDEN_TRY(writeFileAtomically(
      folder / meetingFileName,
      nlohmann::json{{"meetingId", meeting.meetingId}, {"origin", origin}}.dump()));
  for (const auto& [name, samples] : meeting.tracks) {
    const fs::path file = folder / trackFileName(name);
    // A stored n reads as n / 32768 (exact in float); written back, that frame
    // must be stored as n again.
    std::vector<float> frames(samples.begin(), samples.end());
    for (float& frame : frames) frame /= 32768;
    std::unique_ptr<TrackWriter> writer = HALDEN_TRY(TrackWriter::create(file));
    for (std::size_t at = 0; at < frames.size(); at += mixRate) {
      const std::size_t size = std::min<std::size_t>(mixRate, frames.size() - at);
      HALDEN_TRY(writer->append(std::span(frames).subspan(at, size)));
    }
    HALDEN_TRY(writer->close());
    std::unique_ptr<TrackReader> reader = HALDEN_TRY(TrackReader::open(file));
    std::vector<int16_t> stored(samples.size());
    if (!reader->storesPcm16() || reader->length() != static_cast<int64_t>(stored.size()) ||
        HALDEN_TRY(reader->readPcm16(0, stored)) != stored.size() || stored != samples) {
      return failure(file.string() + " does not read back as written");
    }
  }
  if (meeting.timing) HALDEN_TRY(writeTiming(*meeting.timing, folder));
  return folder;
}

}  // namespace halden::load
