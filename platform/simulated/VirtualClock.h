#pragma once
// Deterministic simulated time for tests of the engine: it starts at an arbitrary fixed
// origin, a sleep advances it by exactly the sleep's length at once, and every reading
// advances it by readCostNs so that busy waits on it make progress. A 300-second calibration
// runs in milliseconds and gives the same numbers every time.

#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/Clock.h"

namespace veltrane {

class VirtualClock : public Clock {
 public:
  explicit VirtualClock(std::int64_t readCostNs = 1000);

  // Virtual nanoseconds since the origin; reading it this way costs no time. Any thread.
  std::int64_t NowNs() const;
  void AdvanceNs(std::int64_t ns);

  // Called on the sleeping thread after each Sleep has advanced the time, with its length.
  // Tests use it to pace a worker against whoever consumes its reports. Set it before the
  // clock is shared with other threads.
  void SetSleepHook(std::function<void(std::uint32_t milliseconds)> hook);

  // PerformanceCounter, MillisecondTimer and TickCount each cost readCostNs; the frequency
  // is a constant and costs nothing. The tick count steps in 4 ms, as a 250 Hz kernel tick.
  std::int64_t PerformanceCounter() override;
  std::int64_t PerformanceFrequency() override;
  std::uint32_t MillisecondTimer() override;
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  void Pause(std::uint32_t microseconds) override;
  // Periods from 1 to 1000000 ms; beginning and ending them always succeeds.
  bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) override;
  bool BeginPeriod(std::uint32_t periodMs) override;
  bool EndPeriod(std::uint32_t periodMs) override;

 private:
  std::int64_t Read();

  std::int64_t readCostNs;
  std::atomic<std::int64_t> nowNs;
  std::function<void(std::uint32_t)> sleepHook;
};

}  // namespace veltrane
