#include "load/synthetic_meeting.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <numbers>

#include "store/files.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"

namespace halden::load {
namespace {

namespace fs = std::filesystem;

constexpr int64_t framesPerSecond = 16'000;
constexpr int64_t chunkFrames = 960'000;

int64_t uniform(std::mt19937_64& random, int64_t low, int64_t high) {
  return std::uniform_int_distribution<int64_t>(low, high)(random);
}
double uniformReal(std::mt19937_64& random, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(random);
}
bool chance(std::mt19937_64& random, double probability) {
  return std::bernoulli_distribution(probability)(random);
}

std::string uuidText(std::mt19937_64& random) {
  static constexpr char lower[] = "0123456789abcdef";
  static constexpr char upper[] = "0123456789ABCDEF";
  // The page makes lower-case identifiers; recovery must take either case.
  const char* digits = chance(random, 0.1) ? upper : lower;
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
    if (i % framesPerSecond == 0) gain = chance(random, 0.05) ? 1.4 : amplitude;
    const double t = static_cast<double>(i) / framesPerSecond;
    const double x =
        gain * std::sin(2 * std::numbers::pi * frequency * t) + noise * uniformReal(random, -1, 1);
    samples[static_cast<std::size_t>(i)] =
        static_cast<int16_t>(std::clamp(std::lround(x * 32767), -32767L, 32767L));
  }
  return samples;
}

// The meeting frame where a track starting at `start` begins in the mix.
int64_t mixOffset(double start, double earliest) {
  return static_cast<int64_t>(std::max(start - earliest, 0.0) * framesPerSecond);
}

void putLe(std::vector<unsigned char>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// The 44-byte header of a chunk holding `frames` samples.
std::vector<unsigned char> chunkHeader(int64_t frames) {
  const auto payload = static_cast<uint32_t>(2 * frames);
  std::vector<unsigned char> header;
  auto text = [&](std::string_view s) { header.insert(header.end(), s.begin(), s.end()); };
  text("RIFF");
  putLe(header, payload + 36, 4);
  text("WAVEfmt ");
  putLe(header, 16, 4);
  putLe(header, 1, 2);
  putLe(header, 1, 2);
  putLe(header, 16000, 4);
  putLe(header, 32000, 4);
  putLe(header, 2, 2);
  putLe(header, 16, 2);
  text("data");
  putLe(header, payload, 4);
  return header;
}

}  // namespace

SyntheticMeeting makeMeeting(std::mt19937_64& random, int64_t minFrames, int64_t maxFrames) {
  SyntheticMeeting meeting;
  meeting.meetingId = uuidText(random);
  int64_t frames = uniform(random, minFrames, maxFrames);
  if (maxFrames >= chunkFrames - 1 && chance(random, 0.15)) {
    // Exactly on a chunk boundary, or one frame either side of it.
    const int64_t boundary =
        chunkFrames * uniform(random, 1, std::max<int64_t>(1, maxFrames / chunkFrames));
    frames = std::clamp(boundary + uniform(random, -1, 1), minFrames, maxFrames);
  }
  meeting.frames = frames;

  // Both tracks (most meetings), with or without timing.json, or a single
  // track whose timing may still name the other, earlier source.
  const int64_t layout = uniform(random, 0, 99);
  std::vector<std::string> present = {std::string(systemTrackName),
                                      std::string(microphoneTrackName)};
  if (layout >= 80) present.erase(present.begin() + uniform(random, 0, 1));
  const double base = uniformReal(random, 1'000, 90'000);
  // Keeps every offset below half the meeting, so each track holds a frame.
  const double maxShift = std::min(2.0, static_cast<double>(frames - 1) / framesPerSecond / 2);
  const double shift = uniformReal(random, -maxShift, maxShift);
  std::vector<std::pair<std::string, double>> starts = {
      {std::string(systemTrackName), base}, {std::string(microphoneTrackName), base + shift}};
  if (layout >= 70 && layout < 80) {
    meeting.timing.reset();
  } else if (layout >= 80 && layout < 90) {
    std::erase_if(starts, [&](const auto& s) { return s.first != present.front(); });
    meeting.timing = starts;
  } else {
    meeting.timing = starts;
  }
  double earliest = 0;
  if (meeting.timing) {
    earliest = meeting.timing->front().second;
    for (const auto& [name, start] : *meeting.timing) earliest = std::min(earliest, start);
  }

  const std::size_t longest = static_cast<std::size_t>(uniform(random, 0, present.size() - 1));
  for (std::size_t i = 0; i < present.size(); ++i) {
    SyntheticTrack track;
    track.name = present[i];
    if (meeting.timing) {
      for (const auto& [name, start] : *meeting.timing) {
        if (name == track.name) track.offset = mixOffset(start, earliest);
      }
    }
    const int64_t room = frames - track.offset;
    const int64_t length = i == longest ? room : uniform(random, 1, room);
    track.samples = trackAudio(random, length);
    meeting.tracks.push_back(std::move(track));
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
  for (const SyntheticTrack& track : meeting.tracks) {
    const fs::path file = folder / trackFileName(track.name);
    {
      std::unique_ptr<TrackWriter> writer = HALDEN_TRY(TrackWriter::create(file));
      std::vector<float> block;
      for (std::size_t at = 0; at < track.samples.size(); at += framesPerSecond) {
        const std::size_t end = std::min(track.samples.size(), at + framesPerSecond);
        block.clear();
        // A stored n reads as n / 32768 (exact in float); written back, that
        // frame must be stored as n again.
        for (std::size_t i = at; i < end; ++i) block.push_back(track.samples[i] / 32768.0f);
        HALDEN_TRY(writer->append(block));
      }
      HALDEN_TRY(writer->close());
    }
    std::unique_ptr<TrackReader> reader = HALDEN_TRY(TrackReader::open(file));
    std::vector<int16_t> stored(track.samples.size());
    if (!reader->storesPcm16() || reader->length() != static_cast<int64_t>(stored.size()) ||
        HALDEN_TRY(reader->readPcm16(0, stored)) != stored.size() || stored != track.samples) {
      return failure(file.string() + " does not read back as written");
    }
  }
  if (meeting.timing) {
    TimingMap timing(meeting.timing->begin(), meeting.timing->end());
    HALDEN_TRY(writeTiming(timing, folder));
  }
  return folder;
}

std::vector<std::string> expectedChunkHashes(const SyntheticMeeting& meeting) {
  std::vector<std::string> hashes;
  std::vector<float> mix;
  for (int64_t start = 0; start < meeting.frames; start += chunkFrames) {
    const int64_t size = std::min(chunkFrames, meeting.frames - start);
    mix.assign(static_cast<std::size_t>(size), 0.0f);
    // The system track first: float sums depend on their order.
    for (std::string_view name : {systemTrackName, microphoneTrackName}) {
      for (const SyntheticTrack& track : meeting.tracks) {
        if (track.name != name) continue;
        for (int64_t i = 0; i < size; ++i) {
          const int64_t at = start + i - track.offset;
          if (at < 0 || at >= static_cast<int64_t>(track.samples.size())) continue;
          const float sample =
              static_cast<float>(track.samples[static_cast<std::size_t>(at)]) / 32768.0f;
          mix[static_cast<std::size_t>(i)] = sample * 0.7f + mix[static_cast<std::size_t>(i)];
        }
      }
    }
    std::vector<unsigned char> file = chunkHeader(size);
    for (float x : mix) {
      const int value = (x >= 1.0f || std::isnan(x))
                            ? 32767
                            : static_cast<int>(std::trunc(std::max(x, -1.0f) * 32767.0f));
      putLe(file, static_cast<uint32_t>(static_cast<uint16_t>(value)), 2);
    }
    hashes.push_back(sha256Hex(file.data(), file.size()));
  }
  return hashes;
}

std::string sha256Hex(const void* data, std::size_t size) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(static_cast<const unsigned char*>(data), size, digest);
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

}  // namespace halden::load
