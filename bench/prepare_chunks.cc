// Measures chunk preparation of a long two-track meeting against what the
// same disk work costs without any mixing: the "floor".
//
//   prepare_chunks [--hours H] [--dir D] [--repeat N]
//
// Builds a meeting folder (16-bit CAF tracks written with TrackWriter, the
// microphone starting 0.5 s after the system track and ending with it),
// then times, in this order and on the same files:
//   cold   prepareChunks without a manifest (mix, write, fsync, hash, manifest)
//   warm   prepareChunks with the manifest in place (read back, verify)
//   floor  read both track files, write the chunk bytes the same way
//          (temporary file, fsync, rename), hash them; also without fsync
//   warm floor  read and hash the chunk files
// Each figure is the best of N rounds (default 3); peak RSS is the largest.
// Preparation runs in a forked child so that its peak resident size is its
// own, not the generator's. The folder is a fresh temporary one unless --dir
// is given; a temporary folder is removed at the end.
#include "store/prepare_chunks.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "store/format.h"
#include "store/timing.h"
#include "store/track_file.h"
#include "store/wave.h"

namespace {
namespace fs = std::filesystem;
using halden::Bytes;
using halden::bench::die;
using halden::bench::now;
using halden::bench::writeTrack;

struct ChildResult {
  double seconds = 0;
  double peakRssMb = 0;
  std::size_t chunks = 0;
};

// Runs prepareChunks in a child process; its time and peak resident size.
ChildResult prepareInChild(const fs::path& folder) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) die("pipe failed");
  const pid_t child = ::fork();
  if (child < 0) die("fork failed");
  if (child == 0) {
    ::close(pipeFds[0]);
    const double start = now();
    auto chunks = halden::prepareChunks(folder);
    const double seconds = now() - start;
    if (!chunks.ok()) {
      std::fprintf(stderr, "prepareChunks: %s\n", chunks.error().description().c_str());
      ::_exit(1);
    }
    const double result[2] = {seconds, static_cast<double>(chunks->size())};
    if (::write(pipeFds[1], result, sizeof result) != sizeof result) ::_exit(1);
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  double result[2] = {0, 0};
  const ssize_t got = ::read(pipeFds[0], result, sizeof result);
  ::close(pipeFds[0]);
  int status = 0;
  struct rusage usage {};
  if (::wait4(child, &status, 0, &usage) != child) die("wait4 failed");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got != sizeof result) {
    die("preparation failed");
  }
  return {result[0], static_cast<double>(usage.ru_maxrss) / 1024.0,
          static_cast<std::size_t>(result[1])};
}

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_, EVP_sha256(), nullptr); }
  ~Sha256() { EVP_MD_CTX_free(context_); }
  void update(const void* data, std::size_t size) { EVP_DigestUpdate(context_, data, size); }
  unsigned char finish() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest, &size);
    return digest[0];
  }

 private:
  EVP_MD_CTX* context_;
};

// Reads `size` bytes (or to the end) from `fd` into `into`.
std::size_t readFully(int fd, unsigned char* into, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, into + got, size - got);
    if (n < 0) die("read failed");
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// The disk work of a cold preparation without the mixing: reads both track
// files through in chunk-sized pieces, writes as many chunk files of the
// same sizes (to other names) and hashes the bytes written.
double measureFloor(const fs::path& folder, int64_t totalFrames, bool withFsync) {
  const double start = now();
  const int system = ::open((folder / "system.caf").c_str(), O_RDONLY | O_CLOEXEC);
  const int microphone = ::open((folder / "microphone.caf").c_str(), O_RDONLY | O_CLOEXEC);
  if (system < 0 || microphone < 0) die("cannot open the tracks");
  Bytes chunk(halden::maximumChunkFileSize);
  Bytes trackBytes(2 * halden::chunkFrameCount);
  unsigned char sink = 0;
  std::size_t index = 0;
  for (int64_t s = 0; s < totalFrames; s += halden::chunkFrameCount, ++index) {
    const auto frames =
        static_cast<std::size_t>(std::min(halden::chunkFrameCount, totalFrames - s));
    readFully(system, trackBytes.data(), 2 * frames);
    readFully(microphone, trackBytes.data(), 2 * frames);
    halden::writeWaveHeader(2 * frames, std::span<unsigned char, 44>(chunk.data(), 44));
    std::memcpy(chunk.data() + 44, trackBytes.data(), 2 * frames);
    const std::size_t size = 44 + 2 * frames;

    const fs::path target = folder / ("floor-" + std::to_string(index) + ".wav");
    const fs::path temporary = folder / (".floor-" + std::to_string(index) + ".tmp");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) die("cannot create a floor file");
    for (std::size_t written = 0; written < size;) {
      const ssize_t n = ::write(fd, chunk.data() + written, size - written);
      if (n <= 0) die("write failed");
      written += static_cast<std::size_t>(n);
    }
    if (withFsync && ::fsync(fd) != 0) die("fsync failed");
    ::close(fd);
    if (::rename(temporary.c_str(), target.c_str()) != 0) die("rename failed");
    Sha256 hash;
    hash.update(chunk.data(), size);
    sink ^= hash.finish();
  }
  ::close(system);
  ::close(microphone);
  const double seconds = now() - start;
  for (std::size_t i = 0; i < index; ++i)
    fs::remove(folder / ("floor-" + std::to_string(i) + ".wav"));
  if (sink == 0x5a) std::fputc(' ', stderr);  // keeps the hashing from being dropped
  return seconds;
}

