// The capture stream through PipeWire's own client library, for desktops
// whose sound server is PipeWire. Platform header: only the capture service
// includes it.
#pragma once

#include <memory>

#include "capture/capture_stream.h"

namespace halden {

// Records the default sink's monitor and the default source, following
// both. Connects to the daemon named by PIPEWIRE_REMOTE or the user's
// runtime folder when started.
std::unique_ptr<CaptureStream> createPipeWireCaptureStream(CaptureStreamId id,
                                                           CaptureStreamOutput& output,
                                                           SerialQueue& queue);

}  // namespace halden
