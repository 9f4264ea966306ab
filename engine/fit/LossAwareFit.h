#pragma once
// The command line's rate fit with losses taken out: every step goes to the loss detector,
// and to the fit only once the detector has judged it, so that a loss begins a new segment of
// the fit (the same rate, an offset of its own) instead of bending its line. No wxWidgets.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "engine/LossDetector.h"
#include "engine/fit/AdaptiveRateFit.h"

namespace veltrane {

class LossAwareFit {
 public:
  // stepFrames: the counter's usual step; delayWanderSeconds: see RateFit::AllowDelayWander.
  LossAwareFit(double nominalRate, std::uint32_t stepFrames, double delayWanderSeconds);

  // The position was seen to have reached frames by seconds; in order.
  void AddStep(double seconds, std::uint64_t frames);

  // A new allowance for the drift of the delay (see RateFit::AllowDelayWander), for every
  // estimate from now on.
  void AllowDelayWander(double seconds);

  // No more steps come. Steps that nothing after them could judge are left out.
  void Finish();

  // The fit of the steps judged so far: the one their delays call for (AdaptiveRateFit).
  RateEstimate Estimate() const { return fit.Estimate(); }
  // The lower edge's fit alone, at a small part of the cost: good enough to aim the looks by.
  RateEstimate QuickEstimate() const { return fit.LowerEdgeEstimate(); }
  std::size_t Steps() const { return fit.Steps(); }

  const std::vector<SampleLoss>& Losses() const { return losses.Losses(); }
  double LostMilliseconds() const { return losses.LostMilliseconds(); }
  // Where a segment began: the losses, and the line coming back after a long hold.
  const std::vector<SampleLoss>& Shifts() const { return losses.Shifts(); }

  // Losses the detector's windows did not see, once finished: when losses come in half or more
  // of its windows, each rise between windows holds one and the detector takes them for a slower
  // rate. Then the fitted rate lies far below the rate from one step to the next.
  std::size_t UnseenLosses() const { return unseenLosses; }
  double UnseenLostMilliseconds() const { return unseenLostMs; }

  // So much was lost that the stretches between losses are too short for the band to be
  // trusted: the lines' joins may hide losses too small to be seen. Also when losses went
  // unseen.
  bool TooMuchLost() const;

 private:
  struct Step {
    double seconds;
    std::uint64_t frames;
  };
  void FitJudgedSteps();
  void LookForUnseenLosses();

  AdaptiveRateFit fit;
  LossDetector losses;
  std::deque<Step> unjudged;
  std::size_t lossesFitted = 0;  // shifts at which the fit began a segment
  double delayWanderSeconds;
  std::size_t unseenLosses = 0;
  double unseenLostMs = 0.0;
};

}  // namespace veltrane
