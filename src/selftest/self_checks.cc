#include "selftest/self_checks.h"

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "capture/aligned_writer.h"
#include "service/response.h"
#include "store/chunk_manifest.h"
#include "store/files.h"
#include "store/format.h"
#include "store/prepare_chunks.h"
#include "store/track_file.h"
#include "store/wave.h"

namespace halden {
namespace {
namespace fs = std::filesystem;

// The fixed number of checks, printed in the summary line.
constexpr int checkCount = 25;

Error platformError(const std::error_code& error) {
  return Error(error.category().name(), error.value(), error.message());
}

// The run's private folder: the temporary directory plus a fresh UUID. Removed
// with everything in it when this object goes, whichever way the run leaves;
// a failing removal is ignored.
class WorkRoot {
 public:
  static Result<WorkRoot> create() {
    std::error_code error;
    fs::path temporary = fs::temp_directory_path(error);
    if (error) return platformError(error);
    g_autofree char* name = g_uuid_string_random();
    fs::path root = temporary / name;
    const bool created = fs::create_directories(root, error);
    if (error) return platformError(error);
    // A folder that already exists belongs to someone else.
    if (!created) return Error::fromErrno(EEXIST);
    return WorkRoot(std::move(root));
  }
  WorkRoot(WorkRoot&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  WorkRoot& operator=(WorkRoot&&) = delete;
  ~WorkRoot() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

  const fs::path& path() const { return path_; }

  // Creates the check folder `name` (and its parents) and returns it.
  Result<fs::path> folder(std::string_view name) const {
    fs::path folder = path_ / name;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) return platformError(error);
    return folder;
  }

 private:
  explicit WorkRoot(fs::path path) : path_(std::move(path)) {}
  fs::path path_;
};

// `frames` frames of the test format (32-bit float, 16 kHz, mono), all `value`.
std::vector<float> pcm(std::size_t frames, float value) {
  return std::vector<float>(frames, value);
}

// Sample `index` of a WAV chunk's bytes: the signed 16-bit little-endian value
// after the 44-byte header; none when the chunk is shorter than that.
std::optional<int16_t> sample(const Bytes& data, std::size_t index) {
  const std::size_t offset = waveHeaderSize + 2 * index;
  if (offset + 2 > data.size()) return std::nullopt;
  return static_cast<int16_t>(static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8)));
}

// A test track file at `path` holding one write of `frames`.
Result<void> writeTestTrack(const fs::path& path, const std::vector<float>& frames) {
  auto writer = HALDEN_TRY(TrackWriter::create(path, TrackEncoding::float32));
  HALDEN_TRY(writer->append(frames));
  return writer->close();
}

// A plain (not atomic) write that replaces `file`.
Result<void> writePlain(const fs::path& file, std::span<const unsigned char> bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return Error::fromErrno(errno);
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      const int writeError = errno;
      ::close(fd);
      return Error::fromErrno(writeError);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  if (::close(fd) != 0) return Error::fromErrno(errno);
  return success();
}

