#include "engine/fit/StepSeries.h"

#include <cmath>

namespace veltrane {

bool StepSeries::Add(double seconds, std::uint64_t frames) {
  if (!std::isfinite(seconds)) return false;
  if (points.empty()) {
    originSeconds = seconds;
    originFrames = frames;
    segmentStarts.assign(1, 0);
    pendingSegment = false;
    points.push_back({0.0, 0.0});
    return true;
  }
  // Signed difference, so a segment may restart below the first position after a loss.
  const StepPoint point{seconds - originSeconds,
                        static_cast<double>(static_cast<std::int64_t>(frames - originFrames))};
  if (pendingSegment) {
    segmentStarts.push_back(points.size());
    pendingSegment = false;
  } else if (point.frames <= points.back().frames) {
    return false;
  }
  points.push_back(point);
  return true;
}

}  // namespace veltrane
