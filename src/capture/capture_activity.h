// What the running recording has received from each source, for checks of
// its health on another thread: the number of buffers, and of those that held
// anything but digital silence (every sample exactly zero: a source that is
// muted at the system level, or the wrong device).
//
// Written on the sample queue, read anywhere; counts only grow until reset().
#pragma once

#include <atomic>
#include <cstdint>

#include "capture/capture_stream.h"

namespace halden {

class CaptureActivity {
 public:
  struct Counts {
    int64_t buffers = 0;
    int64_t audible = 0;  // buffers with at least one sample that is not zero
  };

  // For a new recording, before its stream starts.
  void reset() {
    for (Source& source : sources_) {
      source.buffers = 0;
      source.audible = 0;
    }
  }
  void record(const CaptureBuffer& buffer);
  Counts counts(CaptureSource source) const {
    const Source& s = sources_[index(source)];
    return Counts{s.buffers.load(), s.audible.load()};
  }

 private:
  struct Source {
    std::atomic<int64_t> buffers = 0;
    std::atomic<int64_t> audible = 0;
  };
  static int index(CaptureSource source) { return source == CaptureSource::microphone ? 1 : 0; }

  Source sources_[2];
};

}  // namespace halden