Result<void> writePlain(const fs::path& file, std::string_view text) {
  return writePlain(file, std::span<const unsigned char>(
                              reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}

// Compact JSON text of `value`; a value that cannot be encoded is an error.
Result<std::string> encodeJson(const nlohmann::json& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception& error) {
    return Error("JSON", error.id, error.what());
  }
}

// The signal that asked the running self-test to stop, or 0.
volatile std::sig_atomic_t interruptingSignal = 0;

extern "C" void noteInterruption(int signal) { interruptingSignal = signal; }

// For the length of a run: an interrupt, hang-up or termination request ends
// the run at the end of the check under way (a second one acts as usual), so
// that the work root, over a gigabyte after check 10, is still removed. A
// closed standard output does not kill the process either; the failed write
// ends the run the same way. Signals that were ignored stay ignored.
class InterruptionGuard {
 public:
  InterruptionGuard() {
    interruptingSignal = 0;
    struct sigaction note {};
    note.sa_handler = noteInterruption;
    note.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&note.sa_mask);
    for (std::size_t i = 0; i < std::size(stopSignals); ++i) {
      sigaction(stopSignals[i], nullptr, &saved_[i]);
      if (saved_[i].sa_handler != SIG_IGN) sigaction(stopSignals[i], &note, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &savedPipe_);
  }
  ~InterruptionGuard() {
    for (std::size_t i = 0; i < std::size(stopSignals); ++i) {
      sigaction(stopSignals[i], &saved_[i], nullptr);
    }
    sigaction(SIGPIPE, &savedPipe_, nullptr);
  }
  InterruptionGuard(const InterruptionGuard&) = delete;
  InterruptionGuard& operator=(const InterruptionGuard&) = delete;

 private:
  static constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction saved_[std::size(stopSignals)]{};
  struct sigaction savedPipe_ {};
};

// The checks' verdicts. An expectation that does not hold fails the run with
// a message naming its check; an operation a check needs (creating, reading,
// preparing) is a Result of its own and its error is propagated unchanged.
class Checks {
 public:
  explicit Checks(std::ostream& out) : out_(out) {}

  // One expectation of check `name`; prints nothing.
  static Result<void> require(bool holds, std::string_view name, std::string_view detail) {
    if (holds) return success();
    return failure("Audio self-test failed: " + std::string(name) + " (" + std::string(detail) +
                   ").");
  }

  // The line of a check whose expectations all held. Fails, ending the run,
  // when the run was interrupted or its report cannot be written.
  Result<void> pass(std::string_view name) {
    out_ << "PASS: " << name << std::endl;
    return stillRunning();
  }

  // A check whose one expectation is that `result` is an error, of any kind.
  template <typename T>
  Result<void> passIfFailed(const Result<T>& result, std::string_view name) {
    HALDEN_TRY(require(!result.ok(), name, "the operation succeeded"));
    return pass(name);
  }

  Result<void> summary() {
    out_ << "Halden native audio: " << checkCount
         << " checks passed. No microphone or system audio was captured." << std::endl;
    return stillRunning();
  }

 private:
  Result<void> stillRunning() const {
    if (interruptingSignal != 0) return failure("The audio self-test was interrupted.");
    if (!out_) return failure("The audio self-test could not write its report.");
    return success();
  }

  std::ostream& out_;
};

std::string describe(const Result<void>& result) {
  return result.ok() ? "it succeeded" : result.error().description();
}

// Folder "mixed": two one-second tracks, the microphone starting 0.5 s after
// the system track. Checks 1 to 3.
Result<void> mixedChecks(const WorkRoot& root, Checks& checks) {
  const fs::path mixed = HALDEN_TRY(root.folder("mixed"));
  HALDEN_TRY(writeTestTrack(mixed / "system.caf", pcm(16000, 0.2f)));
  HALDEN_TRY(writeTestTrack(mixed / "microphone.caf", pcm(16000, 0.2f)));
  const std::string timing =
      HALDEN_TRY(encodeJson(nlohmann::json{{"system", 10.0}, {"microphone", 10.5}}));
  HALDEN_TRY(writePlain(mixed / timingFileName, timing));

  const ChunkList chunks = HALDEN_TRY(prepareChunks(mixed));
  constexpr std::string_view offsets = "Microphone and system start offsets preserve 1.5 seconds";
  HALDEN_TRY(Checks::require(!chunks.empty(), offsets, "no chunk was prepared"));
  const Bytes first = HALDEN_TRY(validateChunk(chunks.front(), mixed));
  HALDEN_TRY(Checks::require(first.size() == 48044, offsets,
                             "the first chunk holds " + std::to_string(first.size()) + " bytes"));
  HALDEN_TRY(checks.pass(offsets));

  // At 0.625 s both tracks sound, at 0.0625 s only the system track.
  constexpr std::string_view positions =
      "Both tracks are present at their original clock positions";
  const std::optional<int16_t> both = sample(first, 10000);
  const std::optional<int16_t> systemOnly = sample(first, 1000);
  HALDEN_TRY(Checks::require(both && systemOnly && std::abs(*both - 2 * *systemOnly) <= 2,
                             positions, "the two tracks do not overlap where their clocks say"));
  HALDEN_TRY(checks.pass(positions));

  constexpr std::string_view reuse = "Recovery reuses the same verified chunks";
  const ChunkList again = HALDEN_TRY(prepareChunks(mixed));
  HALDEN_TRY(Checks::require(again == chunks, reuse, "a second preparation returned other chunks"));
  HALDEN_TRY(checks.pass(reuse));
  return success();
}

// Folders "clipped" (two full-scale tracks) and "long" (61 s). Checks 4 to 6.
Result<void> mixingAndBoundaryChecks(const WorkRoot& root, Checks& checks) {
  const fs::path clipped = HALDEN_TRY(root.folder("clipped"));
  HALDEN_TRY(writeTestTrack(clipped / "system.caf", pcm(16000, 1.0f)));
  HALDEN_TRY(writeTestTrack(clipped / "microphone.caf", pcm(16000, 1.0f)));
  constexpr std::string_view clipping = "Clipping saturates without integer overflow";
  const ChunkList clippedChunks = HALDEN_TRY(prepareChunks(clipped));
  HALDEN_TRY(Checks::require(!clippedChunks.empty(), clipping, "no chunk was prepared"));
  const Bytes clippedBytes = HALDEN_TRY(readFile(clippedChunks.front()));
  HALDEN_TRY(Checks::require(sample(clippedBytes, 100) == int16_t{32767}, clipping,
                             "the mix did not saturate at 32767"));
  HALDEN_TRY(checks.pass(clipping));

  const fs::path longFolder = HALDEN_TRY(root.folder("long"));
  HALDEN_TRY(writeTestTrack(longFolder / "microphone.caf", pcm(976000, 0.2f)));
  constexpr std::string_view twoChunks = "61 seconds produces two chunks";
  const ChunkList chunks = HALDEN_TRY(prepareChunks(longFolder));
  HALDEN_TRY(Checks::require(chunks.size() == 2, twoChunks,
                             std::to_string(chunks.size()) + " chunks were prepared"));
  HALDEN_TRY(checks.pass(twoChunks));

  constexpr std::string_view boundary = "One-minute chunk boundary loses no samples";
  const Bytes first = HALDEN_TRY(readFile(chunks[0]));
  const Bytes second = HALDEN_TRY(readFile(chunks[1]));
  HALDEN_TRY(Checks::require(first.size() == 1920044 && second.size() == 32044, boundary,
                             "the chunks hold " + std::to_string(first.size()) + " and " +
                                 std::to_string(second.size()) + " bytes"));
  HALDEN_TRY(checks.pass(boundary));
  return success();
}

// Folder "gap": one track written through the aligned writer, kept open from
// check 7 to check 10, then prepared (check 11) and an empty folder (12).
Result<void> alignedWriterChecks(const WorkRoot& root, Checks& checks) {
  const fs::path gap = HALDEN_TRY(root.folder("gap"));
  auto track = HALDEN_TRY(TrackWriter::create(gap / "system.caf", TrackEncoding::float32));

  constexpr std::string_view paused = "A paused input preserves its two-second silence gap";
  const Result<void> speech = appendAligned(pcm(16000, 0.2f), *track, 10.0, 10.0);
  HALDEN_TRY(Checks::require(speech.ok(), paused, describe(speech)));
  const Result<void> afterPause = appendAligned(pcm(16000, 0.4f), *track, 13.0, 10.0);
  HALDEN_TRY(Checks::require(afterPause.ok() && track->length() == 64000, paused,
                             "the track holds " + std::to_string(track->length()) +
                                 " frames; the second append: " + describe(afterPause)));
  HALDEN_TRY(checks.pass(paused));

  HALDEN_TRY(checks.passIfFailed(appendAligned(pcm(16000, 0.2f), *track, 10.0, 10.0),
                                 "Repeated or out-of-order callback is rejected"));
  HALDEN_TRY(checks.passIfFailed(appendAligned(pcm(1, 0.2f), *track, std::nan(""), 10.0),
                                 "Non-finite audio clock is rejected"));

  // The offset is exactly 14 400 s: silence fills the track up to the limit,
  // and then the buffer itself is refused.
  constexpr std::string_view limit = "Four-hour limit is enforced before writing more audio";
  const Result<void> pastLimit = appendAligned(pcm(16000, 0.2f), *track, 14410.0, 10.0);
  HALDEN_TRY(Checks::require(!pastLimit.ok() && track->length() == maximumMeetingFrames, limit,
                             "the track holds " + std::to_string(track->length()) +
                                 " frames; the append: " + describe(pastLimit)));
  HALDEN_TRY(checks.pass(limit));
  HALDEN_TRY(track->close());

  constexpr std::string_view recovery =
      "Recovery retains silence and later speech in the right positions";
  const ChunkList chunks = HALDEN_TRY(prepareChunks(gap));
  HALDEN_TRY(Checks::require(!chunks.empty(), recovery, "no chunk was prepared"));
  const Bytes first = HALDEN_TRY(readFile(chunks.front()));
  const std::optional<int16_t> silence = sample(first, 32000);      // 2.0 s
  const std::optional<int16_t> laterSpeech = sample(first, 50000);  // 3.125 s
  HALDEN_TRY(Checks::require(silence == int16_t{0} && laterSpeech && *laterSpeech >= 1, recovery,
                             "the pause or the speech after it moved"));
  HALDEN_TRY(checks.pass(recovery));

  const fs::path empty = HALDEN_TRY(root.folder("empty"));
  return checks.passIfFailed(prepareChunks(empty), "Empty capture gives an actionable failure");
}

// Folders "legacy", "traversal", "linked" and "invalid": manifests and the
// files a preparation may read. Checks 13 to 19.
Result<void> savedChunkChecks(const WorkRoot& root, const fs::path& mixed, Checks& checks) {
  const fs::path legacy = HALDEN_TRY(root.folder("legacy"));
  HALDEN_TRY(writeTestTrack(legacy / "microphone.caf", pcm(16000, 0.2f)));
  const ChunkList chunks = HALDEN_TRY(prepareChunks(legacy));
  nlohmann::json names = nlohmann::json::array();
  for (const fs::path& chunk : chunks) names.push_back(chunk.filename().string());
  const std::string earlierForm = HALDEN_TRY(encodeJson(names));
  HALDEN_TRY(writePlain(legacy / manifestFileName, earlierForm));

  constexpr std::string_view upgrade = "Version 0.1.0 recordings upgrade without changing audio";
  const ChunkList upgraded = HALDEN_TRY(prepareChunks(legacy));
  HALDEN_TRY(
      Checks::require(upgraded == chunks, upgrade, "the upgraded recording lists other chunks"));
  HALDEN_TRY(checks.pass(upgrade));

  constexpr std::string_view identities = "Legacy recovery records SHA-256 identities";
  const Bytes json = HALDEN_TRY(readFile(legacy / manifestFileName));
  const ChunkManifest manifest = HALDEN_TRY(ChunkManifest::fromJson(
      std::string_view(reinterpret_cast<const char*>(json.data()), json.size())));
  HALDEN_TRY(Checks::require(manifest.version == 1 && !manifest.chunks.empty() &&
                                 manifest.chunks.front().sha256.size() == 64,
                             identities, "the manifest was not upgraded with identities"));
  HALDEN_TRY(checks.pass(identities));

  constexpr std::string_view modified = "Modified audio cannot silently reuse a retry identity";
  HALDEN_TRY(Checks::require(!chunks.empty(), modified, "no chunk was prepared"));
  Bytes bytes = HALDEN_TRY(readFile(chunks.front()));
  HALDEN_TRY(
      Checks::require(bytes.size() > waveHeaderSize, modified, "the chunk holds no samples"));
  bytes[waveHeaderSize] ^= 1;
  HALDEN_TRY(writePlain(chunks.front(), bytes));
  HALDEN_TRY(checks.passIfFailed(prepareChunks(legacy), modified));

  std::error_code error;
  fs::remove(chunks.front(), error);
  if (error) return platformError(error);
  HALDEN_TRY(checks.passIfFailed(
      prepareChunks(legacy), "Missing prepared chunk fails without replacing uploaded identities"));

  const fs::path traversal = HALDEN_TRY(root.folder("traversal"));
  const std::string outside = HALDEN_TRY(encodeJson(nlohmann::json::array({"../other.wav"})));
  HALDEN_TRY(writePlain(traversal / manifestFileName, outside));
  HALDEN_TRY(checks.passIfFailed(prepareChunks(traversal), "Manifest path traversal is rejected"));

  const fs::path linked = HALDEN_TRY(root.folder("linked"));
  fs::create_symlink(mixed / "system.caf", linked / "system.caf", error);
  if (error) return platformError(error);
  HALDEN_TRY(checks.passIfFailed(prepareChunks(linked), "Symlinked source audio is rejected"));

  const fs::path invalid = HALDEN_TRY(root.folder("invalid"));
  Bytes chunk = wave(Bytes(32, 0));
  chunk[24] = 1;  // the sample rate's lowest byte: the header now claims 15 873 Hz
  HALDEN_TRY(writePlain(invalid / "chunk-000.wav", chunk));
  return checks.passIfFailed(validateChunk(invalid / "chunk-000.wav", invalid),
                             "WAV header and actual PCM format must agree");
}

// Answers of the service. Checks 20 to 24.
Result<void> acknowledgementChecks(Checks& checks) {
  HALDEN_TRY(checks.passIfFailed(decodeObjectResponse(std::string_view("<html>Sign in</html>")),
                                 "HTML success response cannot authorize audio deletion"));
  HALDEN_TRY(checks.passIfFailed(requireAcknowledgement(JsonObject::object(), std::nullopt),
                                 "Missing summary acknowledgement keeps saved audio"));
  HALDEN_TRY(checks.passIfFailed(
      requireAcknowledgement(JsonObject{{"ok", true}, {"sequence", 1}}, int64_t{0}),
      "Mismatched chunk acknowledgement keeps saved audio"));
  HALDEN_TRY(checks.passIfFailed(requireAcknowledgement(JsonObject{{"ok", 1}}, std::nullopt),
                                 "Numeric truthy response is not a Boolean acknowledgement"));
  HALDEN_TRY(requireAcknowledgement(JsonObject{{"ok", true}, {"sequence", 0}}, int64_t{0}));
  HALDEN_TRY(checks.pass("Expected saved-chunk acknowledgement accepted"));
  return success();
}

// Folder "bad-timing": a timing.json that is not JSON. Check 25.
Result<void> timingChecks(const WorkRoot& root, Checks& checks) {
  const fs::path badTiming = HALDEN_TRY(root.folder("bad-timing"));
  HALDEN_TRY(writeTestTrack(badTiming / "system.caf", pcm(16000, 0.2f)));
  HALDEN_TRY(writePlain(badTiming / timingFileName, std::string_view("broken json")));
  return checks.passIfFailed(prepareChunks(badTiming),
                             "Malformed timing cannot silently change audio alignment");
}

}  // namespace

Result<void> runAudioSelfTests(std::ostream& out) {
  // Declared first, so that it still holds while the work root is removed.
  const InterruptionGuard interruptions;
  // The checks share folders and files, so their order is fixed.
  const WorkRoot root = HALDEN_TRY(WorkRoot::create());
  Checks checks(out);
  HALDEN_TRY(mixedChecks(root, checks));
  HALDEN_TRY(mixingAndBoundaryChecks(root, checks));
  HALDEN_TRY(alignedWriterChecks(root, checks));
  HALDEN_TRY(savedChunkChecks(root, root.path() / "mixed", checks));
  HALDEN_TRY(acknowledgementChecks(checks));
  HALDEN_TRY(timingChecks(root, checks));
  return checks.summary();
}

}  // namespace halden
