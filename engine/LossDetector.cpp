#include "engine/LossDetector.h"

#include <algorithm>
#include <cmath>

#include "engine/Robust.h"

// How a loss is told from a late look.
//
// Every step seen gives an offset: the time it was seen minus its frames at the nominal rate.
// Without losses the offsets lie on a line (its slope is the rate's error) plus the delay of
// each look, which is never negative. The steps are gathered into windows, and each window is
// represented by its lowest offset, its floor: a look that came late cannot lower it. Between a
// boundary's windows before and after, the floors rise by the drift of the line and by the
// scatter of the floors; a loss adds a rise that stays for good.
//
// So at each boundary the lowest floor of the windows after it is compared with the lowest of
// the kConfirmWindows windows before it, both taken against the drift. The rise must exceed
// kSpreadFactor times the scatter of the residual floors from one window to the next, measured
// on the run itself (median absolute deviation, scaled to a standard deviation). A rise of half
// a step period or more is a loss once the kConfirmWindows windows after it agree: a counter
// that moves in whole steps loses at least a step, far above what a busy computer's late looks
// keep up for more than a moment. A smaller one must stay for kLastingSeconds: a sound server
// loses its own cycles, which may be much shorter than our step, and may shift its delivery
// for good; but it also holds its data back for some seconds now and then and catches up, and
// a busy computer's late looks raise a few windows in a row. Those end well within
// kLastingSeconds; a loss never does, since every window after it lies behind. After a loss of
// either size a server may deliver faster for some seconds to catch up on what it had kept: the
// line behind is the lowest the floors reach within kLastingSeconds, and the windows above it
// on the way are doubtful.
// Drift and scatter are medians, which losses in fewer than half of the windows leave alone;
// losses closer together than about two windows read as a slower rate instead, which the
// drift of the lowest offset from one step to the next tells apart (DriftBetweenSteps): it
// leaves each loss out, however often they come.
//   This covers whatever the looks or the device add: coarse looks against long steps, device
// jitter, a busy computer.
// A rise waits until the windows after it and enough scatter are seen; until then the steps
// from that boundary on are not judged (JudgedUntil), so whoever reports them can hold them
// back. When the run ends first, a rise of half a step or more is judged on what there is (a
// counter that moves in whole steps loses at least a step, far above what late looks keep up
// for more than a moment), and a smaller one that lasts until the end stays unjudged.

