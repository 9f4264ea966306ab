#pragma once
// Affinity through sched_getaffinity / pthread_setaffinity_np; the real-time class and the
// time-critical priority through SCHED_FIFO/SCHED_RR where allowed, otherwise the strongest
// nice value allowed.

#include "Scheduler.h"

namespace veltrane {

class PosixScheduler : public Scheduler {
 public:
  ThreadRef CurrentThread() override;
  bool GetProcessAffinityMask(std::uint32_t& processMask, std::uint32_t& systemMask) override;
  std::uint32_t SetThreadAffinityMask(ThreadRef thread, std::uint32_t mask) override;
  bool SetPriorityClass(PriorityClass priorityClass) override;
  bool SetThreadTimeCritical(ThreadRef thread) override;
};

}  // namespace veltrane
