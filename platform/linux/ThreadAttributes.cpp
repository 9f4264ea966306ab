#include "ThreadAttributes.h"

#include <pthread.h>
#include <unistd.h>

namespace veltrane {

ScopedNormalThreadAttributes::ScopedNormalThreadAttributes() {
  if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 &&
      ((policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO ||
       (policy & ~SCHED_RESET_ON_FORK) == SCHED_RR)) {
    sched_param normal{};
    policyChanged = pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal) == 0;
  }

  // The main thread's affinity stands for the process's: it is what the process was started
  // with (taskset and cgroups included), and the program pins only worker threads.
  cpu_set_t process;
  CPU_ZERO(&process);
  CPU_ZERO(&affinity);
  if (sched_getaffinity(0, sizeof(affinity), &affinity) == 0 &&
      sched_getaffinity(getpid(), sizeof(process), &process) == 0 &&
      !CPU_EQUAL(&affinity, &process)) {
    affinityChanged = sched_setaffinity(0, sizeof(process), &process) == 0;
  }
}

ScopedNormalThreadAttributes::~ScopedNormalThreadAttributes() {
  if (affinityChanged) sched_setaffinity(0, sizeof(affinity), &affinity);
  if (policyChanged) pthread_setschedparam(pthread_self(), policy, &param);
}

}  // namespace veltrane
