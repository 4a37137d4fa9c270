// Task<T>: the application's one asynchronous model.
//
// A Task is a lazy C++20 coroutine: nothing runs until it is awaited (or handed
// to spawn()). Every awaitable in this project resumes its waiter on the GLib
// main context that was the thread-default context when the wait began -- in
// the application that is the main loop on the main thread, in tests a private
// context -- so the code of a task between two waits always runs there and may
// touch main-thread state without locks.
//
// Ownership: the Task object owns its coroutine frame. Destroying a Task that
// is suspended destroys the frame, and with it the awaiters and child tasks it
// holds; each awaiter then cancels what it was waiting for, so a destroyed task
// is never resumed.
//
// Tasks do not carry exceptions: an exception escaping a task body terminates
// the process. Failures are values (Result<T>).
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace halden {

template <typename T = void>
class Task;

namespace detail {

struct TaskPromiseBase {
  std::coroutine_handle<> continuation = std::noop_coroutine();

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <typename Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
      return self.promise().continuation;
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }

  void unhandled_exception() noexcept { std::terminate(); }
};

}  // namespace detail

template <typename T>
class [[nodiscard]] Task {
 public:
  struct promise_type : detail::TaskPromiseBase {
    std::optional<T> value;
    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    template <typename U>
    void return_value(U&& result) {
      value.emplace(std::forward<U>(result));
    }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool done() const { return !handle_ || handle_.done(); }

  // Awaiting starts the task; the awaiter resumes when it has finished.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiter) noexcept {
    handle_.promise().continuation = awaiter;
    return handle_;
  }
  T await_resume() { return std::move(*handle_.promise().value); }

 private:
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  void reset() {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

  std::coroutine_handle<promise_type> handle_;
};

template <>
class [[nodiscard]] Task<void> {
 public:
  struct promise_type : detail::TaskPromiseBase {
    Task get_return_object() {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    void return_void() {}
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool done() const { return !handle_ || handle_.done(); }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiter) noexcept {
    handle_.promise().continuation = awaiter;
    return handle_;
  }
  void await_resume() {}

 private:
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  void reset() {
    if (handle_) std::exchange(handle_, {}).destroy();
  }

  std::coroutine_handle<promise_type> handle_;
};

// Starts a task that nobody awaits. The task begins on the next iteration of
// the thread-default main context (never inside the caller), runs to its end
// and frees itself. This is the one way to start fire-and-forget work.
void spawn(Task<void> task);

}  // namespace halden
