// A serial queue: one worker thread that runs submitted closures one at a
// time, in submission order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace halden {

class SerialQueue {
 public:
  // Starts the worker thread. `label` names the queue; the thread carries as
  // much of it as the system allows (15 bytes on Linux, taken from its end).
  explicit SerialQueue(std::string label);
  // Drains: every closure submitted before the destructor began still runs,
  // then the worker thread is joined.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Appends `work` to the queue and returns at once. Thread-safe. Closures
  // submitted from the worker itself run after the ones already queued.
  // Submissions after destruction began are dropped.
  void submit(std::function<void()> work);

  // True when called on this queue's worker thread.
  bool isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

 private:
  void run();

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> pending_;  // guarded by mutex_
  bool closing_ = false;                       // guarded by mutex_
  std::thread worker_;
};

}  // namespace halden