namespace veltrane {
namespace {

// Windows on either side of a boundary that the rise is taken over (see the note above). Two
// keep a single late or early window from deciding, at the cost of two windows' delay.
constexpr std::size_t kConfirmWindows = 2;

// Differences between windows before the drift and the scatter are trusted: the medians of
// sixteen are hardly moved by a loss and a late window among them, nor by the noisier start.
constexpr std::size_t kMinDifferences = 16;

// With fewer differences than this even a run that ends cannot say much.
constexpr std::size_t kFewestDifferencesAtEnd = 3;

// Six standard deviations: normal scatter reaches it about once in 10^9 boundaries; heavier
// tails are what the windows after a boundary are for.
constexpr double kSpreadFactor = 6.0;

// A rise of this share of a step period or more is judged at the end of a run even when it has
// not lasted kLastingSeconds (see JudgeRise).
constexpr double kQuickShareOfStep = 0.5;

// How long a rise must stay to be a loss (see above): twice the holds mostly seen. A longer
// hold is taken for a loss, and its end for a return of the line (see Shifts).
constexpr double kLastingSeconds = 20.0;

// How long the line may take to come back all the way at the end of a long hold (see
// JudgeReturn); seen to take about one second.
constexpr double kReturnSeconds = 2.0;

// Windows this far apart give the drift (see Scatter): half the time a loss must last.
constexpr double kDriftSpanSeconds = kLastingSeconds / 2;

// The finest rise worth a look, as a share of a step period: the looks of a front end time a
// step only to within their own gap, and a counter seen through a regular grid of looks gives
// floors that take a few values in turn, whose scatter the median reads as none. Looks here
// come well under a millisecond apart; the smallest lasting shift a sound server was seen to
// make was a twentieth of a 20 ms step.
constexpr double kFinestShareOfStep = 1.0 / 32.0;

// Rises kept for their typical size (see DriftBetweenSteps): plenty for a median, and a bound
// on the memory a device losing all the time takes.
constexpr std::size_t kMostRiseSizes = 4096;

// Rises of the lowest offset this many step periods apart or closer are taken for one loss.
constexpr double kRisePiecesSteps = 4.0;

// The same in seconds, for a counter whose step is not known.
constexpr double kFinestRise = 1e-6;

}  // namespace

LossDetector::LossDetector(double framesPerSecond, std::uint32_t stepFrames, double windowSeconds)
    : framesPerSecond(framesPerSecond),
      stepSeconds(static_cast<double>(stepFrames) / framesPerSecond),
      windowSeconds(windowSeconds) {}

void LossDetector::AddStep(double seconds, std::uint64_t frames) {
  if (!haveOrigin) {
    haveOrigin = true;
    originFrames = frames;
  }
  const double offset =
      seconds -
      static_cast<double>(static_cast<std::int64_t>(frames - originFrames)) / framesPerSecond;
  if (!havePrevious || frames > previousFrames) NoteLowest(seconds, frames, offset);
  if (windowOpen && seconds - open.firstSeconds >= windowSeconds) {
    CloseWindow();
    Judge(/*finishing=*/false);
  }
  if (!windowOpen) {
    open = {seconds, seconds, seconds, offset};
    windowOpen = true;
  } else {
    open.lastSeconds = seconds;
    if (offset < open.floor) {
      open.floor = offset;
      open.floorSeconds = seconds;
    }
  }
  if (windowSeconds <= 0.0) {
    CloseWindow();
    Judge(/*finishing=*/false);
  }
}

void LossDetector::Finish() { Judge(/*finishing=*/true); }

double LossDetector::LostMilliseconds() const {
  double lost = 0.0;
  for (const SampleLoss& loss : losses) lost += loss.lostSeconds;
  return lost * 1e3;
}

double LossDetector::JudgedUntil() const {
  if (windows.empty()) return -std::numeric_limits<double>::infinity();
  return windows[nextBoundary - 1].lastSeconds;
}

void LossDetector::NoteLowest(double seconds, std::uint64_t frames, double offset) {
  while (!lowest.empty() && lowest.back().offset >= offset) lowest.pop_back();
  lowest.push_back({seconds, offset});
  while (lowest.front().seconds < seconds - windowSeconds) lowest.pop_front();
  // Until a whole window is seen, its lowest may still be a late look.
  if (!haveLowestFrom) {
    haveLowestFrom = true;
    lowestFrom = seconds;
  }
  if (seconds - lowestFrom < windowSeconds) return;
  const double now = lowest.front().offset;
  if (havePrevious && stepSeconds > 0.0) {
    const double rise = now - previousLowest;
    if (rise >= kQuickShareOfStep * stepSeconds) {
      ++bigRises;
      // A loss may show in a few rises close together, as the looks late before it leave the
      // window.
      if (openRise > 0.0 && seconds - openRiseSeconds <= kRisePiecesSteps * stepSeconds) {
        openRise += rise;
      } else {
        if (openRise > 0.0 && bigRiseSizes.size() < kMostRiseSizes)
          bigRiseSizes.push_back(openRise);
        openRise = rise;
      }
      openRiseSeconds = seconds;
    } else if (rise <= -kQuickShareOfStep * stepSeconds) {
      ++bigFalls;
    } else {
      keptSpan += static_cast<double>(frames - previousFrames) / framesPerSecond;
      keptRise += rise;
      keptSquares += rise * rise;
      ++kept;
    }
  }
  havePrevious = true;
  previousLowest = now;
  previousFrames = frames;
}

LossDetector::StepDrift LossDetector::DriftBetweenSteps() const {
  // The rises kept add up to the drift over their frames: the lowest offset of a window holds
  // no late look unless all of its looks came late, and what such a window adds, a later one
  // takes back. Each rise left out may hide a share of the drift, about one kept rise's worth.
  StepDrift result;
  if (kept < kMinDifferences || keptSpan <= 0.0) return result;
  result.valid = true;
  result.drift = keptRise / keptSpan;
  const double mean = keptRise / static_cast<double>(kept);
  const double scatter =
      std::sqrt(std::max(0.0, keptSquares / static_cast<double>(kept) - mean * mean));
  result.error = scatter * std::sqrt(static_cast<double>(bigRises + bigFalls + 2)) / keptSpan;
  result.rises = bigRises > bigFalls ? bigRises - bigFalls : 0;
  std::vector<double> sizes = bigRiseSizes;
  if (openRise > 0.0) sizes.push_back(openRise);
  if (!sizes.empty()) result.typicalRiseSeconds = Median(sizes);
  return result;
}

void LossDetector::CloseWindow() {
  windows.push_back(open);
  windowOpen = false;
}

double LossDetector::LowestResidual(std::size_t begin, std::size_t end, double drift) const {
  double lowest = std::numeric_limits<double>::infinity();
  for (std::size_t i = begin; i < std::min(end, windows.size()); ++i) {
    lowest = std::min(lowest, windows[i].floor -
                                  drift * (windows[i].floorSeconds - windows.front().floorSeconds));
  }
  return lowest;
}

LossDetector::FloorScatter LossDetector::Scatter() const {
  std::vector<double> slopes;
  for (std::size_t i = 1; i < windows.size(); ++i) {
    const double apart = windows[i].floorSeconds - windows[i - 1].floorSeconds;
    if (apart > 0.0) slopes.push_back((windows[i].floor - windows[i - 1].floor) / apart);
  }
  FloorScatter scatter;
  if (slopes.size() < kFewestDifferencesAtEnd) return scatter;
  scatter.drift = Median(slopes);
  // Over a span as long as a loss must last, the drift must be known to a ppm or so: from
  // windows far apart, whose slopes scatter far less than those of neighbours, but only among
  // the windows judged so far, which losses found have put onto one line; a loss not yet found
  // would tilt every slope across it.
  const std::size_t judged = std::min(nextBoundary, windows.size());
  if (judged >= 2) {
    const double span = std::min(
        kDriftSpanSeconds, 0.5 * (windows[judged - 1].floorSeconds - windows.front().floorSeconds));
    std::vector<double> longSlopes;
    for (std::size_t i = 0, j = 0; i < judged; ++i) {
      while (j < judged && windows[j].floorSeconds - windows[i].floorSeconds < span) ++j;
      if (j == judged) break;
      longSlopes.push_back((windows[j].floor - windows[i].floor) /
                           (windows[j].floorSeconds - windows[i].floorSeconds));
    }
    if (longSlopes.size() >= kMinDifferences) scatter.drift = Median(longSlopes);
  }
  std::vector<double> rises;
  for (std::size_t i = 1; i < windows.size(); ++i) {
    rises.push_back(windows[i].floor - windows[i - 1].floor -
                    scatter.drift * (windows[i].floorSeconds - windows[i - 1].floorSeconds));
  }
  const double middle = Median(rises);
  for (double& rise : rises) rise = std::fabs(rise - middle);
  scatter.spread = kMadToSigma * Median(rises);
  return scatter;
}

std::size_t LossDetector::LastingBefore(std::size_t b) const {
  std::size_t from = b;
  while (from > 0 && windows[from - 1].firstSeconds > windows[b].firstSeconds - kLastingSeconds) {
    --from;
  }
  return from;
}

std::size_t LossDetector::LastingAfter(std::size_t b) const {
  std::size_t last = b + kConfirmWindows;
  while (last < windows.size() &&
         windows[last].firstSeconds < windows[b].firstSeconds + kLastingSeconds) {
    ++last;
  }
  return last;
}

LossDetector::Verdict LossDetector::JudgeReturn(const Boundary& at, bool finishing) {
  // Every window of the last kLastingSeconds before the boundary above the windows of the
  // kReturnSeconds after it: a hold long enough to have been taken for a loss has ended, or one
  // began before them. A look is never early, so any window after the boundary tells; the line
  // may take a few windows to come all the way back.
  const std::size_t b = at.index;
  const std::size_t from = LastingBefore(b);
  if (from == 0) return Verdict::Pass(b);
  std::size_t end = b + 1;
  while (end < windows.size() &&
         windows[end].firstSeconds < windows[b].firstSeconds + kReturnSeconds) {
    ++end;
  }
  const double was = LowestResidual(from, b, at.drift);
  const double fallen = was - LowestResidual(b, end, at.drift);
  if (fallen <= 0.0) return Verdict::Pass(b);
  if (end == windows.size() && !finishing) return Verdict::Wait();  // falling: wait for the rest
  if (fallen <= at.threshold) return Verdict::Pass(b);
  // Doubtful: the windows on the way down.
  std::size_t settled = b + 1;
  while (settled < end &&
         LowestResidual(settled, settled + 1, at.drift) > was - fallen + at.threshold) {
    ++settled;
  }
  shifts.push_back({windows[b].firstSeconds, windows[settled - 1].lastSeconds, -fallen});
  for (std::size_t i = 0; i < b; ++i) windows[i].floor -= fallen;
  return Verdict::Shift(b);
}

LossDetector::Verdict LossDetector::JudgeRise(const Boundary& at, bool finishing) {
  // Every rise is judged over the windows of kLastingSeconds after it (see above); when the
  // run ends sooner, a large one on what there is. The window at the boundary may hold late
  // looks from before a loss (see NoteLoss), so the rise one window on tells its size too.
  const std::size_t b = at.index;
  const double quick = kQuickShareOfStep * stepSeconds;
  const double risenNext = LowestResidual(b + 1, b + 1 + kConfirmWindows, at.drift) - at.before;
  const bool large = std::max(at.risen, risenNext) > std::max(quick, at.threshold);
  const std::size_t last = LastingAfter(b);
  const bool lasted = last < windows.size();
  if (!lasted && !finishing) return Verdict::Wait();
  if (!large) {
    if (LowestResidual(b, last, at.drift) - at.before <= at.threshold) return Verdict::Pass(b);
    if (!lasted) return Verdict::Wait();  // raised until the end, but not for long enough
  }
  return NoteLoss(at, last);
}

LossDetector::Verdict LossDetector::NoteLoss(const Boundary& at, std::size_t last) {
  // A window that holds the loss may hold only late looks from before it: then it lies
  // between the lines, and the line behind begins with the window after it.
  const std::size_t b = at.index;
  std::size_t start = b;
  double after = LowestResidual(b, last, at.drift);
  if (b + 1 < windows.size()) {
    const double later = LowestResidual(b + 1, last + 1, at.drift);
    if (later - LowestResidual(b, b + 1, at.drift) > at.threshold) {
      start = b + 1;
      after = later;
    }
  }
  const double rise = after - at.before;
  if (rise <= at.threshold) return Verdict::Pass(b);
  // Doubtful: the window where the line behind begins, which may still hold late looks from
  // before the loss, and the windows after it that still lie above that line, caught up.
  std::size_t settled = start + 1;
  while (settled < last && LowestResidual(settled, settled + 1, at.drift) > after + at.threshold) {
    ++settled;
  }
  losses.push_back({windows[start].firstSeconds, windows[settled - 1].lastSeconds, rise});
  shifts.push_back(losses.back());
  // The floors before it move onto the line behind, so that later boundaries compare
  // like with like and the loss does not count again.
  for (std::size_t i = 0; i < start; ++i) windows[i].floor += rise;
  return Verdict::Shift(start);
}

void LossDetector::Judge(bool finishing) {
  FloorScatter scatter = Scatter();
  const bool trusted =
      windows.size() > kMinDifferences || (finishing && std::isfinite(scatter.spread));
  // Until the drift is trusted, a rise is measured against the nominal rate: a rate error only
  // makes more boundaries wait.
  if (!trusted) scatter.drift = 0.0;
  const double quick = kQuickShareOfStep * stepSeconds;
  const double finest = std::max(kFinestRise, kFinestShareOfStep * stepSeconds);
  while (nextBoundary < windows.size()) {
    const std::size_t b = nextBoundary;
    Boundary at{b, 0.0, 0.0, 0.0, scatter.drift};
    // Until the scatter is trusted only a rise that would be quick to confirm waits for it;
    // smaller ones pass, as the steps of the first windows must not be held back for long.
    at.threshold = trusted ? std::max(finest, kSpreadFactor * scatter.spread) : quick;
    at.before = LowestResidual(b >= kConfirmWindows ? b - kConfirmWindows : 0, b, at.drift);
    at.risen = LowestResidual(b, b + kConfirmWindows, at.drift) - at.before;
    Verdict verdict = Verdict::Wait();
    if (at.risen <= at.threshold) {
      verdict = trusted ? JudgeReturn(at, finishing) : Verdict::Pass(b);
    } else if (trusted) {
      verdict = JudgeRise(at, finishing);
    }
    if (verdict.wait) break;
    // Measured again before the boundary moves on: the drift rests on the windows judged.
    if (verdict.shifted) scatter = Scatter();
    nextBoundary = verdict.next;
  }
}

}  // namespace veltrane
