// Estimates a sound device's rate like RateFit, but first looks at how the delays between the
// steps and our looks scatter, and fits the way that scatter calls for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/fit/RateFit.h"
#include "engine/fit/StepSeries.h"

namespace veltrane {

// Chooses among three fits of time seen against position, each with one slope and one offset per
// stretch: the lower edge through the lows of blocks (RateFit; late looks, long tails), least
// squares through all points (symmetric scatter: device jitter, device stamps), and the lower
// hull (a delay that is nearly constant, with a sharp lower edge). Where the delay's character
// changes during the run (a computer busy for a while), the stretches before and after the
// change get offsets of their own, so that the busy part's lateness does not tilt the slope.
class AdaptiveRateFit {
 public:
  explicit AdaptiveRateFit(double nominalRate);

  // As RateFit::AddStep: false for a look that shows no new position.
  bool AddStep(double seconds, std::uint64_t frames) { return series.Add(seconds, frames); }
  // As RateFit::BeginSegment.
  void BeginSegment() { series.BeginSegment(); }
  // As RateFit::AllowDelayWander; every fit's band allows for it.
  void AllowDelayWander(double seconds) { delayWander = seconds; }

  enum class Method { kLowerEdge, kLeastSquares, kLowerHull };
  struct Choice {
    RateEstimate estimate;
    Method method = Method::kLowerEdge;
    std::size_t regimeChanges = 0;  // places where the delay's character changed
  };
  // The fit chosen and why; Estimate() is its estimate.
  Choice Analyse() const;
  RateEstimate Estimate() const { return Analyse().estimate; }
  // RateFit's estimate of the same steps, what Analyse starts from.
  RateEstimate LowerEdgeEstimate() const;

  std::size_t Steps() const { return series.Points().size(); }

  using Point = StepPoint;

 private:
  double nominalRate;
  StepSeries series;
  double delayWander = 0.0;
};

}  // namespace veltrane
