#include "base/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <coroutine>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/main_context.h"
#include "testing/main_context.h"

namespace halden {
namespace {

using namespace std::chrono_literals;
using testing::PrivateMainContext;

Task<int> answer() { co_return 42; }

Task<int> sum() {
  int a = co_await answer();
  int b = co_await answer();
  co_return a + b;
}

TEST(Task, IsLazyAndReturnsNestedValues) {
  PrivateMainContext context;
  bool started = false;
  auto task = [](bool& flag) -> Task<int> {
    flag = true;
    co_return co_await sum();
  }(started);
  EXPECT_FALSE(started);
  EXPECT_EQ(runToCompletion(std::move(task)), 84);
  EXPECT_TRUE(started);
}

TEST(Task, CarriesResultsWithErrors) {
  PrivateMainContext context;
  auto failing = []() -> Task<Result<int>> { co_return failure("no"); };
  auto chained = [](auto inner) -> Task<Result<std::string>> {
    HALDEN_CO_TRY(int value, co_await inner());
    co_return std::to_string(value);
  };
  Result<std::string> result = runToCompletion(chained(failing));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().description(), "no");
  EXPECT_TRUE(result.error().isFailure());
}

TEST(Task, SpawnStartsOnTheNextIterationNotInline) {
  PrivateMainContext context;
  std::vector<std::string> order;
  spawn([](std::vector<std::string>& log) -> Task<void> {
    log.push_back("task");
    co_return;
  }(order));
  order.push_back("caller");
  context.drain();
  EXPECT_EQ(order, (std::vector<std::string>{"caller", "task"}));
}

// Regression: built with clang 14, a spawned task's frame, and all it held,
// outlived the task's end.
TEST(Task, SpawnedTaskIsFreedWhenItEnds) {
  PrivateMainContext context;
  auto held = std::make_shared<int>(1);
  std::weak_ptr<int> watch = held;
  bool ended = false;
  spawn([](std::shared_ptr<int> value, bool& done) -> Task<void> {
    co_await answer();
    done = *value == 1;
  }(std::move(held), ended));
  context.drain();
  EXPECT_TRUE(ended);
  EXPECT_TRUE(watch.expired());
}

TEST(Task, SleepResumesOnTheWaitingContext) {
  PrivateMainContext context;
  std::thread::id mainThread = std::this_thread::get_id();
  auto task = [](std::thread::id expected) -> Task<bool> {
    auto before = std::chrono::steady_clock::now();
    co_await sleepFor(20ms);
    bool waited = std::chrono::steady_clock::now() - before >= 20ms;
    co_return waited && std::this_thread::get_id() == expected;
  }(mainThread);
  EXPECT_TRUE(runToCompletion(std::move(task)));
}

TEST(Task, BackgroundWorkRunsElsewhereAndResumesOnTheMainContext) {
  PrivateMainContext context;
  std::thread::id mainThread = std::this_thread::get_id();
  auto task = [](std::thread::id main) -> Task<bool> {
    std::thread::id worker = co_await onBackgroundThread([] { return std::this_thread::get_id(); });
    co_return worker != main && std::this_thread::get_id() == main;
  }(mainThread);
  EXPECT_TRUE(runToCompletion(std::move(task)));
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

TEST(Task, DestroyedWhileSleepingIsNeverResumed) {
  PrivateMainContext context;
  bool resumed = false;
  Driver driver = drive([](bool& flag) -> Task<void> {
    co_await sleepFor(10ms);
    flag = true;
  }(resumed));
  EXPECT_FALSE(driver.handle.done());
  driver.handle.destroy();

  auto waiter = []() -> Task<void> { co_await sleepFor(30ms); };
  runToCompletion(waiter());
  EXPECT_FALSE(resumed);
}

TEST(Task, DestroyedWhileAwaitingBackgroundWorkDropsTheResult) {
  PrivateMainContext context;
  bool resumed = false;
  std::atomic<bool> workDone = false;
  Driver driver = drive([](bool& flag, std::atomic<bool>& done) -> Task<void> {
    co_await onBackgroundThread([&done] {
      std::this_thread::sleep_for(20ms);
      done = true;
      return 1;
    });
    flag = true;
  }(resumed, workDone));
  driver.handle.destroy();

  while (!workDone) std::this_thread::sleep_for(1ms);
  auto waiter = []() -> Task<void> { co_await sleepFor(20ms); };
  runToCompletion(waiter());
  EXPECT_FALSE(resumed);
}

TEST(Task, CallbackAwaiterResolvedFromAnotherThreadResumesOnMain) {
  PrivateMainContext context;
  auto task = []() -> Task<std::string> {
    std::string value = co_await awaitCallback<std::string>([](Resolver<std::string> resolve) {
      std::thread([resolve] {
        resolve("first");
        resolve("second");  // ignored
      }).detach();
    });
    co_return value;
  };
  EXPECT_EQ(runToCompletion(task()), "first");
}

}  // namespace
}  // namespace halden
