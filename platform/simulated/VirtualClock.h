#pragma once
// Deterministic simulated time for tests of the engine: it starts at an arbitrary fixed
// origin, a sleep advances it by exactly the sleep's length at once, and every reading
// advances it by readCostNs so that busy waits on it make progress. A 300-second calibration
// runs in milliseconds and gives the same numbers every time.

#include <atomic>
#include <cstdint>

#include "Clock.h"

namespace veltrane {

class VirtualClock : public Clock {
 public:
  explicit VirtualClock(std::int64_t readCostNs = 1000);

  // Virtual nanoseconds since the origin; reading it this way costs no time.
  std::int64_t NowNs() const;
  void AdvanceNs(std::int64_t ns);

  std::int64_t PerformanceCounter() override;
  std::int64_t PerformanceFrequency() override;
  std::uint32_t MillisecondTimer() override;
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) override;
  bool BeginPeriod(std::uint32_t periodMs) override;
  bool EndPeriod(std::uint32_t periodMs) override;

 private:
  std::int64_t readCostNs;
  std::atomic<std::int64_t> nowNs;
};

}  // namespace veltrane
