#pragma once
// Affinity through sched_getaffinity / pthread_setaffinity_np; the real-time class and the
// time-critical priority through SCHED_FIFO where allowed, otherwise the strongest nice value
// allowed. A ThreadRef here is the thread's pthread_t. Processors from number 32 on lie
// outside every mask.

#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Scheduler.h"

namespace veltrane {

class PosixScheduler : public Scheduler {
 public:
  ThreadRef CurrentThread() override;
  // The process mask is the main thread's affinity (what the process was started with);
  // the system mask holds every online processor.
  bool GetProcessAffinityMask(std::uint32_t& processMask, std::uint32_t& systemMask) override;
  std::uint32_t SetThreadAffinityMask(ThreadRef thread, std::uint32_t mask) override;
  // Linux has no priority class: Realtime gives every thread of the process that is not
  // already under a real-time policy the strongest nice value allowed (-20 with
  // CAP_SYS_NICE, otherwise what RLIMIT_NICE permits, possibly no change at all), and
  // remembers what each had; Normal gives them back. Threads started in between inherit
  // the raised value, and Normal returns them to the value the process had.
  bool SetPriorityClass(PriorityClass priorityClass) override;
  // SCHED_FIFO at a high priority where allowed (CAP_SYS_NICE or RLIMIT_RTPRIO), otherwise
  // the strongest nice value allowed. A nice value can only be given to a thread whose
  // kernel id is known: the calling thread, or a thread that has called CurrentThread()
  // once. So call it from the thread itself (the calibration worker does); for any other
  // thread a refused real-time policy is reported as false.
  bool SetThreadTimeCritical(ThreadRef thread) override;
  // From the first line of /proc/stat; this process's own from its processor-time clock.
  std::optional<ProcessorTimes> ReadProcessorTimes() override;

 private:
  std::mutex mutex;
  bool raised = false;
  int processNice = 0;                // the main thread's nice value before Realtime
  std::map<pid_t, int> previousNice;  // kernel thread id -> nice value before Realtime
};

// The processors' busy and total time in /proc/stat's text (its "cpu" line, in ticks of
// ticksPerSecond); own is left 0. Unknown when the line is missing or malformed.
std::optional<ProcessorTimes> ParseProcessorTimes(const std::string& procStat,
                                                  double ticksPerSecond);

}  // namespace veltrane
