#include "engine/fit/RateFit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/Robust.h"

// How the rate and its band are found.
//
// A seen time is the true step instant plus a delay that is never negative (where the poll fell,
// scheduling latency) plus small symmetric device jitter. Only the lowest points carry the rate,
// so the fit follows the lower edge of time-versus-position, as in clock-skew estimation from
// one-way delays.
//
// The steps of each segment are cut into blocks of equal step count (about kBlockCount over the
// whole run). In each block the lowest point relative to the current line is kept; a
// least-squares line with one common slope and one offset per segment goes through these lows;
// the lows are picked again against the new line until they no longer change (two or three
// rounds). A late look is never a block's lowest point, so it cannot move the estimate.
//
// The error of such an envelope comes from how far the best point of each block still sits above
// the true line (its leftover delay plus its jitter). Blocks of equal count see alike and
// independent leftovers, so a common leftover only shifts the offsets and the slope stays
// unbiased, and the scatter of the lows around the fitted line measures that error from the data
// itself: coarse polling, a computer busy all along or heavy jitter all widen it. The band is the
// slope's least-squares standard error times a Student t quantile for blocks - segments - 1
// degrees of freedom. The lows' leftovers are skewed (close to exponential), which makes that
// standard error noisier than the t quantile assumes; the quantile is therefore taken two-sided
// at 98 % rather than 95 %, so that the band holds the truth in at least 95 % of runs, not merely
// on average.
//
// A stretch whose lows all stand far above the others' (a sound server that held its data back
// for some seconds, then caught up) says nothing of the rate and would tilt the line: blocks
// whose low lies more than kRaisedScale robust deviations above the line leave the fit, a
// quarter of them at most. Ordinary leftovers, even a busy computer's, never reach that far.
//
// A sound server's delay may also wander to and fro over tens of seconds (PipeWire's by a tenth
// of a millisecond in a minute). Neighbouring lows then move together and the plain band is too
// narrow; the means of the lows' residuals over eighths of the run show such a wander, and the
// band widens by as much as they scatter more than independent lows would (WanderFactor). A
// wander as slow as the run itself is a tilt no fit can tell from a rate.
//
// What this cannot see: leftovers that change along the run. A stretch of heavy latency in only
// part of the run lifts that part's lows together and tilts the line by more than its band; a
// segment started where such a stretch ends removes the tilt.

