// Estimates how fast a sound device really delivers frames against the monotonic clock, from
// the instants at which its position counter was seen to step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/fit/StepSeries.h"

namespace veltrane {

struct RateEstimate {
  bool valid = false;        // enough data for an estimate
  double ratio = 1.0;        // real / nominal rate
  double ppm = 0.0;          // (ratio - 1) * 1e6
  double bandLowPpm = 0.0;   // band holding the truth in at least 95 % of runs, low end
  double bandHighPpm = 0.0;  // and high end
  double stdErrPpm = 0.0;    // standard error of ppm, from the scatter of the envelope points
  double seconds = 0.0;      // time span covered
  std::size_t steps = 0;     // position steps used
  std::size_t blocks = 0;    // envelope points (one per block) the fit rests on
};

// Minimum-delay fit of time seen against position. Every look can only be late, so the line is
// taken along the lower edge of the points: one lowest point per block of consecutive steps, a
// least-squares line through those, one common slope (the rate) and one offset per segment.
class RateFit {
 public:
  explicit RateFit(double nominalRate);

  // Time (seconds, monotonic) at which the position was seen to reach `frames`. Positions must
  // grow within a segment; a look that shows no new position is dropped and false is returned.
  bool AddStep(double seconds, std::uint64_t frames) { return series.Add(seconds, frames); }

  // The next step starts a segment with its own offset and the same rate, e.g. after frames were
  // lost. Harmless when the current segment is still empty.
  void BeginSegment() { series.BeginSegment(); }

  // How far the least delay between a step and our look may drift, slowly, over the run (one
  // standard deviation, seconds). A sound server's delivery does; a fit cannot tell such a drift
  // from a rate error, so the band allows for it on top of the scatter it sees.
  void AllowDelayWander(double seconds) { delayWander = seconds; }

  RateEstimate Estimate() const;
  // The same fit of points already gathered, each segment starting at its index in
  // `segmentStarts` (the first at 0), positions growing within each.
  static RateEstimate EstimateOf(const std::vector<StepPoint>& points,
                                 const std::vector<std::size_t>& segmentStarts, double nominalRate,
                                 double delayWander);

  std::size_t Steps() const { return series.Points().size(); }

  // A run of consecutive steps within one segment, [begin, end) in the order added.
  struct Block {
    std::size_t begin;
    std::size_t end;
    std::size_t segment;
  };

 private:
  double nominalRate;
  StepSeries series;
  double delayWander = 0.0;
};

}  // namespace veltrane
