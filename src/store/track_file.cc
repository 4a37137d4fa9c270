#include "store/track_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "store/format.h"

namespace halden {
namespace {

// libsndfile reports a failed system call as "System error : <strerror>.";
// the system's error itself reads better in a message that adds its own
// sentence around it ("No space left on device", "File too large").
Error sndfileError(SNDFILE* file) {
  const int code = sf_error(file);
  std::string_view text = sf_strerror(file);
  constexpr std::string_view systemPrefix = "System error : ";
  if (code == SF_ERR_SYSTEM && text.starts_with(systemPrefix)) {
    text.remove_prefix(systemPrefix.size());
    if (text.ends_with('.')) text.remove_suffix(1);
    for (int value = 1; value < 256; ++value) {
      if (text == std::strerror(value)) return Error::fromErrno(value);
    }
  }
  return Error("libsndfile", code, std::string(text));
}

}  // namespace

struct TrackWriter::Handle {
  SNDFILE* file = nullptr;
};

TrackWriter::TrackWriter(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

TrackWriter::~TrackWriter() { (void)close(); }

Result<std::unique_ptr<TrackWriter>> TrackWriter::create(const std::filesystem::path& path,
                                                         TrackEncoding encoding) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(meetingSampleRate);
  info.channels = 1;
  // Little-endian: matches the stored format and lets libsndfile write without
  // byte swapping on this platform.
  info.format = SF_FORMAT_CAF | SF_ENDIAN_LITTLE |
                (encoding == TrackEncoding::pcm16 ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  // libsndfile itself creates files 0666 less the umask; the audio of a
  // meeting is for its owner only, whatever the umask.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return Error::fromErrno(errno);
  // Closes `fd` when it fails, as sf_close does later.
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
  if (!file) {
    // A header that could not be written (a full disk) would leave a file no
    // reader accepts, and a meeting whose other track holds audio could then
    // never be prepared.
    Error error = sndfileError(nullptr);
    ::unlink(path.c_str());
    return error;
  }
  // Without a header rewrite after each write, a killed process leaves a CAF
  // whose data chunk reads as 0 frames.
  sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  auto handle = std::make_unique<Handle>();
  handle->file = file;
  return std::unique_ptr<TrackWriter>(new TrackWriter(std::move(handle)));
}

Result<void> TrackWriter::append(std::span<const float> frames) {
  if (!handle_->file) return failure("The track file is closed.");
  if (frames.empty()) return success();
  sf_count_t written =
      sf_writef_float(handle_->file, frames.data(), static_cast<sf_count_t>(frames.size()));
  if (written > 0) length_ += written;
  if (written != static_cast<sf_count_t>(frames.size())) return sndfileError(handle_->file);
  return success();
}

Result<void> TrackWriter::close() {
  if (!handle_ || !handle_->file) return success();
  int status = sf_close(std::exchange(handle_->file, nullptr));
  if (status != 0) return Error("libsndfile", status, sf_error_number(status));
  return success();
}

struct TrackReader::Handle {
  SNDFILE* file = nullptr;
  ~Handle() {
    if (file) sf_close(file);
  }
};

TrackReader::TrackReader(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
TrackReader::~TrackReader() = default;

Result<std::unique_ptr<TrackReader>> TrackReader::open(const std::filesystem::path& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return sndfileError(nullptr);
  auto handle = std::make_unique<Handle>();
  handle->file = file;
  std::unique_ptr<TrackReader> reader(new TrackReader(std::move(handle)));
  reader->sampleRate_ = info.samplerate;
  reader->channelCount_ = info.channels;
  reader->length_ = info.frames;
  reader->storesPcm16_ = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  return reader;
}

Result<std::size_t> TrackReader::read(int64_t position, std::span<float> out) {
  if (sf_seek(handle_->file, position, SEEK_SET) < 0) return sndfileError(handle_->file);
  sf_count_t got = sf_readf_float(handle_->file, out.data(), static_cast<sf_count_t>(out.size()));
  if (got < 0) return sndfileError(handle_->file);
  return static_cast<std::size_t>(got);
}

Result<std::size_t> TrackReader::readPcm16(int64_t position, std::span<int16_t> out) {
  // For 16-bit files libsndfile reads shorts straight into `out`, where its
  // float path converts through a small internal buffer, one read per 8 KB.
  if (sf_seek(handle_->file, position, SEEK_SET) < 0) return sndfileError(handle_->file);
  sf_count_t got = sf_readf_short(handle_->file, out.data(), static_cast<sf_count_t>(out.size()));
  if (got < 0) return sndfileError(handle_->file);
  return static_cast<std::size_t>(got);
}

}  // namespace halden