namespace veltrane {
namespace {

// Blocks over the whole run. More blocks give the standard error more degrees of freedom; fewer
// give each block more steps to find a low one. Around 40 keeps the band's own scatter small
// while a 60-s run still has 150 steps per block at 441-frame steps.
constexpr std::size_t kBlockCount = 40;

// A low taken among fewer steps is hardly a low; below this early in a run, fewer blocks are cut.
constexpr std::size_t kMinStepsPerBlock = 4;

// The t quantile expansion below is good from 3 degrees of freedom; fewer means too little data.
constexpr std::size_t kMinDof = 3;

// The lows settle in two or three rounds; the cap only guards against a pick that flips forever
// between two equally low points.
constexpr int kMaxRounds = 8;

// How far above the line, in robust standard deviations of the lows (1.4826 x their median
// absolute deviation), a block's low marks a stretch held back; exponential leftovers pass it
// in fewer than two blocks in a thousand.
constexpr double kRaisedScale = 8.0;
constexpr std::size_t kMostRaisedShare = 4;  // at most a quarter of all blocks leave

// Stretches of the run whose mean residuals show a wandering delay (see WanderFactor).
// Eight leave enough stretches to see a wander of the period of the run or shorter, with some
// blocks in each (five at the least, in a run of 40).
constexpr std::size_t kBatches = 8;

// Normal quantile of a two-sided 98 % band (see the method note above for why not 95 %).
constexpr double kBandZ = 2.3263;

// Student t quantile for the normal quantile z (Cornish-Fisher expansion, Abramowitz and Stegun
// 26.7.5); within 0.5 % of the exact value from 3 degrees of freedom on.
double StudentQuantile(double z, double dof) {
  const double z2 = z * z;
  const double z3 = z2 * z, z5 = z3 * z2, z7 = z5 * z2, z9 = z7 * z2;
  const double g1 = (z3 + z) / 4.0;
  const double g2 = (5.0 * z5 + 16.0 * z3 + 3.0 * z) / 96.0;
  const double g3 = (3.0 * z7 + 19.0 * z5 + 17.0 * z3 - 15.0 * z) / 384.0;
  const double g4 = (79.0 * z9 + 776.0 * z7 + 1482.0 * z5 - 1920.0 * z3 - 945.0 * z) / 92160.0;
  return z + g1 / dof + g2 / (dof * dof) + g3 / (dof * dof * dof) + g4 / (dof * dof * dof * dof);
}

using Block = RateFit::Block;

struct Line {
  bool ok = false;
  double slope = 0.0;   // seconds per frame
  double stdErr = 0.0;  // of the slope
};

// Least squares through the block lows: one slope, one offset per segment.
template <typename PointVec>
Line FitLows(const PointVec& points, const std::vector<Block>& blocks,
             const std::vector<std::size_t>& lows, std::size_t segmentCount, std::size_t dof) {
  std::vector<long double> sumFrames(segmentCount, 0.0L), sumSeconds(segmentCount, 0.0L);
  std::vector<std::size_t> count(segmentCount, 0);
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    sumFrames[blocks[k].segment] += points[lows[k]].frames;
    sumSeconds[blocks[k].segment] += points[lows[k]].seconds;
    ++count[blocks[k].segment];
  }
  for (std::size_t s = 0; s < segmentCount; ++s) {
    if (count[s] > 0) {
      sumFrames[s] /= count[s];
      sumSeconds[s] /= count[s];
    }
  }
  long double sxx = 0.0L, sxt = 0.0L;
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const long double df = points[lows[k]].frames - sumFrames[blocks[k].segment];
    const long double dt = points[lows[k]].seconds - sumSeconds[blocks[k].segment];
    sxx += df * df;
    sxt += df * dt;
  }
  Line line;
  if (!(sxx > 0.0L)) return line;
  const long double slope = sxt / sxx;
  long double rss = 0.0L;
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    const long double df = points[lows[k]].frames - sumFrames[blocks[k].segment];
    const long double dt = points[lows[k]].seconds - sumSeconds[blocks[k].segment];
    const long double r = dt - slope * df;
    rss += r * r;
  }
  line.ok = slope > 0.0L;
  line.slope = static_cast<double>(slope);
  line.stdErr = static_cast<double>(std::sqrt(rss / dof / sxx));
  return line;
}

// How far each block's low lies above a line that the raised stretches cannot tilt: the median
// of the slopes between lows of one segment (Theil and Sen), each segment at its median offset.
template <typename PointVec>
std::vector<double> RobustHeights(const PointVec& points, const std::vector<Block>& blocks,
                                  const std::vector<std::size_t>& lows, std::size_t segmentCount) {
  std::vector<double> slopes;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    for (std::size_t j = i + 1; j < blocks.size() && blocks[j].segment == blocks[i].segment; ++j) {
      const auto& a = points[lows[i]];
      const auto& b = points[lows[j]];
      slopes.push_back((b.seconds - a.seconds) / (b.frames - a.frames));
    }
  }
  const double slope = slopes.empty() ? 0.0 : Median(slopes);
  std::vector<double> heights(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    heights[k] = points[lows[k]].seconds - slope * points[lows[k]].frames;
  }
  for (std::size_t segment = 0; segment < segmentCount; ++segment) {
    std::vector<double> own;
    for (std::size_t k = 0; k < blocks.size(); ++k) {
      if (blocks[k].segment == segment) own.push_back(heights[k]);
    }
    if (own.empty()) continue;
    const double offset = Median(own);
    for (std::size_t k = 0; k < blocks.size(); ++k) {
      if (blocks[k].segment == segment) heights[k] -= offset;
    }
  }
  return heights;
}

// The blocks whose lows stand far above the rest, as described at kRaisedScale; none when more
// than mayLeave would go, since then there is no rest to trust.
std::vector<bool> RaisedBlocks(const std::vector<double>& heights, std::size_t mayLeave) {
  const double middle = Median(heights);
  std::vector<double> deviations(heights.size());
  for (std::size_t k = 0; k < heights.size(); ++k) deviations[k] = std::fabs(heights[k] - middle);
  const double limit = middle + kRaisedScale * kMadToSigma * Median(deviations);
  std::vector<bool> raised(heights.size());
  std::size_t count = 0;
  for (std::size_t k = 0; k < heights.size(); ++k) count += raised[k] = heights[k] > limit;
  if (count > mayLeave) raised.assign(heights.size(), false);
  return raised;
}

