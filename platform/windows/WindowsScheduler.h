#pragma once
// Affinity masks and priorities through the Windows calls of those names. A ThreadRef here is
// the thread's id, so that any thread can name another; a handle is opened for each call.
// Processors from number 32 on lie outside every mask.

#include <mutex>
#include <optional>

#include "platform/Scheduler.h"

namespace veltrane {

class WindowsScheduler : public Scheduler {
 public:
  ThreadRef CurrentThread() override;
  bool GetProcessAffinityMask(std::uint32_t& processMask, std::uint32_t& systemMask) override;
  std::uint32_t SetThreadAffinityMask(ThreadRef thread, std::uint32_t mask) override;
  // Realtime asks for REALTIME_PRIORITY_CLASS, which Windows quietly turns into
  // HIGH_PRIORITY_CLASS for a user without the privilege; Normal gives back the class the
  // process had before.
  bool SetPriorityClass(PriorityClass priorityClass) override;
  bool SetThreadTimeCritical(ThreadRef thread) override;
  // GetSystemTimes for all processors, GetProcessTimes for this process.
  std::optional<ProcessorTimes> ReadProcessorTimes() override;

 private:
  std::mutex mutex;
  std::optional<unsigned long> previousClass;
};

}  // namespace veltrane
