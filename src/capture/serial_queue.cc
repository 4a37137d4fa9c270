#include "capture/serial_queue.h"

#include <pthread.h>

#include <utility>

namespace halden {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  worker_ = std::thread([this] { run(); });
  // Linux thread names hold 15 bytes; the end of a reverse-DNS label is the
  // part that tells queues apart, so keep its longest tail of whole
  // components that fits ("halden.audio").
  constexpr std::size_t threadNameLimit = 15;
  std::string name = label_;
  for (std::size_t dot = 0; name.size() > threadNameLimit && dot != std::string::npos;) {
    dot = label_.find('.', dot + 1);
    if (dot != std::string::npos) name = label_.substr(dot + 1);
  }
  if (name.size() > threadNameLimit) name.erase(threadNameLimit);
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SerialQueue::submit(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    // The worker itself may still submit while draining; anyone else is late.
    if (closing_ && !isCurrent()) return;
    pending_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void SerialQueue::run() {
  for (;;) {
    std::function<void()> work;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return closing_ || !pending_.empty(); });
      if (pending_.empty()) return;  // closing and drained
      work = std::move(pending_.front());
      pending_.pop_front();
    }
    work();
  }
}

}  // namespace halden
