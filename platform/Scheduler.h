#pragma once
// Processor affinity and priorities. A request above what the user may have is
// quietly capped, not refused, so a normal desktop user sees no priority error.

#include <cstdint>
#include <optional>

namespace veltrane {

// Identifies a thread to the scheduler; 0 is no thread.
using ThreadRef = std::uint64_t;

enum class PriorityClass { Normal, Realtime };

// Processor time since a fixed instant (boot, say), in seconds: spent working by every
// process, all of it (working and idle, every processor together), and this process's own.
struct ProcessorTimes {
  double busy = 0.0;
  double total = 0.0;
  double own = 0.0;
};

class Scheduler {
 public:
  virtual ~Scheduler() = default;

  // The calling thread. Any thread.
  virtual ThreadRef CurrentThread() = 0;

  // Bit n set: processor n may be used (the lowest 32 processors). Any thread.
  virtual bool GetProcessAffinityMask(std::uint32_t& processMask, std::uint32_t& systemMask) = 0;

  // Pins thread to mask; returns the previous mask, 0 on failure. Only the thread itself
  // (Linux sets affinity per thread, the caller passes CurrentThread()).
  virtual std::uint32_t SetThreadAffinityMask(ThreadRef thread, std::uint32_t mask) = 0;

  // Real-time class for the process; false on a hard failure only. Any thread.
  virtual bool SetPriorityClass(PriorityClass priorityClass) = 0;

  // Time-critical priority for thread; false on a hard failure only.
  virtual bool SetThreadTimeCritical(ThreadRef thread) = 0;

  // How busy the processors have been; unknown (nullopt) where the system does not tell.
  // Any thread.
  virtual std::optional<ProcessorTimes> ReadProcessorTimes() { return std::nullopt; }
};

}  // namespace veltrane