// Reading and hashing every chunk file: the least a verified reuse can cost.
double measureWarmFloor(const fs::path& folder, std::size_t chunkCount) {
  const double start = now();
  Bytes bytes(halden::maximumChunkFileSize);
  unsigned char sink = 0;
  for (std::size_t i = 0; i < chunkCount; ++i) {
    const int fd = ::open((folder / halden::chunkFileName(i)).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) die("cannot open a chunk");
    const std::size_t size = readFully(fd, bytes.data(), bytes.size());
    ::close(fd);
    Sha256 hash;
    hash.update(bytes.data(), size);
    sink ^= hash.finish();
  }
  if (sink == 0x5a) std::fputc(' ', stderr);
  return now() - start;
}

}  // namespace

int main(int argc, char** argv) {
  double hours = 4;
  int repeat = 3;
  fs::path folder;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--hours" && i + 1 < argc) {
      hours = std::atof(argv[++i]);
    } else if (argument == "--dir" && i + 1 < argc) {
      folder = argv[++i];
    } else if (argument == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else {
      die("usage: prepare_chunks [--hours H] [--dir D] [--repeat N]");
    }
  }
  const auto systemFrames = static_cast<int64_t>(std::llround(hours * 3600 * 16000));
  // The microphone starts 0.5 s (8,000 frames) later and ends with the system
  // track, so the meeting is exactly as long as the system track.
  const int64_t microphoneFrames = systemFrames - 8000;
  if (hours <= 0 || systemFrames > halden::maximumMeetingFrames || microphoneFrames < 1) {
    die("--hours must lie in (0, 4]");
  }

  const bool temporaryFolder = folder.empty();
  if (temporaryFolder) {
    std::string pattern = (fs::temp_directory_path() / "halden-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) die("cannot create a temporary folder");
    folder = pattern;
  } else {
    fs::create_directories(folder);
  }

  std::printf("generating %.3f h: system %lld frames, microphone %lld frames (+0.5 s) in %s\n",
              hours, static_cast<long long>(systemFrames), static_cast<long long>(microphoneFrames),
              folder.c_str());
  std::fflush(stdout);
  writeTrack(folder / "system.caf", systemFrames, 440.0, 1);
  writeTrack(folder / "microphone.caf", microphoneFrames, 220.0, 2);
  if (auto written = halden::writeTiming({{"system", 100.0}, {"microphone", 100.5}}, folder);
      !written) {
    die(written.error().description());
  }
  // Each figure is the best of `repeat` rounds: the machine is shared, and
  // the best round is the one least disturbed by other work.
  ChildResult cold{1e9, 0, 0};
  ChildResult warm{1e9, 0, 0};
  double floorSync = 1e9;
  double floorNoSync = 1e9;
  double warmFloor = 1e9;
  for (int round = 0; round < repeat; ++round) {
    // Start from a captured folder: no manifest, no chunk files.
    fs::remove(folder / "chunks.json");
    for (std::size_t i = 0; i < halden::maximumChunkCount; ++i) {
      fs::remove(folder / halden::chunkFileName(i));
    }
    // Every measurement starts with nothing dirty in the page cache, so none
    // of them pays for writing back what an earlier step left behind.
    ::sync();
    const ChildResult coldRound = prepareInChild(folder);
    ::sync();
    const ChildResult warmRound = prepareInChild(folder);
    ::sync();
    floorSync = std::min(floorSync, measureFloor(folder, systemFrames, true));
    ::sync();
    floorNoSync = std::min(floorNoSync, measureFloor(folder, systemFrames, false));
    ::sync();
    warmFloor = std::min(warmFloor, measureWarmFloor(folder, coldRound.chunks));
    std::printf("round %d: cold_s=%.3f warm_s=%.3f\n", round + 1, coldRound.seconds,
                warmRound.seconds);
    std::fflush(stdout);
    cold = {std::min(cold.seconds, coldRound.seconds),
            std::max(cold.peakRssMb, coldRound.peakRssMb), coldRound.chunks};
    warm = {std::min(warm.seconds, warmRound.seconds),
            std::max(warm.peakRssMb, warmRound.peakRssMb), warmRound.chunks};
  }

  std::printf("chunks=%zu cold_peak_rss_mb=%.1f warm_peak_rss_mb=%.1f\n", cold.chunks,
              cold.peakRssMb, warm.peakRssMb);
  std::printf("floor (read tracks, write chunks with fsync+rename, hash) floor_s=%.3f\n",
              floorSync);
  std::printf("floor without fsync floor_nosync_s=%.3f cold_over_floor_nosync=%.2f\n", floorNoSync,
              cold.seconds / floorNoSync);
  std::printf("warm_floor_s=%.3f (read and hash chunk files) warm_over_warm_floor=%.2f\n",
              warmFloor, warm.seconds / warmFloor);

  if (temporaryFolder) fs::remove_all(folder);
  std::printf(
      "prepare_chunks hours=%g cold_s=%.3f warm_s=%.3f floor_s=%.3f cold_over_floor=%.2f "
      "peak_rss_mb=%.1f\n",
      hours, cold.seconds, warm.seconds, floorSync, cold.seconds / floorSync,
      std::max(cold.peakRssMb, warm.peakRssMb));
  return 0;
}
