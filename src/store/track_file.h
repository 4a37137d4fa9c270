// Track files: CAF, 16 kHz mono, written by capture and read by preparation.
//
// Writers take 32-bit float frames (full scale +-1.0); recorded tracks store
// them as 16-bit little-endian integers with clipping. The header is rewritten
// with every append, so a process killed at any moment leaves a track that
// reads back every frame appended before the kill. Readers always deliver
// normalised 32-bit float frames, whatever the stored encoding.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "base/error.h"

namespace halden {

// Where the aligned track writer appends audio: anything that knows its length
// and can append float frames at its end. Tests substitute failing outputs.
class TrackOutput {
 public:
  virtual ~TrackOutput() = default;
  // Frames held so far.
  virtual int64_t length() const = 0;
  // Appends `frames` (mono, 16 kHz, full scale +-1.0) at the end. On failure
  // the output holds some prefix of them at most.
  virtual Result<void> append(std::span<const float> frames) = 0;
};

enum class TrackEncoding {
  pcm16,    // recorded tracks: 16-bit signed little-endian integers
  float32,  // the self-test's synthetic tracks: 32-bit float, little-endian
};

// A track file open for writing. Not thread-safe; one writer per file.
class TrackWriter final : public TrackOutput {
 public:
  // Creates (or truncates) a CAF track at `path`; a new file gets mode 0600.
  // Errors: the platform's (opening the file) or libsndfile's text.
  static Result<std::unique_ptr<TrackWriter>> create(const std::filesystem::path& path,
                                                     TrackEncoding encoding = TrackEncoding::pcm16);
  ~TrackWriter() override;
  TrackWriter(const TrackWriter&) = delete;
  TrackWriter& operator=(const TrackWriter&) = delete;

  int64_t length() const override { return length_; }
  Result<void> append(std::span<const float> frames) override;

  // Closes the file; later appends fail. Called by the destructor if needed.
  Result<void> close();

 private:
  struct Handle;
  explicit TrackWriter(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
  int64_t length_ = 0;
};

// A track file open for reading.
class TrackReader {
 public:
  // Opens any audio file libsndfile reads. Errors: libsndfile's text.
  static Result<std::unique_ptr<TrackReader>> open(const std::filesystem::path& path);
  ~TrackReader();
  TrackReader(const TrackReader&) = delete;
  TrackReader& operator=(const TrackReader&) = delete;

  double sampleRate() const { return sampleRate_; }
  int channelCount() const { return channelCount_; }
  int64_t length() const { return length_; }  // frames

  // Reads up to out.size() frames starting at frame `position` as normalised
  // float (16-bit x maps to x / 32768). REQUIRES: channelCount() == 1.
  // Returns the number of frames delivered (fewer at the end of the file).
  Result<std::size_t> read(int64_t position, std::span<float> out);

  // True when the file stores 16-bit integer samples (recorded tracks).
  bool storesPcm16() const { return storesPcm16_; }

  // Reads up to out.size() frames starting at frame `position` as the stored
  // 16-bit integers; read() would deliver each as x / 32768 exactly.
  // REQUIRES: storesPcm16(), channelCount() == 1. Returns the frames delivered.
  Result<std::size_t> readPcm16(int64_t position, std::span<int16_t> out);

 private:
  struct Handle;
  explicit TrackReader(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
  double sampleRate_ = 0;
  int channelCount_ = 0;
  int64_t length_ = 0;
  bool storesPcm16_ = false;
};

}  // namespace halden
