#pragma once
// The calibration thread's time base: a millisecond clock as fine as the machine allows.
// Building it raises the timer resolution to the finest period offered and pins the calling
// thread to the highest-numbered processor the process may use; destroying it undoes exactly
// what it did. No failure here stops a calibration: each is traced, two are also shown.
// Does not include wxWidgets.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Clock.h"
#include "platform/Scheduler.h"

namespace veltrane {

class Timing {
 public:
  static constexpr std::int32_t ClockNone = 0;
  static constexpr std::int32_t ClockPerformanceCounter = 1;
  static constexpr std::int32_t ClockMultimediaTimer = 2;
  static constexpr std::int32_t ClockTickCount = 3;

  // Every operation runs on the calibration thread, which builds the object on its own
  // stack: constructor, SelectClock, any number of ReadMilliseconds, destructor.
  // showTechnicalMessage shows a technical text in a box (OK, exclamation icon) and returns
  // when it is closed. The clock and the scheduler must outlive the object.
  Timing(Clock& clock, Scheduler& scheduler,
         std::function<void(const std::wstring&)> showTechnicalMessage);
  virtual ~Timing();
  Timing(const Timing&) = delete;
  Timing& operator=(const Timing&) = delete;

  // Compares the three clocks over 2100 ms and chooses one. Always true.
  bool SelectClock();

  // The chosen clock's present time in milliseconds; only differences mean anything.
  // 0.0 before SelectClock.
  double ReadMilliseconds();

  // ClockNone before SelectClock, then the chosen kind (1, 2 or 3).
  std::int32_t GetClockKind() const { return clockKind; }

 private:
  // The millisecond counts wrap after 2^32 ms (49.7 days); each keeps count of its wraps,
  // so that readings stay continuous across one, as long as it is read at least once per
  // wrap.
  struct UnwrappedCount {
    bool read = false;
    std::uint32_t last = 0;
    double wraps = 0.0;
    double Next(std::uint32_t raw);
  };

  std::uint32_t schedulingPeriod = 0;      // the period this object began; 0 when none
  ThreadRef thread = 0;                    // the thread that built the object
  std::uint32_t previousAffinityMask = 0;  // what pinning replaced; 0 when not pinned
  std::int32_t clockKind = ClockNone;

  Clock& clock;
  Scheduler& scheduler;
  std::function<void(const std::wstring&)> showTechnicalMessage;
  UnwrappedCount multimediaTimer;
  UnwrappedCount tickCount;
};

}  // namespace veltrane
