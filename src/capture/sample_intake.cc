#include "capture/sample_intake.h"

#include <algorithm>
#include <string>
#include <utility>

#include "capture/aligned_writer.h"
#include "store/format.h"

namespace halden {

TrackFileFactory defaultTrackFileFactory() {
  return [](const std::filesystem::path& path) -> Result<std::unique_ptr<TrackOutput>> {
    auto writer = TrackWriter::create(path, TrackEncoding::pcm16);
    if (!writer.ok()) return std::move(writer).error();
    return std::unique_ptr<TrackOutput>(std::move(writer).value());
  };
}

SampleIntake::SampleIntake(TrackFileFactory createTrack) : createTrack_(std::move(createTrack)) {}

SampleIntake::~SampleIntake() = default;

void SampleIntake::reset(std::filesystem::path directory) {
  directory_ = std::move(directory);
  files_.clear();
  converters_.clear();
  firstTimes_.clear();
  writeError_.reset();
  convertersMade_ = 0;
}

void SampleIntake::close() {
  if (!writeError_) {
    if (Result<void> drained = drain(); !drained.ok()) writeError_ = std::move(drained).error();
  }
  files_.clear();  // TrackWriter closes its file when destroyed
  converters_.clear();
}

Result<void> SampleIntake::drain() {
  for (auto& [source, converter] : converters_) {
    auto file = files_.find(source);
    if (file == files_.end() || !file->second) continue;
    HALDEN_TRY(drainInto(*converter, *file->second,
                         firstTimes_.at(std::string(trackNameOf(source)))));
  }
  return success();
}

Result<void> SampleIntake::drainInto(AudioConverter& converter, TrackOutput& track,
                                     double firstTimestamp) {
  // A resampler gives out its last milliseconds only when its input ends;
  // they go straight after what the track holds.
  output_.resize(1024);
  for (;;) {
    const std::size_t frames = HALDEN_TRY(converter.drain(output_));
    if (frames == 0) return success();
    const double end = firstTimestamp + static_cast<double>(track.length()) / meetingSampleRate;
    HALDEN_TRY(
        appendAligned(std::span<const float>(output_.data(), frames), track, end, firstTimestamp));
  }
}

std::optional<Error> SampleIntake::take(const CaptureBuffer& buffer) {
  if (buffer.frameCount <= 0 || writeError_ || !buffer.format || !directory_) return std::nullopt;
  // A buffer whose bytes do not match its description cannot be read; it is
  // dropped like a buffer whose samples could not be copied.
  if (!buffer.isValid()) return std::nullopt;
  Result<void> written = write(buffer);
  if (written.ok()) return std::nullopt;
  writeError_ = std::move(written).error();
  return writeError_;
}

Result<void> SampleIntake::startTrack(const CaptureBuffer& buffer) {
  const std::string track(trackNameOf(buffer.source));
  // The converter comes first: a format no converter takes still leaves the
  // empty track and its first timestamp behind, as a record of the attempt.
  if (auto converter = AudioConverter::create(*buffer.format, buffer.clockRatio.has_value());
      converter.ok()) {
    converters_[buffer.source] = std::move(converter).value();
    ++convertersMade_;
  } else {
    converters_.erase(buffer.source);
  }
  auto file = createTrack_(*directory_ / trackFileName(track));
  if (!file.ok()) return std::move(file).error();
  files_[buffer.source] = std::move(file).value();
  firstTimes_[track] = buffer.timestamp;
  return writeTiming(firstTimes_, *directory_);
}

Result<void> SampleIntake::write(const CaptureBuffer& buffer) {
  const AudioFormat& format = *buffer.format;
  if (!files_.contains(buffer.source)) HALDEN_TRY(startTrack(buffer));
  auto file = files_.find(buffer.source);
  if (file == files_.end() || !file->second) return failure(std::string(unsupportedFormatMessage));
  TrackOutput& track = *file->second;
  const double firstTimestamp = firstTimes_.at(std::string(trackNameOf(buffer.source)));

  const bool followsClock = buffer.clockRatio.has_value();
  auto converter = converters_.find(buffer.source);
  if (converter != converters_.end()) {
    const bool fits = converter->second->inputFormat() == format &&
                      converter->second->followsClock() == followsClock;
    // What a resampler still holds belongs before a pause's silence and
    // before audio of another format: it goes out first, and the new audio
    // begins a conversion of its own.
    const double gap = (buffer.timestamp - firstTimestamp) * meetingSampleRate -
                       static_cast<double>(track.length());
    if (!fits || gap > static_cast<double>(jitterTolerance)) {
      HALDEN_TRY(drainInto(*converter->second, track, firstTimestamp));
      converters_.erase(converter);
      converter = converters_.end();
      // The silence goes in now: a new resampler may hold back all of its
      // first buffers, and the gap must not be taken for a pause again.
      HALDEN_TRY(appendAligned({}, track, buffer.timestamp, firstTimestamp));
    }
  }
  if (converter == converters_.end()) {
    auto made = AudioConverter::create(format, followsClock);
    if (!made.ok()) return failure(std::string(unsupportedFormatMessage));
    converter = converters_.emplace(buffer.source, std::move(made).value()).first;
    ++convertersMade_;
  }

  // A source running slow against the capture clock gains frames in the
  // conversion: the capacity is that of its true rate.
  if (followsClock) converter->second->setClockRatio(*buffer.clockRatio);
  const double ratio = std::min(converter->second->clockRatio(), 1.0);
  output_.resize(outputCapacity(buffer.frameCount, format.sampleRate * ratio));
  const std::size_t frames = HALDEN_TRY(converter->second->convert(
      buffer.samples, static_cast<std::size_t>(buffer.frameCount), output_));
  if (frames == 0) return success();
  return appendAligned(std::span<const float>(output_.data(), frames), track, buffer.timestamp,
                       firstTimestamp);
}

}  // namespace halden
