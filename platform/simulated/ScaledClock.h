#pragma once
// Real time running scale times faster: every reading advances scale times as fast as the
// underlying clock, from the moment of construction, and every sleep lasts 1/scale of its
// length. The underlying clock must run in real time (sleeps are real sleeps).

#include <memory>

#include "platform/Clock.h"

namespace veltrane {

class ScaledClock : public Clock {
 public:
  ScaledClock(std::shared_ptr<Clock> real, double scale);
  // The counter keeps the underlying frequency. The millisecond timer and the tick count are
  // both taken from the scaled counter, in whole milliseconds that wrap at 2^32: a coarse
  // kernel tick scaled N times would step by N × 4 ms, coarser than any real machine's.
  std::int64_t PerformanceCounter() override;
  std::int64_t PerformanceFrequency() override;
  std::uint32_t MillisecondTimer() override;
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  // Scaled pauses below what a real sleep can resolve would stretch into milliseconds of
  // program time: those return at once, so a busy wait spins instead. Longer ones end a
  // little before their time rather than after it.
  void Pause(std::uint32_t microseconds) override;
  // Timer periods are those of the underlying clock.
  bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) override;
  bool BeginPeriod(std::uint32_t periodMs) override;
  bool EndPeriod(std::uint32_t periodMs) override;

 private:
  std::shared_ptr<Clock> real;
  double scale;
  std::int64_t origin;  // the underlying counter at construction; scaled time runs from here
};

}  // namespace veltrane
