#pragma once
// A computer's clocks as a time daemon leaves them, on top of a clock that stands for true
// time: the raw clock (the counter, the millisecond timer, the tick count) runs clockPpm fast;
// the disciplined clock of ReadClockPair is, when synced, corrected by what the daemon believes
// the crystal's error to be (off from the truth by up to skewPpm), and runs slewPpm faster on
// top for a span, as a daemon correcting an offset makes it.

#include <cstdint>
#include <memory>

#include "platform/Clock.h"

namespace veltrane {

struct SimulatedTimeOptions {
  double clockPpm = 0.0;  // the raw clock against true time
  bool synced = false;    // a time daemon knows clockPpm (within skewPpm) and disciplines
  double skewPpm = 0.05;  // the daemon's bound on its own frequency error
  double slewPpm = 0.0;   // extra rate of the disciplined clock...
  double slewAfterS = 0.0;  // ...from this many seconds after start...
  double slewForS = 0.0;    // ...for this long
  bool operator==(const SimulatedTimeOptions& other) const {
    return clockPpm == other.clockPpm && synced == other.synced && skewPpm == other.skewPpm &&
           slewPpm == other.slewPpm && slewAfterS == other.slewAfterS &&
           slewForS == other.slewForS;
  }
  bool operator!=(const SimulatedTimeOptions& other) const { return !(*this == other); }
};

class SimulatedSystemClock : public Clock {
 public:
  // randomStart draws the daemon's own error within ±skewPpm.
  SimulatedSystemClock(std::shared_ptr<Clock> trueClock, SimulatedTimeOptions options,
                       std::uint64_t randomStart);

  std::int64_t PerformanceCounter() override;
  std::int64_t PerformanceFrequency() override;
  std::uint32_t MillisecondTimer() override;
  std::uint32_t TickCount() override;
  // Sleeps, pauses and timer periods are the true clock's.
  void Sleep(std::uint32_t milliseconds) override;
  void Pause(std::uint32_t microseconds) override;
  bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) override;
  bool BeginPeriod(std::uint32_t periodMs) override;
  bool EndPeriod(std::uint32_t periodMs) override;
  // Synced: the kernel's source with the daemon's belief and its bound; otherwise none.
  ReferenceClockState GetReferenceState() override;
  ClockPair ReadClockPair() override;

  Clock& TrueClock() const { return *trueClock; }

 private:
  std::int64_t RawCounts(std::int64_t trueCounts) const;
  double CorrectionPpm() const;  // what the daemon applies, slews apart

  std::shared_ptr<Clock> trueClock;
  SimulatedTimeOptions options;
  double believedPpm;  // the daemon's estimate of clockPpm
  std::int64_t origin;
};

// Whether a clock, under any simulated system clock, is a virtual one, which moves only when
// it is read.
bool MovesOnlyWhenRead(Clock& clock);

}  // namespace veltrane
