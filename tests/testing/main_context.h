// Runs a test's tasks on a private GLib main context, pushed as the
// thread-default context for the fixture's lifetime.
#pragma once

#include <glib.h>

namespace halden::testing {

class PrivateMainContext {
 public:
  PrivateMainContext() : context_(g_main_context_new()) {
    g_main_context_push_thread_default(context_);
  }
  ~PrivateMainContext() {
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }
  PrivateMainContext(const PrivateMainContext&) = delete;
  PrivateMainContext& operator=(const PrivateMainContext&) = delete;

  GMainContext* get() const { return context_; }

  // Dispatches whatever is ready now, without blocking.
  void drain() {
    while (g_main_context_iteration(context_, FALSE)) {
    }
  }

 private:
  GMainContext* context_;
};

}  // namespace halden::testing
