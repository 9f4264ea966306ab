#include "engine/fit/LossAwareFit.h"

#include <algorithm>
#include <cmath>

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

// How far the fitted rate may lie below the rate from one step to the next, in standard errors
// of the two and on top of them: a late first or last look, or the drift of a sound server's
// delay that the fit allows for, tilts the one or the other by some tens of ppm; losses that
// went unseen for coming in half or more of the quarter-second windows tilt the fit by their
// share of the time: at least half a step period every half second, a thousand ppm or more
// for any step of 44 frames or longer.
constexpr double kAgreeSigmas = 6.0;
constexpr double kAgreeRatio = 1e-3;

// Losses in half or more of the detector's windows are many: a quarter-second window each.
constexpr std::size_t kLeastUnseenLosses = 16;

}  // namespace

LossAwareFit::LossAwareFit(double nominalRate, std::uint32_t stepFrames, double delayWanderSeconds)
    : fit(nominalRate),
      losses(nominalRate, stepFrames,
             std::max(kLossWindowSeconds, kLossWindowSteps * stepFrames / nominalRate)),
      delayWanderSeconds(delayWanderSeconds) {
  fit.AllowDelayWander(delayWanderSeconds);
}

void LossAwareFit::AllowDelayWander(double seconds) {
  delayWanderSeconds = seconds;
  fit.AllowDelayWander(seconds);
}

void LossAwareFit::AddStep(double seconds, std::uint64_t frames) {
  losses.AddStep(seconds, frames);
  unjudged.push_back({seconds, frames});
  FitJudgedSteps();
}

void LossAwareFit::Finish() {
  losses.Finish();
  FitJudgedSteps();
  LookForUnseenLosses();
}

void LossAwareFit::LookForUnseenLosses() {
  const RateEstimate estimate = fit.Estimate();
  const LossDetector::StepDrift between = losses.DriftBetweenSteps();
  if (!estimate.valid || !between.valid || estimate.seconds <= 0.0) return;
  // The time seen runs ahead of the frames by 1 - ratio per second; losses add to that.
  const double below = (1.0 - estimate.ratio) - between.drift;
  const double allowed = kAgreeSigmas * std::hypot(between.error, estimate.stdErrPpm * 1e-6) +
                         kAgreeRatio + 2.0 * delayWanderSeconds / estimate.seconds;
  // A hold that a sound server catches up on slowly rises in one step and comes back in many
  // small ones, which also lowers the drift between steps: only many rises tell of losses.
  if (below <= allowed || between.rises < kLeastUnseenLosses) return;
  // What the fit took for a slower rate was lost; in losses of the size mostly seen.
  unseenLostMs = below * estimate.seconds * 1e3;
  unseenLosses = std::max<std::size_t>(
      1, static_cast<std::size_t>(std::lround(unseenLostMs * 1e-3 / between.typicalRiseSeconds)));
}

bool LossAwareFit::TooMuchLost() const {
  if (unseenLosses > 0) return true;
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
