#include "capture/capture_stream.h"

#include "store/format.h"

namespace halden {

std::string_view trackNameOf(CaptureSource source) {
  return source == CaptureSource::system ? systemTrackName : microphoneTrackName;
}

std::size_t bytesPerSample(SampleFormat format) {
  switch (format) {
    case SampleFormat::int16:
      return 2;
    case SampleFormat::float32:
    case SampleFormat::int32:
      return 4;
  }
  return 0;
}

bool CaptureBuffer::isValid() const {
  if (frameCount < 0 || !format || format->channelCount <= 0) return false;
  return samples.size() / format->bytesPerFrame() == static_cast<uint64_t>(frameCount) &&
         samples.size() % format->bytesPerFrame() == 0;
}

}  // namespace halden
