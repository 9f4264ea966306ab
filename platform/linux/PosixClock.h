#pragma once
// The real clocks: performance counter = CLOCK_MONOTONIC_RAW in ns (frequency 1e9), millisecond
// timer = CLOCK_MONOTONIC_RAW in whole ms, tick count = the same cut to CLOCK_MONOTONIC_COARSE's
// resolution (both unsigned 32-bit), timer resolution = the calling thread's timer slack, sleep
// = nanosleep. CLOCK_MONOTONIC is the disciplined clock of ReadClockPair.

#include "platform/Clock.h"

namespace veltrane {

class PosixClock : public Clock {
 public:
  std::int64_t PerformanceCounter() override;
  std::int64_t PerformanceFrequency() override;
  std::uint32_t MillisecondTimer() override;
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  void Pause(std::uint32_t microseconds) override;
  bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) override;
  bool BeginPeriod(std::uint32_t periodMs) override;
  bool EndPeriod(std::uint32_t periodMs) override;
  // adjtimex with no change asked for: any user may read it.
  ReferenceClockState GetReferenceState() override;
  // CLOCK_MONOTONIC_RAW and CLOCK_MONOTONIC, with the kernel's correction (adjtimex).
  ClockPair ReadClockPair() override;
};

}  // namespace veltrane
