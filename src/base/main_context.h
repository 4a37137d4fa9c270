// Awaitables that suspend a Task and resume it on the GLib main context.
//
// Each captures the thread-default GMainContext when the wait begins and
// resumes the waiting coroutine from a source attached to that context, so the
// task's code always continues on the loop it was started from. Each one is
// cancel-safe: if the waiting task is destroyed first, the awaiter's destructor
// detaches from whatever it waited on and nothing is resumed later.
#pragma once

#include <glib.h>

#include <atomic>
#include <chrono>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "base/task.h"

namespace halden {

// Runs `work` on `context` in a later iteration of its loop: never at once,
// even when called on the thread that runs `context`. Any thread may call it.
void runLater(GMainContext* context, std::function<void()> work);

// co_await sleepFor(4s): resumes after at least `duration` on the main context.
class SleepAwaiter {
 public:
  explicit SleepAwaiter(std::chrono::milliseconds duration) : duration_(duration) {}
  SleepAwaiter(const SleepAwaiter&) = delete;
  SleepAwaiter& operator=(const SleepAwaiter&) = delete;
  ~SleepAwaiter();

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> waiter);
  void await_resume() const noexcept {}

 private:
  static gboolean fire(gpointer self);

  std::chrono::milliseconds duration_;
  std::coroutine_handle<> waiter_;
  GSource* source_ = nullptr;
};

inline SleepAwaiter sleepFor(std::chrono::milliseconds duration) {
  return SleepAwaiter(duration);
}

namespace detail {

// Shared between an awaiter (main thread) and whoever completes it (any thread).
// `abandoned` is written and read only on the main context's thread.
template <typename T>
struct CompletionState {
  GMainContext* context = nullptr;
  std::coroutine_handle<> waiter;
  std::optional<T> value;
  std::atomic<bool> resolved = false;
  bool abandoned = false;

  ~CompletionState() {
    if (context) g_main_context_unref(context);
  }
};

}  // namespace detail

// The completing side of a CallbackAwaiter: call it exactly once, from any
// thread, with the result. The waiter resumes later on its own main context.
// Copyable; calls after the first are ignored.
template <typename T>
class Resolver {
 public:
  explicit Resolver(std::shared_ptr<detail::CompletionState<T>> state) : state_(std::move(state)) {}

  void operator()(T value) const {
    auto state = std::exchange(state_, nullptr);
    if (!state || state->resolved.exchange(true)) return;
    state->value.emplace(std::move(value));
    GMainContext* context = state->context;
    runLater(context, [state = std::move(state)] {
      if (!state->abandoned) state->waiter.resume();
    });
  }

 private:
  mutable std::shared_ptr<detail::CompletionState<T>> state_;
};

// Awaits a one-shot result delivered through a callback. `start` is called
// from await_suspend with a Resolver<T>; it starts the platform request and
// arranges for the Resolver to be called once with the result, on any thread,
// possibly before `start` returns.
template <typename T, typename Start>
class CallbackAwaiter {
 public:
  explicit CallbackAwaiter(Start start) : start_(std::move(start)) {}
  CallbackAwaiter(const CallbackAwaiter&) = delete;
  CallbackAwaiter& operator=(const CallbackAwaiter&) = delete;
  CallbackAwaiter(CallbackAwaiter&&) = default;
  ~CallbackAwaiter() {
    if (state_) state_->abandoned = true;
  }

  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> waiter) {
    state_ = std::make_shared<detail::CompletionState<T>>();
    state_->context = g_main_context_ref_thread_default();
    state_->waiter = waiter;
    start_(Resolver<T>(state_));
  }
  T await_resume() { return std::move(*state_->value); }

 private:
  Start start_;
  std::shared_ptr<detail::CompletionState<T>> state_;
};

template <typename T, typename Start>
CallbackAwaiter<T, Start> awaitCallback(Start start) {
  return CallbackAwaiter<T, Start>(std::move(start));
}

// GCC 12 destroys a capturing lambda twice when the lambda is a temporary
// inside the co_await expression itself. Name the awaiter first:
//   auto preparation = onBackgroundThread([folder] { return prepare(folder); });
//   Result<ChunkList> chunks = co_await preparation;
//
// co_await onBackgroundThread([] { return work(); }): runs `work` on a new
// background thread and resumes with its value on the main context. Work that
// outlives its (destroyed) waiter still runs to its end; its value is dropped.
template <typename Work>
auto onBackgroundThread(Work work) {
  using T = std::invoke_result_t<Work&>;
  return awaitCallback<T>([work = std::move(work)](Resolver<T> resolve) mutable {
    std::thread([work = std::move(work), resolve]() mutable { resolve(work()); }).detach();
  });
}

// Runs `task` to completion by iterating the thread-default main context and
// returns its value. For tests, benchmarks and command-line modes; the
// application never blocks its main loop this way.
template <typename T>
T runToCompletion(Task<T> task) {
  std::optional<T> result;
  bool finished = false;
  auto driver = [](Task<T> inner, std::optional<T>& out, bool& done) -> Task<void> {
    out.emplace(co_await std::move(inner));
    done = true;
  }(std::move(task), result, finished);
  spawn(std::move(driver));
  GMainContext* context = g_main_context_ref_thread_default();
  while (!finished) g_main_context_iteration(context, TRUE);
  g_main_context_unref(context);
  return std::move(*result);
}

inline void runToCompletion(Task<void> task) {
  bool finished = false;
  auto driver = [](Task<void> inner, bool& done) -> Task<void> {
    co_await std::move(inner);
    done = true;
  }(std::move(task), finished);
  spawn(std::move(driver));
  GMainContext* context = g_main_context_ref_thread_default();
  while (!finished) g_main_context_iteration(context, TRUE);
  g_main_context_unref(context);
}

}  // namespace halden
