#include "platform/linux/SoundServer.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>

#include <chrono>
#include <memory>

namespace veltrane {
namespace {

// A server that accepts the connection but never answers must not hold up the opening of
// a device: this is as long as asking may take.
constexpr auto kAnswerTimeout = std::chrono::seconds(1);
constexpr int kPollMilliseconds = 50;

struct MainloopFree {
  void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextUnref {
  void operator()(pa_context* context) const {
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
};
struct OperationUnref {
  void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};

struct Query {
  std::string name;
  bool answered = false;
};

}  // namespace

std::string SoundServerName() {
  std::unique_ptr<pa_mainloop, MainloopFree> loop(pa_mainloop_new());
  if (!loop) return {};
  std::unique_ptr<pa_context, ContextUnref> context(
      pa_context_new(pa_mainloop_get_api(loop.get()), "Veltrane"));
  if (!context) return {};
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return {};

  Query query;
  std::unique_ptr<pa_operation, OperationUnref> operation;
  const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
  while (!query.answered && std::chrono::steady_clock::now() < deadline) {
    const pa_context_state_t state = pa_context_get_state(context.get());
    if (!PA_CONTEXT_IS_GOOD(state)) return {};
    if (state == PA_CONTEXT_READY && !operation) {
      operation.reset(pa_context_get_server_info(
          context.get(),
          [](pa_context*, const pa_server_info* info, void* data) {
            auto& answer = *static_cast<Query*>(data);
            if (info != nullptr && info->server_name != nullptr) answer.name = info->server_name;
            answer.answered = true;
          },
          &query));
      if (!operation) return {};
    }
    if (pa_mainloop_prepare(loop.get(), kPollMilliseconds * 1000) < 0 ||
        pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0) {
      return {};
    }
  }
  return query.name;
}

bool IsPipeWire(const std::string& serverName) {
  return serverName.find("PipeWire") != std::string::npos;
}

}  // namespace veltrane
