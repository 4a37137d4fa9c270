// Shared pieces of the fuzz targets: a scratch folder per process, plain file
// writes into it, and the check that turns a broken invariant into a finding.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace halden::fuzz {

// A broken invariant is reported like a crash, so libFuzzer keeps the input.
#define HALDEN_FUZZ_CHECK(condition)                                               \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, \
                   #condition);                                                    \
      std::abort();                                                                \
    }                                                                              \
  } while (0)

// A new folder under $TMPDIR (or /tmp), made on first use and removed at exit.
inline const std::filesystem::path& scratchFolder() {
  static const std::filesystem::path folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/halden-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) std::abort();
    std::filesystem::path made = pattern;
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchFolder(), ignored);
    });
    return made;
  }();
  return folder;
}

// Replaces `file` with `bytes` (no fsync: the folder is scratch).
inline void writeBytes(const std::filesystem::path& file, const uint8_t* data, size_t size) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

inline void writeBytes(const std::filesystem::path& file, std::string_view text) {
  writeBytes(file, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

inline std::string readText(const std::filesystem::path& file) {
  std::string out;
  if (FILE* f = std::fopen(file.c_str(), "rb")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) out.append(buffer, n);
    std::fclose(f);
  }
  return out;
}

}  // namespace halden::fuzz
