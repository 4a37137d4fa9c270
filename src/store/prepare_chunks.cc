#include "store/prepare_chunks.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "store/files.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "store/wave.h"

namespace halden {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view invalidTimingMessage = "The recording timing data is invalid.";
constexpr std::string_view invalidFormatMessage = "The saved recording format is invalid.";
constexpr std::string_view timingLimitMessage =
    "The recording timing data exceeds the meeting limit.";
constexpr std::string_view noAudioMessage =
    "No audio was captured. Check microphone and screen recording permissions.";
constexpr std::string_view fourHourMessage =
    "This recording exceeds the four-hour limit. The original audio remains saved on your Mac.";

// One track file that takes part in the mix.
struct TrackSource {
  std::unique_ptr<TrackReader> track;
  int64_t length = 0;  // frames, at least 1
  int64_t offset = 0;  // meeting frame of the track's frame 0, never negative
};

// True when `file` is absent. A dangling link is present (and later refused).
Result<bool> isAbsent(const fs::path& file) {
  struct stat info;
  if (::lstat(file.c_str(), &info) == 0) return false;
  if (errno == ENOENT) return true;
  return Error::fromErrno(errno);
}

Result<std::vector<TrackSource>> openTrackSources(const fs::path& folder) {
  const TimingMap timing = HALDEN_TRY(readTiming(folder));
  double earliest = 0.0;
  bool first = true;
  for (const auto& [name, seconds] : timing) {
    if (!std::isfinite(seconds)) return failure(std::string(invalidTimingMessage));
    earliest = first ? seconds : std::min(earliest, seconds);
    first = false;
  }

  std::vector<TrackSource> sources;
  for (std::string_view name : {systemTrackName, microphoneTrackName}) {
    const fs::path file = folder / trackFileName(name);
    if (HALDEN_TRY(isAbsent(file))) continue;
    HALDEN_TRY(regularRecordingFile(file, folder));
    std::unique_ptr<TrackReader> track = HALDEN_TRY(TrackReader::open(file));
    if (track->sampleRate() != meetingSampleRate || track->channelCount() != 1) {
      return failure(std::string(invalidFormatMessage));
    }
    const auto member = timing.find(std::string(name));
    const double start = member == timing.end() ? earliest : member->second;
    if (start - earliest > meetingTimeLimit) return failure(std::string(timingLimitMessage));
    if (track->length() < 1) continue;
    const double offset = std::max(start - earliest, 0.0) * meetingSampleRate;
    const int64_t length = track->length();
    sources.push_back({std::move(track), length, static_cast<int64_t>(offset)});
  }
  if (sources.empty()) return failure(std::string(noAudioMessage));
  return sources;
}

// The meeting's length in frames, or the four-hour failure. Lengths come from
// file headers, so the sum is checked without overflowing.
Result<int64_t> meetingLength(const std::vector<TrackSource>& sources) {
  int64_t total = 0;
  for (const TrackSource& source : sources) {
    if (source.length > maximumMeetingFrames - source.offset) {
      return failure(std::string(fourHourMessage));
    }
    total = std::max(total, source.offset + source.length);
  }
  return total;
}

// Saturates one mixed value to a 16-bit sample: 32767 for x >= 1 and for NaN,
// trunc(max(x, -1) * 32767) otherwise, so the range is -32767 to 32767.
inline int16_t toSample(float x) {
  const float clamped = x < 1.0f ? std::max(x, -1.0f) : 1.0f;  // NaN < 1 is false
  return static_cast<int16_t>(clamped * outputScale);
}

}  // namespace

Result<ChunkList> prepareChunks(const fs::path& folder) {
  if (std::optional<ChunkList> saved = HALDEN_TRY(savedChunks(folder))) return *saved;

  std::vector<TrackSource> sources = HALDEN_TRY(openTrackSources(folder));
  const int64_t total = HALDEN_TRY(meetingLength(sources));

  std::vector<float> mix(static_cast<std::size_t>(std::min(total, chunkFrameCount)));
  std::vector<float> buffer(mix.size());
  std::vector<int16_t> samples(mix.size());
  ChunkList chunks;
  for (int64_t start = 0; start < total; start += chunkFrameCount) {
    const int64_t size = std::min(chunkFrameCount, total - start);
    std::fill_n(mix.begin(), size, 0.0f);
    for (TrackSource& source : sources) {
      const int64_t readStart = std::max<int64_t>(0, start - source.offset);
      const int64_t destination = std::max<int64_t>(0, source.offset - start);
      const int64_t count = std::min(source.length - readStart, size - destination);
      if (count < 1) continue;
      const std::size_t got = HALDEN_TRY(source.track->read(
          readStart, std::span<float>(buffer.data(), static_cast<std::size_t>(count))));
      float* out = mix.data() + destination;
      for (std::size_t i = 0; i < got; ++i) out[i] = buffer[i] * mixGain + out[i];
    }
    for (int64_t i = 0; i < size; ++i) samples[i] = toSample(mix[i]);

    const fs::path chunk = folder / chunkFileName(chunks.size());
    const Bytes bytes = wave(std::span(reinterpret_cast<const unsigned char*>(samples.data()),
                                       static_cast<std::size_t>(size) * 2));
    HALDEN_TRY(writeFileAtomically(chunk, bytes));
    chunks.push_back(chunk);
  }
  HALDEN_TRY(saveChunkManifest(chunks, folder));
  return chunks;
}

}  // namespace halden
