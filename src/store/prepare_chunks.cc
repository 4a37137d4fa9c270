#include "store/prepare_chunks.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "store/chunk_writer.h"
#include "store/files.h"
#include "store/format.h"
#include "store/mix_kernels.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "store/wave.h"

namespace halden {
namespace fs = std::filesystem;

namespace {

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
  const double earliest = HALDEN_TRY(earliestStart(timing));

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

// Buffers of one preparation, each at most one chunk long.
struct MixBuffers {
  std::vector<float> mix;
  std::vector<int16_t> pcm16;  // reads of 16-bit tracks
  std::vector<float> floats;   // reads of any other track
};

// Adds the frames of `source` that fall into the chunk of `size` frames at
// meeting frame `start` to buffers.mix.
Result<void> addTrack(TrackSource& source, int64_t start, int64_t size, MixBuffers& buffers) {
  const int64_t readStart = std::max<int64_t>(0, start - source.offset);
  const int64_t destination = std::max<int64_t>(0, source.offset - start);
  const int64_t count = std::min(source.length - readStart, size - destination);
  if (count < 1) return success();
  float* mix = buffers.mix.data() + destination;
  const auto frames = static_cast<std::size_t>(count);
  if (source.track->storesPcm16()) {
    if (buffers.pcm16.size() < frames) buffers.pcm16.resize(frames);
    const std::size_t got =
        HALDEN_TRY(source.track->readPcm16(readStart, std::span(buffers.pcm16.data(), frames)));
    addPcm16ToMix(buffers.pcm16.data(), std::min(got, frames), mix);
  } else {
    if (buffers.floats.size() < frames) buffers.floats.resize(frames);
    const std::size_t got =
        HALDEN_TRY(source.track->read(readStart, std::span(buffers.floats.data(), frames)));
    addToMix(buffers.floats.data(), std::min(got, frames), mix);
  }
  return success();
}

// Mixes every chunk of the meeting and hands its file bytes to `writer`.
Result<void> mixChunks(std::vector<TrackSource>& sources, int64_t total, ChunkWriter& writer) {
  MixBuffers buffers;
  buffers.mix.resize(static_cast<std::size_t>(std::min(total, chunkFrameCount)));
  for (int64_t start = 0; start < total; start += chunkFrameCount) {
    const int64_t size = std::min(chunkFrameCount, total - start);
    const auto frames = static_cast<std::size_t>(size);
    std::fill_n(buffers.mix.begin(), frames, 0.0f);
    for (TrackSource& source : sources) HALDEN_TRY(addTrack(source, start, size, buffers));

    Bytes chunk = writer.spareBuffer();
    chunk.resize(waveHeaderSize + 2 * frames);
    writeWaveHeader(2 * frames,
                    std::span<unsigned char, waveHeaderSize>(chunk.data(), waveHeaderSize));
    mixToPcm16(buffers.mix.data(), frames, chunk.data() + waveHeaderSize);
    HALDEN_TRY(writer.write(std::move(chunk)));
  }
  return success();
}

}  // namespace

Result<ChunkList> prepareChunks(const fs::path& folder) {
  if (std::optional<ChunkList> saved = HALDEN_TRY(savedChunks(folder))) return *saved;

  std::vector<TrackSource> sources = HALDEN_TRY(openTrackSources(folder));
  const int64_t total = HALDEN_TRY(meetingLength(sources));

  // Chunk k is written, flushed and read back on the writer's thread while
  // chunk k + 1 is mixed here.
  std::unique_ptr<ChunkWriter> writer = HALDEN_TRY(ChunkWriter::create(folder));
  Result<void> mixed = success();
  try {
    mixed = mixChunks(sources, total, *writer);
  } catch (const std::bad_alloc&) {
    mixed = Error::fromErrno(ENOMEM);  // a buffer of one chunk could not be had
  }
  // The writer only ever holds chunks that precede a mixing failure, so its
  // error, if any, is the earlier one.
  const ChunkManifest manifest = HALDEN_TRY(writer->finish());
  if (!mixed.ok()) return mixed.error();
  // Last, and only once every chunk and its rename are on disk.
  HALDEN_TRY(writeChunkManifest(manifest, folder));

  ChunkList chunks;
  for (const ChunkManifest::Chunk& chunk : manifest.chunks) chunks.push_back(folder / chunk.name);
  return chunks;
}

}  // namespace halden
