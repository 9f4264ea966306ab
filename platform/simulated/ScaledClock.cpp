#include "platform/simulated/ScaledClock.h"

#include <chrono>
#include <cmath>
#include <thread>
#include <utility>

namespace veltrane {

ScaledClock::ScaledClock(std::shared_ptr<Clock> real, double scale)
    : real(std::move(real)), scale(scale), origin(this->real->PerformanceCounter()) {}

std::int64_t ScaledClock::PerformanceCounter() {
  // Long double keeps nanoseconds exact over days even at a scale of 1000.
  const long double elapsed = static_cast<long double>(real->PerformanceCounter() - origin);
  return origin + static_cast<std::int64_t>(std::floor(elapsed * scale));
}

std::int64_t ScaledClock::PerformanceFrequency() { return real->PerformanceFrequency(); }

std::uint32_t ScaledClock::MillisecondTimer() {
  const long double ms = static_cast<long double>(PerformanceCounter()) * 1000.0L /
                         static_cast<long double>(PerformanceFrequency());
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::floor(ms)));
}

std::uint32_t ScaledClock::TickCount() { return MillisecondTimer(); }

void ScaledClock::Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(
      std::chrono::duration<double, std::milli>(static_cast<double>(milliseconds) / scale));
}

void ScaledClock::Pause(std::uint32_t microseconds) {
  constexpr double kShortestRealPauseUs = 100.0;
  // A real sleep wakes late by its timer slack (50 µs) and the scheduler's latency; scaled,
  // that lateness would grow N times and push a look aimed just before a step past it, over
  // and over, so the earliest looks drift late together. Waking this much sooner leaves the
  // rest to the caller's busy wait, which is on time at any scale.
  constexpr double kRealWakeLatenessUs = 100.0;
  const double realUs = static_cast<double>(microseconds) / scale - kRealWakeLatenessUs;
  if (realUs >= kShortestRealPauseUs) {
    real->Pause(static_cast<std::uint32_t>(realUs));
  }
}

bool ScaledClock::GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) {
  return real->GetTimerCaps(periodMinMs, periodMaxMs);
}

bool ScaledClock::BeginPeriod(std::uint32_t periodMs) { return real->BeginPeriod(periodMs); }

bool ScaledClock::EndPeriod(std::uint32_t periodMs) { return real->EndPeriod(periodMs); }

}  // namespace veltrane
