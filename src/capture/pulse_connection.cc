#include "capture/pulse_connection.h"

#include <utility>
#include <vector>

namespace halden::pulse {

Error pulseError(int code) { return Error("PulseAudio", code, pa_strerror(code)); }

namespace {

void signalLoop(void* loop) {
  pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

}  // namespace

Result<std::unique_ptr<PulseConnection>> PulseConnection::create(const std::string& clientName) {
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  if (!loop) return pulseError(PA_ERR_INTERNAL);
  pa_context* context = pa_context_new(pa_threaded_mainloop_get_api(loop), clientName.c_str());
  if (!context) {
    pa_threaded_mainloop_free(loop);
    return pulseError(PA_ERR_INTERNAL);
  }
  pa_context_set_state_callback(
      context, [](pa_context*, void* data) { signalLoop(data); }, loop);
  // The connection object owns loop and context from here on, whatever happens.
  std::unique_ptr<PulseConnection> connection(new PulseConnection(loop, context));
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return pulseError(pa_context_errno(context));
  }
  if (pa_threaded_mainloop_start(loop) < 0) return pulseError(PA_ERR_INTERNAL);
  LoopLock lock(loop);
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return connection->lastError();
    pa_threaded_mainloop_wait(loop);
  }
  return connection;
}

PulseConnection::~PulseConnection() {
  {
    LoopLock lock(loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
  }
  pa_threaded_mainloop_stop(loop_);
  pa_context_unref(context_);
  pa_threaded_mainloop_free(loop_);
}

Result<void> PulseConnection::await(pa_operation* operation) {
  if (!operation) return lastError();
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    // Woken by the query's callback or, if the server goes away, by the
    // context's state change, which also cancels the operation.
    pa_threaded_mainloop_wait(loop_);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) break;
  }
  const pa_operation_state_t state = pa_operation_get_state(operation);
  if (state == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  if (state != PA_OPERATION_DONE) return lastError();
  return success();
}

Result<ServerFacts> PulseConnection::server() {
  struct Query {
    pa_threaded_mainloop* loop;
    ServerFacts facts;
  } query{loop_, {}};
  LoopLock lock(loop_);
  pa_operation* operation = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* info, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info && info->server_name) q->facts.name = info->server_name;
        if (info && info->default_sink_name) q->facts.defaultSink = info->default_sink_name;
        if (info && info->default_source_name) q->facts.defaultSource = info->default_source_name;
        signalLoop(q->loop);
      },
      &query);
  HALDEN_TRY(await(operation));
  return std::move(query.facts);
}

Result<std::optional<SinkFacts>> PulseConnection::sink(const std::string& name) {
  LoopLock lock(loop_);
  struct Query {
    pa_threaded_mainloop* loop;
    std::optional<SinkFacts> facts;
  } query{loop_, std::nullopt};
  pa_operation* operation = pa_context_get_sink_info_by_name(
      context_, name.c_str(),
      [](pa_context*, const pa_sink_info* info, int, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info) {
          q->facts = SinkFacts{info->name ? info->name : "", info->index,
                               info->monitor_source_name ? info->monitor_source_name : ""};
        }
        signalLoop(q->loop);
      },
      &query);
  // An unknown sink ends the operation with an error: that is "none".
  if (Result<void> done = await(operation); !done.ok() && done.error().code() != PA_ERR_NOENTITY) {
    return std::move(done).error();
  }
  return std::move(query.facts);
}

Result<bool> PulseConnection::isInputSource(const std::string& name) {
  struct Query {
    pa_threaded_mainloop* loop;
    bool input = false;
  } query{loop_};
  LoopLock lock(loop_);
  pa_operation* operation = pa_context_get_source_info_by_name(
      context_, name.c_str(),
      [](pa_context*, const pa_source_info* info, int, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info) q->input = info->monitor_of_sink == PA_INVALID_INDEX;
        signalLoop(q->loop);
      },
      &query);
  if (Result<void> done = await(operation); !done.ok() && done.error().code() != PA_ERR_NOENTITY) {
    return std::move(done).error();
  }
  return query.input;
}

Result<std::optional<std::string>> PulseConnection::monitorBehind(const std::string& name) {
  struct Query {
    pa_threaded_mainloop* loop;
    std::optional<std::string> monitor;
    std::string group;                // PipeWire's loopback: its two halves share it
    std::vector<uint32_t> recorded;   // sources the group's capture half records
  } query{loop_, std::nullopt, {}, {}};
  LoopLock lock(loop_);
  pa_operation* operation = pa_context_get_source_info_by_name(
      context_, name.c_str(),
      [](pa_context*, const pa_source_info* info, int, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info) {
          const char* master = pa_proplist_gets(info->proplist, "device.master_device");
          const char* group = pa_proplist_gets(info->proplist, "node.link-group");
          if (info->monitor_of_sink != PA_INVALID_INDEX && info->name) {
            q->monitor = info->name;
          } else if (master) {
            q->monitor = master;
          } else if (group) {
            q->group = group;
          }
        }
        signalLoop(q->loop);
      },
      &query);
  if (Result<void> done = await(operation); !done.ok() && done.error().code() != PA_ERR_NOENTITY) {
    return std::move(done).error();
  }
  if (query.group.empty()) return std::move(query.monitor);
  operation = pa_context_get_source_output_info_list(
      context_,
      [](pa_context*, const pa_source_output_info* info, int eol, void* data) {
        auto* q = static_cast<Query*>(data);
        if (info) {
          const char* group = pa_proplist_gets(info->proplist, "node.link-group");
          if (group && q->group == group) q->recorded.push_back(info->source);
        }
        if (eol) signalLoop(q->loop);
      },
      &query);
  HALDEN_TRY(await(operation));
  for (const uint32_t source : query.recorded) {
    operation = pa_context_get_source_info_by_index(
        context_, source,
        [](pa_context*, const pa_source_info* info, int, void* data) {
          auto* q = static_cast<Query*>(data);
          if (info && info->monitor_of_sink != PA_INVALID_INDEX && info->name) {
            q->monitor = info->name;
          }
          signalLoop(q->loop);
        },
        &query);
    if (Result<void> done = await(operation); !done.ok() && done.error().code() != PA_ERR_NOENTITY) {
      return std::move(done).error();
    }
  }
  return std::move(query.monitor);
}

Result<std::optional<std::string>> PulseConnection::microphoneOnlyMonitor(
    const ServerFacts& server) {
  std::optional<std::string> monitor = HALDEN_TRY(monitorBehind(server.defaultSource));
  if (!monitor) return monitor;
  const std::optional<SinkFacts> output = HALDEN_TRY(sink(server.defaultSink));
  if (output && output->monitorSourceName == *monitor) return std::optional<std::string>();
  return monitor;
}

}  // namespace halden::pulse
