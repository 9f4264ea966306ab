#pragma once
// Real time running scale times faster: every reading advances scale times as fast as the
// underlying clock, and every sleep lasts 1/scale of its length.

#include <memory>

#include "Clock.h"

namespace veltrane {

class ScaledClock : public Clock {
 public:
  ScaledClock(std::shared_ptr<Clock> real, double scale);
  std::int64_t PerformanceCounter() override;
  std::int64_t PerformanceFrequency() override;
  std::uint32_t MillisecondTimer() override;
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) override;
  bool BeginPeriod(std::uint32_t periodMs) override;
  bool EndPeriod(std::uint32_t periodMs) override;

 private:
  std::shared_ptr<Clock> real;
  double scale;
  std::int64_t origin;
};

}  // namespace veltrane
