// A file size limit (RLIMIT_FSIZE) on the whole test process.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace halden::testing {

// Caps every file this process writes at `bytes` while it lives. SIGXFSZ is
// ignored meanwhile, as halden ignores it, so that writes past the cap fail
// with EFBIG ("File too large").
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &savedAction_);
    const rlimit limit{bytes, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    sigaction(SIGXFSZ, &savedAction_, nullptr);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  struct sigaction savedAction_ {};
};

}  // namespace halden::testing