// How much more the lows' residuals scatter when averaged over long stretches than their
// scatter from block to block says: a delay that wanders slowly moves whole stretches of lows
// together, and the slope then knows less than the plain band claims. The lows are cut into
// kBatches stretches of consecutive blocks; the scatter of the stretches' mean residuals, times
// their size, estimates the variance that counts for the slope (the method of batch means). 1
// when it is no larger than the plain one.
template <typename PointVec>
double WanderFactor(const PointVec& points, const std::vector<Block>& blocks,
                    const std::vector<std::size_t>& lows, std::size_t segmentCount, double slope,
                    std::size_t dof) {
  const std::size_t n = blocks.size();
  if (n < 2 * kBatches) return 1.0;
  std::vector<double> offset(segmentCount, 0.0);
  std::vector<std::size_t> count(segmentCount, 0);
  for (std::size_t k = 0; k < n; ++k) {
    offset[blocks[k].segment] += points[lows[k]].seconds - slope * points[lows[k]].frames;
    ++count[blocks[k].segment];
  }
  std::vector<double> residual(n);
  double squares = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t s = blocks[k].segment;
    residual[k] = points[lows[k]].seconds - slope * points[lows[k]].frames - offset[s] / count[s];
    squares += residual[k] * residual[k];
  }
  const double plain = squares / dof;
  double batchSquares = 0.0;
  for (std::size_t b = 0; b < kBatches; ++b) {
    double sum = 0.0;
    const std::size_t begin = b * n / kBatches, end = (b + 1) * n / kBatches;
    for (std::size_t k = begin; k < end; ++k) sum += residual[k];
    const double mean = sum / static_cast<double>(end - begin);
    batchSquares += mean * mean * static_cast<double>(end - begin);
  }
  const double longRun = batchSquares / (kBatches - 1);
  return plain > 0.0 && longRun > plain ? std::sqrt(longRun / plain) : 1.0;
}

// The lowest point of each block against the line of this slope.
template <typename PointVec>
std::vector<std::size_t> PickLows(const PointVec& points, const std::vector<Block>& blocks,
                                  double slope) {
  std::vector<std::size_t> lows(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    std::size_t best = blocks[k].begin;
    double bestHeight = std::numeric_limits<double>::infinity();
    for (std::size_t i = blocks[k].begin; i < blocks[k].end; ++i) {
      const double height = points[i].seconds - slope * points[i].frames;
      if (height < bestHeight) {
        bestHeight = height;
        best = i;
      }
    }
    lows[k] = best;
  }
  return lows;
}

// The lower edge of the points: the blocks it rests on, the low of each, the line through
// those lows and its degrees of freedom.
struct Edge {
  std::vector<Block> blocks;
  std::vector<std::size_t> lows;
  Line line;
  std::size_t dof = 0;
};

// Picks the lows against the line of this slope and fits the line through them, again against
// each new line until the lows stay; no line when the lows give none.
template <typename PointVec>
std::optional<Edge> SettleLows(const PointVec& points, std::vector<Block> blocks,
                               std::size_t segmentCount, double slope) {
  Edge edge;
  edge.blocks = std::move(blocks);
  edge.dof = edge.blocks.size() - segmentCount - 1;
  for (int round = 0; round < kMaxRounds; ++round) {
    std::vector<std::size_t> lows = PickLows(points, edge.blocks, slope);
    if (round > 0 && lows == edge.lows) break;
    edge.lows = std::move(lows);
    edge.line = FitLows(points, edge.blocks, edge.lows, segmentCount, edge.dof);
    if (!edge.line.ok) return std::nullopt;
    slope = edge.line.slope;
  }
  return edge;
}

// The blocks of an edge whose lows are not raised (see RaisedBlocks), in order.
template <typename PointVec>
std::vector<Block> UnraisedBlocks(const PointVec& points, const Edge& edge,
                                  std::size_t segmentCount, std::size_t mayLeave) {
  const std::vector<bool> raised =
      RaisedBlocks(RobustHeights(points, edge.blocks, edge.lows, segmentCount), mayLeave);
  std::vector<Block> kept;
  for (std::size_t k = 0; k < edge.blocks.size(); ++k) {
    if (!raised[k]) kept.push_back(edge.blocks[k]);
  }
  return kept;
}

