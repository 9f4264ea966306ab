#include "base/NormalThread.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <type_traits>
#include <utility>

namespace veltrane {
namespace {

static_assert(std::is_same_v<pthread_t, std::uintptr_t>, "pthread_t is kept as std::uintptr_t");

// The processors the process may use: the calling thread's joined with the main thread's
// (the main thread's stands for what the process was started with, taskset and cgroups
// included; the program pins only worker threads).
cpu_set_t ProcessProcessors() {
  cpu_set_t processors;
  CPU_ZERO(&processors);
  cpu_set_t own;
  if (sched_getaffinity(0, sizeof own, &own) == 0) CPU_OR(&processors, &processors, &own);
  cpu_set_t mainThread;
  if (sched_getaffinity(getpid(), sizeof mainThread, &mainThread) == 0) {
    CPU_OR(&processors, &processors, &mainThread);
  }
  return processors;
}

// Those of the process that the caller is not pinned to. A normal thread woken on the
// processor where a real-time thread spins waits there until the load balancer moves it,
// tens of milliseconds. An unpinned caller leaves every processor to the new thread.
cpu_set_t ProcessorsBesideCaller() {
  const cpu_set_t process = ProcessProcessors();
  cpu_set_t caller;
  if (sched_getaffinity(0, sizeof caller, &caller) != 0) return process;
  cpu_set_t shared;
  CPU_AND(&shared, &caller, &process);
  if (CPU_EQUAL(&shared, &process)) return process;
  cpu_set_t others;
  CPU_XOR(&others, &process, &shared);
  return CPU_COUNT(&others) > 0 ? others : process;
}

bool Create(pthread_t& thread, void* (*entry)(void*), void* self, const cpu_set_t* processors) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  sched_param parameters{};
  parameters.sched_priority = 0;
  bool ready = pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED) == 0 &&
               pthread_attr_setschedpolicy(&attributes, SCHED_OTHER) == 0 &&
               pthread_attr_setschedparam(&attributes, &parameters) == 0;
  if (ready && processors != nullptr) {
    ready = pthread_attr_setaffinity_np(&attributes, sizeof *processors, processors) == 0;
  }
  const bool started = ready && pthread_create(&thread, &attributes, entry, self) == 0;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace

bool NormalThread::Start(std::function<void()> newBody) {
  if (started) return false;
  body = std::move(newBody);
  const cpu_set_t processors = ProcessorsBesideCaller();
  pthread_t created{};
  // Processors that went offline since they were noted would make the first try fail.
  started = Create(created, &Entry, this, &processors) || Create(created, &Entry, this, nullptr);
  if (started) thread = created;
  return started;
}

void NormalThread::Join() {
  if (!started) return;
  pthread_join(static_cast<pthread_t>(thread), nullptr);
  started = false;
}

void* NormalThread::Entry(void* self) {
  static_cast<NormalThread*>(self)->body();
  return nullptr;
}

}  // namespace veltrane
