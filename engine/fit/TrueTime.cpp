#include "engine/fit/TrueTime.h"

#include <algorithm>
#include <cmath>

#include "engine/Robust.h"

namespace veltrane {
namespace {

constexpr double kPpm = 1e6;

// Rates compose by multiplying ratios, not by adding ppm: at tens of ppm the sum is off by
// parts in 1e9, but the product stays exact.
double Compose(double aPpm, double bPpm) {
  return ((1.0 + aPpm / kPpm) * (1.0 + bPpm / kPpm) - 1.0) * kPpm;
}
double Divide(double aPpm, double bPpm) {
  return ((1.0 + aPpm / kPpm) / (1.0 + bPpm / kPpm) - 1.0) * kPpm;
}

// How fast the disciplined clock, uncorrected, runs against the raw one (a constant of the
// machine: the kernel rounds the two clocks' rates apart): what it ran at beyond the system's
// correction, over the stretches where that correction stood still. A daemon that slews through the kernel's own offset correction leaves the frequency
// as it is, so a slew shows in a few stretches as a rate far from the rest: the median and the
// stretches near it keep it out, and their spread is the band.
struct RawToDisciplined {
  double ppm = 0.0;
  double spreadPpm = 0.0;
};

// Stretches further than this from the median are taken for slews. A smaller rate of slew
// than this is inside the kernel's allowance for its own frequency.
constexpr double kSlewFromMedianPpm = 0.5;
// The kernel derives both clocks from one counter with multipliers of about 2^24: rounded
// apart by parts in 1e8, plus what its bookkeeping of the correction leaves. A larger rate is
// a slew.
constexpr double kLargestRoundingPpm = 5.0;

std::optional<RawToDisciplined> Offset(const std::vector<ClockWindow>& windows) {
  std::vector<double> offsets;
  for (const ClockWindow& window : windows) {
    if (window.correctionSteady && window.correctionPpm) {
      offsets.push_back(Divide(window.appliedPpm, *window.correctionPpm));
    }
  }
  if (offsets.empty()) return std::nullopt;
  RawToDisciplined result;
  result.ppm = Median(offsets);
  std::size_t near = 0;
  for (double offset : offsets) {
    const double deviation = std::fabs(offset - result.ppm);
    if (deviation > kSlewFromMedianPpm) continue;
    ++near;
    result.spreadPpm = std::max(result.spreadPpm, deviation);
  }
  // With most stretches slewed, the median may be a slew itself; rounding never sets the two
  // clocks that far apart.
  if (2 * near <= offsets.size() || std::fabs(result.ppm) > kLargestRoundingPpm) {
    return std::nullopt;
  }
  return result;
}

std::optional<double> LargestSlew(const std::vector<ClockWindow>& windows,
                                  std::optional<double> steadyPpm) {
  if (windows.empty()) return std::nullopt;
  double lowest = windows.front().appliedPpm;
  double highest = lowest;
  for (const ClockWindow& window : windows) {
    lowest = std::min(lowest, window.appliedPpm);
    highest = std::max(highest, window.appliedPpm);
  }
  if (!steadyPpm) return highest - lowest;
  return std::max(std::fabs(highest - *steadyPpm), std::fabs(lowest - *steadyPpm));
}

}  // namespace

ClockWindow MakeClockWindow(const ClockPair& begin, const ClockPair& end) {
  ClockWindow window;
  window.rawSeconds = end.rawSeconds - begin.rawSeconds;
  if (window.rawSeconds > 0.0) {
    window.appliedPpm =
        ((end.disciplinedSeconds - begin.disciplinedSeconds) / window.rawSeconds - 1.0) * kPpm;
  }
  if (begin.correctionPpm && end.correctionPpm) {
    window.correctionPpm = (*begin.correctionPpm + *end.correctionPpm) / 2.0;
    window.correctionSteady =
        std::fabs(*end.correctionPpm - *begin.correctionPpm) < kSteadyCorrectionPpm;
  }
  return window;
}

TrueTimeResult AgainstTrueTime(const RateEstimate& measured, const ReferenceClockState& reference,
                               const std::vector<ClockWindow>& windows) {
  TrueTimeResult result;
  result.estimate = measured;
  const std::optional<RawToDisciplined> offset = Offset(windows);
  const bool known = reference.source != TimeSource::None && reference.uncorrectedFastPpm &&
                     reference.uncorrectedLowPpm && reference.uncorrectedHighPpm && offset;
  if (!known) {
    result.slewPpm = LargestSlew(windows, std::nullopt);
    return result;
  }
  // The raw clock against true time: the disciplined clock's own error, less what the
  // disciplined clock runs beside the raw one.
  result.rawFastPpm = Divide(*reference.uncorrectedFastPpm, offset->ppm);
  result.rawFastLowPpm = Divide(*reference.uncorrectedLowPpm, offset->ppm + offset->spreadPpm);
  result.rawFastHighPpm = Divide(*reference.uncorrectedHighPpm, offset->ppm - offset->spreadPpm);
  // Kept in step, the disciplined clock runs at true time: against the raw clock, that is the
  // raw clock's error undone. Whatever it ran at beside that was a slew.
  result.slewPpm = LargestSlew(windows, Divide(0.0, *result.rawFastPpm));
  if (!measured.valid) return result;
  result.againstTrueTime = true;
  // Frames per raw second, times raw seconds per true second.
  RateEstimate& estimate = result.estimate;
  estimate.ppm = Compose(measured.ppm, *result.rawFastPpm);
  estimate.ratio = 1.0 + estimate.ppm / kPpm;
  estimate.bandLowPpm = Compose(measured.bandLowPpm, *result.rawFastLowPpm);
  estimate.bandHighPpm = Compose(measured.bandHighPpm, *result.rawFastHighPpm);
  return result;
}

}  // namespace veltrane
