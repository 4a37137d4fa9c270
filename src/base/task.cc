#include "base/task.h"

#include <glib.h>

#include "base/main_context.h"

namespace halden {
namespace {

// A coroutine that owns itself: it starts suspended, is resumed once from the
// main context, and frees its frame when it ends.
struct Detached {
  struct promise_type {
    Detached get_return_object() {
      return Detached{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
  std::coroutine_handle<promise_type> handle;
};

// The task is moved into a local of the body: clang 14 (at -O1 and above)
// never destroys the parameter copy of a coroutine that frees its own frame,
// which would leak the spawned task's frame and everything it holds.
Detached runDetached(Task<void> task) {
  Task<void> owned = std::move(task);
  co_await owned;
}

}  // namespace

void runLater(GMainContext* context, std::function<void()> work) {
  GSource* idle = g_idle_source_new();
  g_source_set_priority(idle, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      idle,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(work)),
      [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  g_source_attach(idle, context);
  g_source_unref(idle);
}

void spawn(Task<void> task) {
  std::coroutine_handle<> handle = runDetached(std::move(task)).handle;
  GMainContext* context = g_main_context_ref_thread_default();
  runLater(context, [handle] { handle.resume(); });
  g_main_context_unref(context);
}

SleepAwaiter::~SleepAwaiter() {
  if (source_) {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
}

void SleepAwaiter::await_suspend(std::coroutine_handle<> waiter) {
  waiter_ = waiter;
  source_ = g_timeout_source_new(static_cast<guint>(duration_.count()));
  g_source_set_callback(source_, &SleepAwaiter::fire, this, nullptr);
  GMainContext* context = g_main_context_ref_thread_default();
  g_source_attach(source_, context);
  g_main_context_unref(context);
}

gboolean SleepAwaiter::fire(gpointer data) {
  auto* self = static_cast<SleepAwaiter*>(data);
  // Let go of the source before resuming: the resumed task may destroy `self`.
  g_source_unref(std::exchange(self->source_, nullptr));
  self->waiter_.resume();
  return G_SOURCE_REMOVE;
}

}  // namespace halden
