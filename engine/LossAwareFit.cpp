#include "LossAwareFit.h"

#include <algorithm>

namespace veltrane {
namespace {

// The loss detector judges the steps of each window by its earliest look. A quarter second
// holds about five aimed looks of the command line besides blind ones and is far longer than a
// stall of a busy computer, so the earliest look of a window is close to on time; losses once
// a second still touch only a quarter of the windows, well below the half that the detector's
// medians can stand. A window spans at least a few steps of a counter that steps slowly.
constexpr double kLossWindowSeconds = 0.25;
constexpr double kLossWindowSteps = 4.0;

// Each stretch between losses costs the fit an offset of its own, the information of about one
// block of steps. Once the stretches are so short that they hold fewer than two blocks each on
// average, half or more of what the lowest looks say goes into those offsets.
constexpr std::size_t kLeastBlocksPerStretch = 2;

}  // namespace

LossAwareFit::LossAwareFit(double nominalRate, std::uint32_t stepFrames, double delayWanderSeconds)
    : fit(nominalRate),
      losses(nominalRate, stepFrames,
             std::max(kLossWindowSeconds, kLossWindowSteps * stepFrames / nominalRate)) {
  fit.AllowDelayWander(delayWanderSeconds);
}

void LossAwareFit::AddStep(double seconds, std::uint64_t frames) {
  losses.AddStep(seconds, frames);
  unjudged.push_back({seconds, frames});
  FitJudgedSteps();
}

void LossAwareFit::Finish() {
  losses.Finish();
  FitJudgedSteps();
}

bool LossAwareFit::TooMuchLost() const {
  if (losses.Losses().empty()) return false;
  const RateEstimate estimate = fit.Estimate();
  return !estimate.valid || estimate.blocks < kLeastBlocksPerStretch * (losses.Losses().size() + 1);
}

void LossAwareFit::FitJudgedSteps() {
  const std::vector<SampleLoss>& found = losses.Shifts();
  const double judged = losses.JudgedUntil();
  while (!unjudged.empty() && unjudged.front().seconds <= judged) {
    const Step step = unjudged.front();
    unjudged.pop_front();
    // A step that may lie on either side of a loss (or a return) would set a stretch's offset
    // wrong.
    if (lossesFitted < found.size() && step.seconds >= found[lossesFitted].doubtfulFrom) {
      if (step.seconds <= found[lossesFitted].doubtfulUntil) continue;
      fit.BeginSegment();
      ++lossesFitted;
    }
    fit.AddStep(step.seconds, step.frames);
  }
}

}  // namespace veltrane
