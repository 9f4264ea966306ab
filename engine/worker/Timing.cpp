#include "engine/worker/Timing.h"

#include <bit>
#include <cmath>
#include <utility>

#include "base/Text.h"
#include "support/Trace.h"

namespace veltrane {
namespace {

// How long the clocks are compared: long enough that a clock running wrong by a few percent
// differs by more than the 100 ms allowed.
constexpr std::uint32_t kClockComparisonMs = 2100;
// The most that a clock may differ from the tick count over that time and still be used.
constexpr double kClockAgreementMs = 100.0;

constexpr double kTwoTo32 = 4294967296.0;

void TraceTiming(const std::wstring& text, int line) {
  Trace(L"TR_CALIBRATION", text, L"Timing", line);
}

// A 64-bit count as a double: the upper half signed, the lower half unsigned.
double CountToDouble(std::int64_t count) {
  const auto bits = static_cast<std::uint64_t>(count);
  const auto upper = static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32));
  const auto lower = static_cast<std::uint32_t>(bits);
  return static_cast<double>(upper) * kTwoTo32 + static_cast<double>(lower);
}

}  // namespace

double Timing::UnwrappedCount::Next(std::uint32_t raw) {
  if (read && raw < last) wraps += 1.0;
  read = true;
  last = raw;
  return wraps * kTwoTo32 + static_cast<double>(raw);
}

Timing::Timing(Clock& clock, Scheduler& scheduler,
               std::function<void(const std::wstring&)> showTechnicalMessage)
    : clock(clock), scheduler(scheduler), showTechnicalMessage(std::move(showTechnicalMessage)) {
  thread = scheduler.CurrentThread();

  std::uint32_t periodMin = 0;
  std::uint32_t periodMax = 0;
  if (!clock.GetTimerCaps(periodMin, periodMax)) {
    TraceTiming(L"timeGetDevCaps failed", __LINE__);
    this->showTechnicalMessage(L"timeGetDevCaps failed");
  } else {
    schedulingPeriod = periodMin;
    TraceTiming(FormatText(L"Setting the scheduling period to %d",
                           static_cast<std::int32_t>(schedulingPeriod)),
                __LINE__);
    if (!clock.BeginPeriod(schedulingPeriod)) {
      schedulingPeriod = 0;
      TraceTiming(L"timeBeginPeriod failed", __LINE__);
      this->showTechnicalMessage(L"timeBeginPeriod failed");
    }
  }

  std::uint32_t processMask = 0;
  std::uint32_t systemMask = 0;
  if (!scheduler.GetProcessAffinityMask(processMask, systemMask)) {
    TraceTiming(L"GetProcessAffinityMask failed", __LINE__);
    return;
  }
  TraceTiming(FormatText(L"System Affinity Mask %d", static_cast<std::int32_t>(systemMask)),
              __LINE__);
  TraceTiming(FormatText(L"Process Affinity Mask %d", static_cast<std::int32_t>(processMask)),
              __LINE__);
  if (processMask <= 1 || thread == 0) return;

  // The highest processor the process may use.
  const std::uint32_t threadMask = std::bit_floor(processMask);
  TraceTiming(
      FormatText(L"Setting Thread Affinity Mask on %d", static_cast<std::int32_t>(threadMask)),
      __LINE__);
  previousAffinityMask = scheduler.SetThreadAffinityMask(thread, threadMask);
  if (previousAffinityMask == 0) TraceTiming(L"SetThreadAffinityMask failed", __LINE__);
}

Timing::~Timing() {
  if (schedulingPeriod > 0) {
    clock.EndPeriod(schedulingPeriod);
    schedulingPeriod = 0;
  }
  if (previousAffinityMask != 0 && thread != 0) {
    scheduler.SetThreadAffinityMask(thread, previousAffinityMask);
  }
}

bool Timing::SelectClock() {
  clockKind = ClockPerformanceCounter;
  const double q1 = ReadMilliseconds();
  clockKind = ClockMultimediaTimer;
  const double m1 = ReadMilliseconds();
  clockKind = ClockTickCount;
  const double t1 = ReadMilliseconds();

  clock.Sleep(kClockComparisonMs);

  clockKind = ClockPerformanceCounter;
  const double q2 = ReadMilliseconds();
  clockKind = ClockMultimediaTimer;
  const double m2 = ReadMilliseconds();
  clockKind = ClockTickCount;
  const double t2 = ReadMilliseconds();

  // The tick count is the reference; the first clock in order of preference that agrees
  // with it is taken, even if a later one agrees better.
  const double dQ = std::fabs(q1 - q2);
  const double dM = std::fabs(m1 - m2);
  const double dT = std::fabs(t1 - t2);
  if (std::fabs(dT - dQ) < kClockAgreementMs) {
    clockKind = ClockPerformanceCounter;
    const double megahertz = static_cast<double>(clock.PerformanceFrequency()) * 0.000001;
    TraceTiming(FormatText(L"Timing will use QueryPerformanceCounter on %.2f MHz", megahertz),
                __LINE__);
  } else if (std::fabs(dT - dM) < kClockAgreementMs) {
    clockKind = ClockMultimediaTimer;
    TraceTiming(L"Timing will use timeGetTime", __LINE__);
  } else {
    clockKind = ClockTickCount;
    TraceTiming(L"Timing will use GetTickCount", __LINE__);
  }
  return true;
}

double Timing::ReadMilliseconds() {
  switch (clockKind) {
    case ClockPerformanceCounter: {
      const double counter = CountToDouble(clock.PerformanceCounter());
      const double frequency = CountToDouble(clock.PerformanceFrequency());
      return counter * 1000.0 / frequency;
    }
    case ClockMultimediaTimer:
      return multimediaTimer.Next(clock.MillisecondTimer());
    case ClockTickCount:
      return tickCount.Next(clock.TickCount());
    default:
      return 0.0;
  }
}

}  // namespace veltrane
