#include "WindowsClock.h"

#include <windows.h>
// After windows.h, whose types it uses; the lean windows.h (WIN32_LEAN_AND_MEAN) leaves it out.
#include <mmsystem.h>

namespace veltrane {

std::int64_t WindowsClock::PerformanceCounter() {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

std::int64_t WindowsClock::PerformanceFrequency() {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

std::uint32_t WindowsClock::MillisecondTimer() { return timeGetTime(); }

std::uint32_t WindowsClock::TickCount() { return GetTickCount(); }

void WindowsClock::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

void WindowsClock::Pause(std::uint32_t microseconds) {
  (void)microseconds;
  SwitchToThread();
}

bool WindowsClock::GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) {
  TIMECAPS caps{};
  if (timeGetDevCaps(&caps, sizeof caps) != MMSYSERR_NOERROR) return false;
  periodMinMs = caps.wPeriodMin;
  periodMaxMs = caps.wPeriodMax;
  return true;
}

bool WindowsClock::BeginPeriod(std::uint32_t periodMs) {
  return timeBeginPeriod(periodMs) == TIMERR_NOERROR;
}

bool WindowsClock::EndPeriod(std::uint32_t periodMs) {
  return timeEndPeriod(periodMs) == TIMERR_NOERROR;
}

ReferenceClockState WindowsClock::GetReferenceState() {
  DWORD adjustment = 0;
  DWORD increment = 0;
  BOOL disabled = TRUE;
  if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || increment == 0) return {};
  ReferenceClockState state;
  // Each tick adds adjustment instead of increment (both in 100 ns) while one is applied.
  if (!disabled) {
    state.frequencyPpm =
        (static_cast<double>(adjustment) - static_cast<double>(increment)) * 1e6 / increment;
  }
  return state;
}

}  // namespace veltrane
