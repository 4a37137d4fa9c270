#include "capture/source_delivery.h"

#include <cmath>
#include <utility>

namespace halden {

void SourceDelivery::begin(double startedAt) {
  startedAt_ = startedAt;
  begun_ = false;
  batch_.reset();
}

void SourceDelivery::deliver(CaptureBuffer buffer) {
  if (!std::exchange(begun_, true)) {
    const double rate = buffer.format->sampleRate * buffer.clockRatio.value_or(1);
    const double late = buffer.timestamp - startedAt_;
    if (late * rate >= 1) {
      // Up to the writer's tolerance the silence has to be written out; past
      // it the writer fills the gap itself.
      const auto frames = static_cast<int64_t>(late <= 0.2 ? std::floor(late * rate) : 160);
      CaptureBuffer silence = buffer;
      silence.frameCount = frames;
      silence.samples.assign(static_cast<std::size_t>(frames) * buffer.format->bytesPerFrame(),
                             std::byte{0});
      silence.timestamp =
          late <= 0.2 ? buffer.timestamp - static_cast<double>(frames) / rate : startedAt_;
      deliver(std::move(silence));
    }
  }
  if (batch_) {
    const double perFrame = 1.0 / (batch_->format->sampleRate * batch_->clockRatio.value_or(1));
    const double end = batch_->timestamp + static_cast<double>(batch_->frameCount) * perFrame;
    if (buffer.format == batch_->format && buffer.clockRatio == batch_->clockRatio &&
        std::abs(buffer.timestamp - end) < 1e-6) {
      batch_->samples.insert(batch_->samples.end(), buffer.samples.begin(), buffer.samples.end());
      batch_->frameCount += buffer.frameCount;
    } else {
      submit(*std::exchange(batch_, std::move(buffer)));
    }
  } else {
    batch_ = std::move(buffer);
  }
  if (static_cast<double>(batch_->frameCount) / batch_->format->sampleRate >= batchSeconds) {
    submit(*std::exchange(batch_, std::nullopt));
  }
}

void SourceDelivery::takeBatch(std::vector<CaptureBuffer>& held) {
  if (batch_) held.push_back(*std::exchange(batch_, std::nullopt));
}

void SourceDelivery::submit(CaptureBuffer buffer) {
  queue_.submit([&output = output_, id = id_, buffer = std::move(buffer)]() mutable {
    output.streamDidOutput(id, std::move(buffer));
  });
}

}  // namespace halden
