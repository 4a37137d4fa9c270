#include "app/health_monitor.h"

#include <utility>

namespace halden {

HealthMonitor::HealthMonitor(Parts parts)
    : parts_(std::move(parts)), alive_(std::make_shared<HealthMonitor*>(this)) {}

HealthMonitor::~HealthMonitor() = default;

void HealthMonitor::begin(double now) {
  running_ = true;
  ++recording_;
  begun_ = microphoneHeard_ = microphoneAudible_ = now;
  checks_ = 0;
  microphone_ = parts_.counts(CaptureSource::microphone);
  diskSaid_ = microphoneSaid_ = systemSaid_ = false;
}

void HealthMonitor::end() { running_ = false; }

void HealthMonitor::check(double now) {
  if (!running_) return;
  const CaptureActivity::Counts microphone = parts_.counts(CaptureSource::microphone);
  if (microphone.buffers != microphone_.buffers) microphoneHeard_ = now;
  if (microphone.audible != microphone_.audible) microphoneAudible_ = now;
  microphone_ = microphone;

  if (!microphoneSaid_ && (now - microphoneHeard_ >= microphoneQuietSeconds ||
                           now - microphoneAudible_ >= microphoneSilentSeconds)) {
    microphoneSaid_ = true;
    parts_.notify({"no-microphone", "No sound from the microphone",
                   "Halden hears nothing from the microphone. Check that it is not muted and "
                   "that the right input is chosen in the sound settings."});
  }
  // Counts start with the recording's stream.
  if (!systemSaid_ && parts_.counts(CaptureSource::system).buffers == 0 &&
      now - begun_ >= systemQuietSeconds) {
    systemSaid_ = true;
    parts_.notify({"no-system-audio", "No sound from the computer",
                   "Halden has received nothing from the computer's sound output since the "
                   "recording began, so the other participants may be missing from it."});
  }
  if (!diskSaid_ && checks_++ % diskCheckInterval == 0) spawn(checkDisk(recording_));
}

Task<void> HealthMonitor::checkDisk(int recording) {
  std::weak_ptr<HealthMonitor*> alive = alive_;
  auto asked = parts_.freeSpace();
  const std::optional<uint64_t> free = co_await asked;
  if (alive.expired()) co_return;
  if (!running_ || recording != recording_ || diskSaid_ || !free || *free >= lowDiskBytes) {
    co_return;
  }
  diskSaid_ = true;
  parts_.notify({"low-disk", "The disk is almost full",
                 "Less than 200 MB is left for recordings. Halden records until the disk is "
                 "full; end the meeting soon or make room."});
}

HealthNotice meetingReadyNotice(const std::string& message) {
  return {"meeting", "Meeting ready to review", message};
}

HealthNotice uploadFailedNotice(const std::string& message) {
  return {"meeting", "The upload did not finish", message};
}

std::optional<HealthNotice> savedRecordingsNotice(std::size_t count) {
  if (count == 0) return std::nullopt;
  const std::string what =
      count == 1 ? "1 saved recording waits" : std::to_string(count) + " saved recordings wait";
  return HealthNotice{"saved-recordings", "Saved recordings to upload",
                      what + " to be uploaded. Choose Retry upload in the workspace, or "
                             "Saved recordings in the Halden menu."};
}

}  // namespace halden
