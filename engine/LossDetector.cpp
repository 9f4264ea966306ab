#include "LossDetector.h"

#include <algorithm>
#include <cmath>

#include "Robust.h"

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
// the kConfirmWindows windows before it, both taken against the drift. A late stretch of looks
// that ends again is undone by a lower window after it; a loss is not, since every window after
// it lies behind. The rise must exceed kSpreadFactor times the scatter of the residual floors
// from one window to the next, measured on the run itself (median absolute deviation, scaled to
// a standard deviation), and how long it must last depends on its size:
// - a rise of half a step period or more is confirmed by the kConfirmWindows windows after the
//   boundary: a counter that moves in whole steps loses at least a step, and half of it is far
//   above what a busy computer's late looks keep up for more than a moment;
// - a smaller one must stay for kLastingSeconds. A sound server loses its own cycles, which may
//   be much shorter than our step, and may shift its delivery for good; but it also holds its
//   data back for some seconds now and then and catches up, and a busy computer's late looks
//   raise a few windows in a row. Those end well within kLastingSeconds.
// Drift and scatter are medians, which losses in fewer than half of the windows leave alone;
// losses closer together than about two windows read as a slower rate instead.
//   This covers whatever the looks or the device add: coarse looks against long steps, device
// jitter, a busy computer.
// A rise waits until the windows after it and enough scatter are seen; until then the steps
// from that boundary on are not judged (JudgedUntil), so whoever reports them can hold them
// back. A small rise that lasts until the end without having lasted long enough stays unjudged.

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

// A rise of this share of a step period or more needs only kConfirmWindows (see above).
constexpr double kQuickShareOfStep = 0.5;

// How long a smaller rise must stay to be a loss (see above): twice the longest hold seen.
constexpr double kLastingSeconds = 20.0;

// The finest rise worth a look, as a share of a step period: the looks of a front end time a
// step only to within their own gap, and a counter seen through a regular grid of looks gives
// floors that take a few values in turn, whose scatter the median reads as none. Looks here
// come well under a millisecond apart; the smallest lasting shift a sound server was seen to
// make was a twentieth of a 20 ms step.
constexpr double kFinestShareOfStep = 1.0 / 32.0;

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

void LossDetector::CloseWindow() {
  windows.push_back(open);
  windowOpen = false;
}

double LossDetector::LowestResidual(std::size_t begin, std::size_t end, double drift) const {
  double lowest = std::numeric_limits<double>::infinity();
  for (std::size_t i = begin; i < end; ++i) {
    lowest = std::min(lowest, windows[i].floor -
                                  drift * (windows[i].floorSeconds - windows.front().floorSeconds));
  }
  return lowest;
}

void LossDetector::Scatter(double& drift, double& spread) const {
  std::vector<double> slopes;
  for (std::size_t i = 1; i < windows.size(); ++i) {
    const double apart = windows[i].floorSeconds - windows[i - 1].floorSeconds;
    if (apart > 0.0) slopes.push_back((windows[i].floor - windows[i - 1].floor) / apart);
  }
  drift = 0.0;
  spread = std::numeric_limits<double>::infinity();
  if (slopes.size() < kFewestDifferencesAtEnd) return;
  drift = Median(slopes);
  std::vector<double> rises;
  for (std::size_t i = 1; i < windows.size(); ++i) {
    rises.push_back(windows[i].floor - windows[i - 1].floor -
                    drift * (windows[i].floorSeconds - windows[i - 1].floorSeconds));
  }
  const double middle = Median(rises);
  for (double& rise : rises) rise = std::fabs(rise - middle);
  spread = kMadToSigma * Median(rises);
}

void LossDetector::Judge(bool finishing) {
  double drift = 0.0;
  double spread = 0.0;
  Scatter(drift, spread);
  const bool trusted = windows.size() > kMinDifferences || (finishing && std::isfinite(spread));
  // Until the drift is trusted, a rise is measured against the nominal rate: a rate error only
  // makes more boundaries wait.
  if (!trusted) drift = 0.0;
  const double quick = kQuickShareOfStep * stepSeconds;
  const double finest = std::max(kFinestRise, kFinestShareOfStep * stepSeconds);
  const auto lowestOf = [&](std::size_t begin, std::size_t end) {
    return LowestResidual(begin, std::min(end, windows.size()), drift);
  };
  while (nextBoundary < windows.size()) {
    const std::size_t b = nextBoundary;
    // Until the scatter is trusted only a rise that would be quick to confirm waits for it;
    // smaller ones pass, as the steps of the first windows must not be held back for long.
    const double threshold = trusted ? std::max(finest, kSpreadFactor * spread) : quick;
    const double before = lowestOf(b >= kConfirmWindows ? b - kConfirmWindows : 0, b);
    const double risen = lowestOf(b, b + kConfirmWindows) - before;
    if (risen <= threshold) {
      ++nextBoundary;
      continue;
    }
    if (!trusted) break;
    // The windows the rise must last through. The window at the boundary may hold late looks
    // from before a loss (see below), so the rise one window on tells its size too.
    std::size_t last = b + kConfirmWindows;
    const double risenNext = lowestOf(b + 1, b + 1 + kConfirmWindows) - before;
    if (std::max(risen, risenNext) <= std::max(quick, threshold)) {
      while (last < windows.size() &&
             windows[last].firstSeconds < windows[b].firstSeconds + kLastingSeconds) {
        ++last;
      }
      if (last >= windows.size() && !finishing) break;
      if (lowestOf(b, last) - before <= threshold) {
        ++nextBoundary;
        continue;
      }
      if (last >= windows.size()) break;  // raised until the end, but not for long enough
    } else if (windows.size() <= last + 1 && !finishing) {
      break;
    }
    // A window that holds the loss may hold only late looks from before it: then it lies
    // between the lines, and the line behind begins with the window after it.
    std::size_t start = b;
    double after = lowestOf(b, last);
    if (b + 1 < windows.size()) {
      const double later = lowestOf(b + 1, last + 1);
      if (later - lowestOf(b, b + 1) > threshold) {
        start = b + 1;
        after = later;
      }
    }
    const double rise = after - before;
    if (rise > threshold) {
      // The window where the line behind begins may still hold late looks from before the
      // loss, lower than that line: doubtful.
      losses.push_back({windows[start].firstSeconds, windows[start].lastSeconds, rise});
      // The floors before it move onto the line behind, so that later boundaries compare
      // like with like and the loss does not count again.
      for (std::size_t i = 0; i < start; ++i) windows[i].floor += rise;
      Scatter(drift, spread);
      nextBoundary = start;
    }
    ++nextBoundary;
  }
}

}  // namespace veltrane
