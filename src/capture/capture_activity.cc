#include "capture/capture_activity.h"

#include <algorithm>

namespace halden {

void CaptureActivity::record(const CaptureBuffer& buffer) {
  Source& source = sources_[index(buffer.source)];
  source.buffers.fetch_add(1);
  // Zero is all-zero bytes in every sample format the platform delivers.
  const bool audible = std::any_of(buffer.samples.begin(), buffer.samples.end(),
                                   [](std::byte b) { return b != std::byte{0}; });
  if (audible) source.audible.fetch_add(1);
}

}  // namespace halden
