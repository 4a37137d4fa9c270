#include "base/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <coroutine>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/main_context.h"
#include "testing/main_context.h"

namespace halden {
namespace {

using namespace std::chrono_literals;
using testing::PrivateMainContext;

Task<int> later(int value) { co_return value; }

// Regression: built with clang 14, a spawned task's frame, and all it held,
// outlived the task's end.
TEST(Task, SpawnedTaskStartsOnALaterIterationAndIsFreedWhenItEnds) {
  PrivateMainContext context;
  std::vector<std::string> order;
  auto held = std::make_shared<int>(1);
  std::weak_ptr<int> watch = held;
  spawn([](std::shared_ptr<int> value, std::vector<std::string>& log) -> Task<void> {
    log.push_back("task");
    log.push_back("ended with " + std::to_string(co_await later(*value)));
  }(std::move(held), order));
  order.push_back("caller");
  context.drain();
  EXPECT_EQ(order, (std::vector<std::string>{"caller", "task", "ended with 1"}));
  EXPECT_TRUE(watch.expired());
}

// A second resolve of a callback would resume the finished task.
TEST(Task, EveryWaitResumesTheTaskOnceOnTheWaitingContext) {
  PrivateMainContext context;
  runToCompletion([](std::thread::id main) -> Task<void> {
    const auto before = std::chrono::steady_clock::now();
    co_await sleepFor(20ms);
    EXPECT_TRUE(std::chrono::steady_clock::now() - before >= 20ms);
    EXPECT_EQ(std::this_thread::get_id(), main);
    auto work = onBackgroundThread([] { return std::this_thread::get_id(); });
    const std::thread::id worker = co_await work;
    EXPECT_NE(worker, main);
    EXPECT_EQ(std::this_thread::get_id(), main);
    std::string value = co_await awaitCallback<std::string>([](Resolver<std::string> resolve) {
      std::thread([resolve] {
        resolve("first");
        resolve("second");
      }).detach();
    });
    EXPECT_EQ(value, "first");
    EXPECT_EQ(std::this_thread::get_id(), main);
  }(std::this_thread::get_id()));
}

// Starts a task at once and owns its frame, so a test can destroy the task
// while it is suspended.
struct Driver {
  struct promise_type {
    Driver get_return_object() {
      return Driver{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
  std::coroutine_handle<promise_type> handle;
};

Driver drive(Task<void> task) { co_await std::move(task); }

// Each awaiter must detach from what it waits on when its task is destroyed.
TEST(Task, DestroyedWhileWaitingIsNeverResumed) {
  PrivateMainContext context;
  bool resumed = false;
  std::atomic<bool> workDone = false;
  Driver sleeping = drive([](bool& flag) -> Task<void> {
    co_await sleepFor(10ms);
    flag = true;
  }(resumed));
  Driver working = drive([](bool& flag, std::atomic<bool>& done) -> Task<void> {
    co_await onBackgroundThread([&done] {
      std::this_thread::sleep_for(20ms);
      done = true;
      return 1;
    });
    flag = true;
  }(resumed, workDone));
  EXPECT_FALSE(sleeping.handle.done() || working.handle.done());
  sleeping.handle.destroy();
  working.handle.destroy();

  while (!workDone) std::this_thread::sleep_for(1ms);
  runToCompletion([]() -> Task<void> { co_await sleepFor(30ms); }());
  EXPECT_FALSE(resumed);
}

}  // namespace
}  // namespace halden
