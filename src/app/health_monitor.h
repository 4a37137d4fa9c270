// HealthMonitor: watches a running recording for what the user would want to
// know about before the meeting ends, and says each once per recording:
//   - the Recordings folder's disk has less than 200 MB free;
//   - the microphone delivered no buffer for 5 s, or only digital silence
//     for 20 s (muted at the system level, or the wrong device);
//   - the computer's output delivered no buffer at all in the first 30 s
//     (a broken monitor source; mere silence is normal).
// The recording goes on in every case: these are warnings, not failures.
//
// Main context only. The owner calls check() about once a second while a
// recording runs, with seconds on a monotonic clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/task.h"
#include "capture/capture_activity.h"

namespace halden {

struct HealthNotice {
  std::string id;  // one per kind: a notice replaces an earlier one of its kind
  std::string title;
  std::string body;
};

class HealthMonitor {
 public:
  static constexpr double microphoneQuietSeconds = 5;
  static constexpr double microphoneSilentSeconds = 20;
  static constexpr double systemQuietSeconds = 30;
  static constexpr uint64_t lowDiskBytes = 200ull * 1000 * 1000;
  // The disk is looked at on every this many checks.
  static constexpr int diskCheckInterval = 5;

  struct Parts {
    std::function<CaptureActivity::Counts(CaptureSource)> counts;
    std::function<void(const HealthNotice&)> notify;
    // The free bytes of the Recordings folder's file system, found off the
    // main context; nothing when they cannot be found.
    std::function<Task<std::optional<uint64_t>>()> freeSpace;
  };

  explicit HealthMonitor(Parts parts);
  ~HealthMonitor();
  HealthMonitor(const HealthMonitor&) = delete;
  HealthMonitor& operator=(const HealthMonitor&) = delete;

  // A recording was confirmed at `now`: every notice may be given again.
  void begin(double now);
  void end();
  bool running() const { return running_; }
  void check(double now);

 private:
  Task<void> checkDisk(int recording);

  Parts parts_;
  bool running_ = false;
  int recording_ = 0;  // counts begin(); a disk answer for an older one is dropped
  double begun_ = 0;
  int checks_ = 0;
  CaptureActivity::Counts microphone_;
  double microphoneHeard_ = 0, microphoneAudible_ = 0;
  bool diskSaid_ = false, microphoneSaid_ = false, systemSaid_ = false;
  std::shared_ptr<HealthMonitor*> alive_;
};

// Notices outside the recording: a meeting ready or an upload that failed
// with its audio kept, for a user whose window is in the background, and the
// saved recordings waiting at launch (none when `count` is 0).
HealthNotice meetingReadyNotice(const std::string& message);
HealthNotice uploadFailedNotice(const std::string& message);
std::optional<HealthNotice> savedRecordingsNotice(std::size_t count);

}  // namespace halden
