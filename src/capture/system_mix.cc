#include "capture/system_mix.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace halden {

void SystemMix::begin(double startedAt, double rate) {
  origin_ = startedAt;
  rate_ = rate;
  flushed_ = 0;
  mix_.clear();
  taps_.clear();
  heardAny_ = false;
  tooLate_ = 0;
}

void SystemMix::attach(TapId tap) { taps_[tap].attached = true; }

void SystemMix::detach(TapId tap) {
  if (auto found = taps_.find(tap); found != taps_.end()) found->second.attached = false;
}

void SystemMix::add(TapId tap, const CaptureBuffer& buffer) {
  if (!buffer.isValid() || !buffer.format || buffer.frameCount <= 0 ||
      buffer.format->sampleFormat != SampleFormat::float32 ||
      buffer.format->channelCount != 1 || buffer.format->sampleRate != rate_ ||
      !std::isfinite(buffer.timestamp)) {
    return;
  }
  Tap& state = taps_[tap];
  heardAny_ = true;
  int64_t at = std::llround((buffer.timestamp - origin_) * rate_);
  // Within a frame of where the tap left off: back to back.
  if (state.end >= 0 && std::abs(at - state.end) <= 1) at = state.end;
  int64_t skip = 0;
  // Never twice: what the tap already gave stays as it was.
  if (state.end >= 0 && at < state.end) skip = state.end - at;
  if (at + skip < flushed_) {
    const int64_t late = std::min(flushed_ - at - skip, buffer.frameCount - skip);
    tooLate_ += std::max<int64_t>(late, 0);
    skip = flushed_ - at;
  }
  const int64_t end = at + buffer.frameCount;
  state.end = std::max(state.end, end);
  if (skip >= buffer.frameCount) return;
  const int64_t from = at + skip;
  const auto needed = static_cast<std::size_t>(end - flushed_);
  if (mix_.size() < needed) mix_.resize(needed, 0.0f);
  const auto* samples = reinterpret_cast<const float*>(buffer.samples.data());
  float* into = mix_.data() + (from - flushed_);
  for (int64_t i = skip; i < buffer.frameCount; ++i) *into++ += samples[i];
}

void SystemMix::flush(double until, std::vector<CaptureBuffer>& ready) {
  if (!heardAny_ && std::any_of(taps_.begin(), taps_.end(),
                                [](const auto& tap) { return tap.second.attached; })) {
    return;
  }
  const int64_t to = std::llround((until - origin_) * rate_);
  if (to > flushed_) emit(to - flushed_, ready);
}

void SystemMix::flushAll(double now, std::vector<CaptureBuffer>& ready) {
  const int64_t to =
      std::max<int64_t>(std::llround((now - origin_) * rate_), flushed_ + static_cast<int64_t>(mix_.size()));
  if (to > flushed_) emit(to - flushed_, ready);
}

void SystemMix::emit(int64_t frames, std::vector<CaptureBuffer>& ready) {
  CaptureBuffer& buffer = ready.emplace_back();
  buffer.source = CaptureSource::system;
  buffer.format = AudioFormat{SampleFormat::float32, rate_, 1};
  buffer.frameCount = frames;
  buffer.timestamp = origin_ + static_cast<double>(flushed_) / rate_;
  buffer.samples.assign(static_cast<std::size_t>(frames) * sizeof(float), std::byte{0});
  const auto mixed = std::min(static_cast<std::size_t>(frames), mix_.size());
  // An empty mix has no storage: memcpy may not be given its null pointer.
  if (mixed > 0) std::memcpy(buffer.samples.data(), mix_.data(), mixed * sizeof(float));
  mix_.erase(mix_.begin(), mix_.begin() + static_cast<std::ptrdiff_t>(mixed));
  flushed_ += frames;
}

}  // namespace halden
