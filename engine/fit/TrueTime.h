#pragma once
// From a rate measured against the raw clock to a rate against true time: the time daemon
// knows how fast the clock runs left alone, and the two clocks read through the run tell how
// the raw clock stands to the clock the daemon corrects, and which rate it applied when.
// No wxWidgets.

#include <optional>
#include <vector>

#include "engine/fit/RateFit.h"
#include "platform/Clock.h"

namespace veltrane {

// How long each stretch of the run is over which the two clocks are compared.
constexpr double kClockWindowSeconds = 5.0;
// A correction that changed by less than this over a stretch was steady: the daemon applied
// its frequency and nothing else, so the stretch shows how the raw clock stands to it.
constexpr double kSteadyCorrectionPpm = 0.001;

// One stretch of the run: how fast the disciplined clock ran against the raw one, and the
// correction the system said it applied.
struct ClockWindow {
  double rawSeconds = 0.0;                 // the stretch's length on the raw clock
  double appliedPpm = 0.0;                 // disciplined / raw - 1, in ppm
  std::optional<double> correctionPpm;     // the mean of what the system said at both ends
  bool correctionSteady = false;           // the same at both ends
};

// Two readings of both clocks, as one stretch.
ClockWindow MakeClockWindow(const ClockPair& begin, const ClockPair& end);

struct TrueTimeResult {
  bool againstTrueTime = false;  // otherwise against the crystal (the raw clock)
  RateEstimate estimate;         // the device's rate against the one or the other
  // How many ppm the raw clock runs fast against true time, and its band; set when known.
  std::optional<double> rawFastPpm;
  std::optional<double> rawFastLowPpm;
  std::optional<double> rawFastHighPpm;
  // The largest rate, in ppm, by which the disciplined clock ran beside its steady rate
  // during the run (with no daemon's figure to stand against, the spread of its rates).
  std::optional<double> slewPpm;
};

// The device's rate against the raw clock, made a rate against true time where the reference
// knows the crystal; otherwise left against the crystal.
TrueTimeResult AgainstTrueTime(const RateEstimate& measured, const ReferenceClockState& reference,
                               const std::vector<ClockWindow>& windows);

}  // namespace veltrane