// The edge from the nominal slope on; the lows are picked again once raised blocks have left,
// against the line of the rest. None when too few blocks are left or no line fits.
template <typename PointVec>
std::optional<Edge> LowerEdge(const PointVec& points, std::vector<Block> blocks,
                              std::size_t segmentCount, double nominalSlope) {
  const std::size_t mustStay = blocks.size() - blocks.size() / kMostRaisedShare;
  if (blocks.size() < segmentCount + 1 + kMinDof) return std::nullopt;
  std::optional<Edge> edge = SettleLows(points, std::move(blocks), segmentCount, nominalSlope);
  if (!edge) return edge;
  std::vector<Block> kept =
      UnraisedBlocks(points, *edge, segmentCount, edge->blocks.size() - mustStay);
  if (kept.size() == edge->blocks.size()) return edge;
  if (kept.size() < segmentCount + 1 + kMinDof) return std::nullopt;
  return SettleLows(points, std::move(kept), segmentCount, edge->line.slope);
}

// Equal step counts per block, never across a segment boundary.
std::vector<Block> MakeBlocks(const std::vector<StepPoint>& points,
                              const std::vector<std::size_t>& segmentStarts) {
  const std::size_t perBlock = std::max(kMinStepsPerBlock, points.size() / kBlockCount);
  std::vector<Block> blocks;
  for (std::size_t s = 0; s < segmentStarts.size(); ++s) {
    const std::size_t begin = segmentStarts[s];
    const std::size_t end = s + 1 < segmentStarts.size() ? segmentStarts[s + 1] : points.size();
    const std::size_t count = end - begin;
    const std::size_t cut = std::max<std::size_t>(1, count / perBlock);
    for (std::size_t j = 0; j < cut; ++j) {
      blocks.push_back({begin + j * count / cut, begin + (j + 1) * count / cut, s});
    }
  }
  return blocks;
}

}  // namespace

RateFit::RateFit(double nominalRate) : nominalRate(nominalRate) {}

RateEstimate RateFit::Estimate() const {
  return EstimateOf(series.Points(), series.SegmentStarts(), nominalRate, delayWander);
}

RateEstimate RateFit::EstimateOf(const std::vector<StepPoint>& points,
                                 const std::vector<std::size_t>& segmentStarts, double nominalRate,
                                 double delayWander) {
  RateEstimate estimate;
  estimate.steps = points.size();
  if (points.size() < 2) return estimate;
  estimate.seconds = points.back().seconds - points.front().seconds;

  const std::size_t segmentCount = segmentStarts.size();
  // Start from the nominal slope; the first round's lows already land close to the envelope.
  const std::optional<Edge> edge =
      LowerEdge(points, MakeBlocks(points, segmentStarts), segmentCount, 1.0 / nominalRate);
  if (!edge) return estimate;
  const double slope = edge->line.slope;

  // A drift of the delay across the run tilts the line by as much as it moved over the frames.
  const double frameSpan = points.back().frames - points.front().frames;
  const double wander =
      WanderFactor(points, edge->blocks, edge->lows, segmentCount, slope, edge->dof);
  const double stdErr =
      std::hypot(edge->line.stdErr * wander, frameSpan > 0.0 ? delayWander / frameSpan : 0.0);
  const double half = StudentQuantile(kBandZ, static_cast<double>(edge->dof)) * stdErr;
  estimate.valid = true;
  estimate.blocks = edge->blocks.size();
  estimate.ratio = 1.0 / (nominalRate * slope);
  estimate.ppm = (estimate.ratio - 1.0) * 1e6;
  estimate.stdErrPpm = stdErr / slope * estimate.ratio * 1e6;
  // The band is symmetric in slope; in ratio its high end lies slightly farther out.
  estimate.bandLowPpm = (1.0 / (nominalRate * (slope + half)) - 1.0) * 1e6;
  estimate.bandHighPpm = slope > half ? (1.0 / (nominalRate * (slope - half)) - 1.0) * 1e6
                                      : std::numeric_limits<double>::infinity();
  return estimate;
}

}  // namespace veltrane
