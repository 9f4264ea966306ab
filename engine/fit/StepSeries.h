#pragma once
// The steps a rate fit is given: the time each position was seen against the position, both
// relative to the first step, and where each segment (a stretch with an offset of its own)
// begins. No wxWidgets.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane {

struct StepPoint {
  double seconds;  // relative to the first step, keeps ppm-level differences exact
  double frames;   // relative to the first step; may fall below it at a segment start
};

class StepSeries {
 public:
  // Positions must grow within a segment: a look that shows no new position, or a time that is
  // not a number, is dropped and false is returned.
  bool Add(double seconds, std::uint64_t frames);
  // The next step starts a segment; harmless while the current one is still empty.
  void BeginSegment() {
    if (!points.empty()) pendingSegment = true;
  }
  const std::vector<StepPoint>& Points() const { return points; }
  const std::vector<std::size_t>& SegmentStarts() const { return segmentStarts; }

 private:
  double originSeconds = 0.0;
  std::uint64_t originFrames = 0;
  std::vector<StepPoint> points;
  std::vector<std::size_t> segmentStarts;  // index of each segment's first point
  bool pendingSegment = false;
};

}  // namespace veltrane
