// Sample intake: turns the captured buffers of one recording into its track
// files and timing.json.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "base/error.h"
#include "capture/audio_converter.h"
#include "capture/capture_stream.h"
#include "store/timing.h"
#include "store/track_file.h"

namespace halden {

// Creates the track file at `path` (the default makes a 16-bit CAF track).
// Tests substitute outputs that fail.
using TrackFileFactory =
    std::function<Result<std::unique_ptr<TrackOutput>>(const std::filesystem::path& path)>;

TrackFileFactory defaultTrackFileFactory();

// The per-recording state of the recorder: open track files, converters,
// first timestamps and the recording's write error. Every member is used from
// one thread at a time (the recorder's sample queue); nothing is locked.
//
// Invariant: once writeError() is set, take() writes nothing more until
// reset().
class SampleIntake {
 public:
  explicit SampleIntake(TrackFileFactory createTrack = defaultTrackFileFactory());
  ~SampleIntake();
  SampleIntake(const SampleIntake&) = delete;
  SampleIntake& operator=(const SampleIntake&) = delete;

  // Starts a recording into `directory`: no files, converters, first
  // timestamps or write error.
  void reset(std::filesystem::path directory);

  // Takes one buffer of the running recording. Ignores, without trace, empty
  // or invalid buffers, buffers without a format and everything after a write
  // error. On a source's first buffer creates its track file, records the
  // buffer's timestamp as the track's first and rewrites timing.json. Then
  // converts the buffer (a new converter when the source's format changed;
  // the track file stays) and writes it with appendAligned.
  // Returns the error when this buffer made the recording fail (it is then
  // writeError()); nothing otherwise.
  std::optional<Error> take(const CaptureBuffer& buffer);

  // Makes `error` the recording's error, replacing any earlier one: writing
  // stops as after a failed write.
  void fail(Error error) { writeError_ = std::move(error); }

  // Writes what the converters still hold, closes every track file (all
  // frames appended so far are on disk) and drops the converters. A failure
  // of that last write becomes writeError(). First timestamps and the write
  // error stay.
  void close();

  const std::optional<Error>& writeError() const { return writeError_; }
  const TimingMap& firstTimes() const { return firstTimes_; }
  const std::optional<std::filesystem::path>& directory() const { return directory_; }

  // Converters made so far in this recording, for tests of format changes.
  int convertersMade() const { return convertersMade_; }

 private:
  Result<void> write(const CaptureBuffer& buffer);
  Result<void> drain();
  Result<void> drainInto(AudioConverter& converter, TrackOutput& track, double firstTimestamp);
  Result<void> startTrack(const CaptureBuffer& buffer);

  TrackFileFactory createTrack_;
  std::optional<std::filesystem::path> directory_;
  std::map<CaptureSource, std::unique_ptr<TrackOutput>> files_;
  std::map<CaptureSource, std::unique_ptr<AudioConverter>> converters_;
  TimingMap firstTimes_;
  std::optional<Error> writeError_;
  std::vector<float> output_;  // scratch: one converted buffer
  int convertersMade_ = 0;
};

}  // namespace halden
