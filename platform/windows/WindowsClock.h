#pragma once
// The performance counter, the multimedia timer (timeGetTime, timeBeginPeriod) and the
// system tick, as the Clock interface names them.

#include "platform/Clock.h"

namespace veltrane {

class WindowsClock : public Clock {
 public:
  std::int64_t PerformanceCounter() override;
  std::int64_t PerformanceFrequency() override;
  std::uint32_t MillisecondTimer() override;
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  // A waitable timer's wait, high-resolution where Windows offers it; a pause shorter than
  // half a millisecond only hands the processor to a thread that is ready on it, if any.
  void Pause(std::uint32_t microseconds) override;
  bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) override;
  bool BeginPeriod(std::uint32_t periodMs) override;
  bool EndPeriod(std::uint32_t periodMs) override;
  // From GetSystemTimeAdjustment: the frequency correction while the system applies one;
  // whether the clock is synchronised and its estimated error stay unknown.
  ReferenceClockState GetReferenceState() override;
  // The performance counter, which no time adjustment slews, is the raw clock; the system
  // time (GetSystemTimePreciseAsFileTime), which the adjustment steers, the disciplined one.
  ClockPair ReadClockPair() override;
};

}  // namespace veltrane
