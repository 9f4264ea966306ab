#pragma once
// A scheduler for simulated runs: every request succeeds and nothing is changed, so a test or
// a benchmark in virtual time neither pins nor raises the thread that runs it.

#include "platform/Scheduler.h"

namespace veltrane {

class SimulatedScheduler : public Scheduler {
 public:
  // processMask: the processors the simulated process may use.
  explicit SimulatedScheduler(std::uint32_t processMask = 1) : processMask(processMask) {}

  ThreadRef CurrentThread() override { return 1; }
  bool GetProcessAffinityMask(std::uint32_t& process, std::uint32_t& system) override {
    process = system = processMask;
    return true;
  }
  std::uint32_t SetThreadAffinityMask(ThreadRef, std::uint32_t) override { return processMask; }
  bool SetPriorityClass(PriorityClass) override { return true; }
  bool SetThreadTimeCritical(ThreadRef) override { return true; }

 private:
  std::uint32_t processMask;
};

}  // namespace veltrane
