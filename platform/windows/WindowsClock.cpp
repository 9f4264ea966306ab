#include "platform/windows/WindowsClock.h"

#include <windows.h>
// After windows.h, whose types it uses; the lean windows.h (WIN32_LEAN_AND_MEAN) leaves it out.
#include <mmsystem.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace veltrane {
namespace {

// Below this a timed wait would overshoot by more than the pause itself: the processor is
// only handed to a ready thread.
constexpr std::uint32_t kShortestTimedPauseUs = 500;
constexpr LONGLONG kHundredNsPerUs = 10;

class TimerHandle {
 public:
  TimerHandle() {
    handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS);
    if (handle == nullptr) handle = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  TimerHandle(const TimerHandle&) = delete;
  TimerHandle& operator=(const TimerHandle&) = delete;
  ~TimerHandle() {
    if (handle != nullptr) CloseHandle(handle);
  }
  HANDLE Get() const { return handle; }

 private:
  HANDLE handle = nullptr;
};

}  // namespace

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
  if (microseconds < kShortestTimedPauseUs) {
    SwitchToThread();
    return;
  }
  // One timer per thread, made once: a high-resolution one where Windows has them (from
  // Windows 10 1803), otherwise an ordinary one that wakes on the timer's period.
  thread_local const TimerHandle timer;
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<LONGLONG>(microseconds) * kHundredNsPerUs;  // negative: relative
  if (timer.Get() != nullptr && SetWaitableTimer(timer.Get(), &due, 0, nullptr, nullptr, FALSE)) {
    WaitForSingleObject(timer.Get(), INFINITE);
  } else {
    ::Sleep(microseconds / 1000);
  }
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
