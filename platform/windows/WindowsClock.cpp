#include "platform/windows/WindowsClock.h"

#include <windows.h>
// After windows.h, whose types it uses; the lean windows.h (WIN32_LEAN_AND_MEAN) leaves it out.
#include <mmsystem.h>

#include <optional>

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

namespace {

// The adjustment the system adds to its time each tick instead of the tick's own length, in
// ppm; none while it applies none. Both values come in 100 ns units.
std::optional<double> AdjustmentPpm() {
  DWORD adjustment = 0;
  DWORD increment = 0;
  BOOL disabled = TRUE;
  if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled) || increment == 0) {
    return std::nullopt;
  }
  if (disabled) return 0.0;
  return (static_cast<double>(adjustment) - static_cast<double>(increment)) * 1e6 / increment;
}

}  // namespace

ReferenceClockState WindowsClock::GetReferenceState() {
  const std::optional<double> adjustment = AdjustmentPpm();
  if (!adjustment) return {};
  ReferenceClockState state;
  if (*adjustment != 0.0) state.frequencyPpm = adjustment;
  return state;
}

ClockPair WindowsClock::ReadClockPair() {
  constexpr double kFileTimeUnitsPerSecond = 1e7;
  const double frequency = static_cast<double>(PerformanceFrequency());
  const std::int64_t before = PerformanceCounter();
  FILETIME systemTime{};
  GetSystemTimePreciseAsFileTime(&systemTime);
  const std::int64_t after = PerformanceCounter();
  ClockPair pair;
  pair.rawSeconds = (static_cast<double>(before) + static_cast<double>(after)) / 2.0 / frequency;
  const ULONGLONG units =
      (static_cast<ULONGLONG>(systemTime.dwHighDateTime) << 32) | systemTime.dwLowDateTime;
  // Counted from the first reading: seconds since 1601 in a double would keep only some
  // microseconds, a ppm over a few seconds.
  static const ULONGLONG origin = units;
  pair.disciplinedSeconds = static_cast<double>(static_cast<LONGLONG>(units - origin)) /
                            kFileTimeUnitsPerSecond;
  pair.correctionPpm = AdjustmentPpm();
  return pair;
}

}  // namespace veltrane
