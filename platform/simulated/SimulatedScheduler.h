#pragma once
// A scheduler for simulated runs: every request for a thread succeeds and nothing is changed,
// so a test or a benchmark in virtual time neither pins nor raises the thread that runs it.
// Pinning remembers the mask, to give it back as the previous one, as the real ones do.
// Processor times are unknown unless a test gives a source for them.

#include <atomic>
#include <functional>
#include <optional>

#include "platform/Scheduler.h"

namespace veltrane {

class SimulatedScheduler : public Scheduler {
 public:
  // processMask: the processors the simulated process may use.
  explicit SimulatedScheduler(std::uint32_t processMask = 1)
      : processMask(processMask), threadMask(processMask) {}

  ThreadRef CurrentThread() override { return 1; }
  bool GetProcessAffinityMask(std::uint32_t& process, std::uint32_t& system) override {
    process = system = processMask;
    return true;
  }
  std::uint32_t SetThreadAffinityMask(ThreadRef thread, std::uint32_t mask) override {
    if (thread == 0 || mask == 0) return 0;
    return threadMask.exchange(mask);
  }
  bool SetPriorityClass(PriorityClass) override { return true; }
  bool SetThreadTimeCritical(ThreadRef) override { return true; }
  std::optional<ProcessorTimes> ReadProcessorTimes() override {
    return processorTimes ? processorTimes() : std::nullopt;
  }

  // Set before the scheduler is shared.
  std::function<std::optional<ProcessorTimes>()> processorTimes;

 private:
  std::uint32_t processMask;
  std::atomic<std::uint32_t> threadMask;  // of the one thread it knows
};

}  // namespace veltrane
