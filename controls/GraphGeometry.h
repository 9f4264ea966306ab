#pragma once
// The numbers of the graph control's plot: which values are picked for which column, how
// the gain adapts, on which row a value lands and which points the shadow and trace lines
// pass through. Plain functions without wxWidgets; CGraphCtrl draws the points they return.

#include <vector>

#include "controls/PixelRect.h"

namespace veltrane {

struct GraphOptions {
  bool autoGain = false;
  bool relativeToLast = false;
  bool relativeToMean = false;
  bool triggerOnPeak = false;
};

// What one pass over the columns met: the extremes, the mean, and the index of the largest
// value met in the first quarter of the columns (0 when none rose above the first value).
struct SampledValues {
  float max = 0.0f;
  float min = 0.0f;
  float mean = 0.0f;
  int peakIndex = 0;
};

// Picks values[(int)(i / columns * count)] for every column i. count and columns are >= 1.
SampledValues SampleValues(const float* values, int count, int columns);

// The automatic gain for a plot plotHeight pixels high, three tests in this order, each
// starting from the gain the one before left: a spread smaller than a twentieth of the
// height is stretched to a twentieth; then a maximum above a third of the height and a
// minimum below minus a third are pulled back to a third.
float AdaptGain(float gain, float sampledMax, float sampledMin, int plotHeight);

// Row offset from the top of the area of a value already taken relative to its reference:
// 0 lies on the middle row, larger values higher. Not clamped.
int ValueToY(int areaHeight, float value, float gain);

// Wide plots use every second column with a pen twice as wide, which halves the points.
int TracePenWidth(int areaWidth);

struct TracePoint {
  int x = 0;
  int y = 0;
  bool operator==(const TracePoint&) const = default;
};

// One paint's plot: the points of the shadow pass and of the trace pass, the pen width,
// the gain after adaption and what the sampling met.
struct TracePlan {
  int penWidth = 1;
  float gain = 0.0f;
  SampledValues sampled;
  std::vector<TracePoint> shadow;
  std::vector<TracePoint> trace;
};

// Plans the plot of values[0 .. count-1] over area with the current gain. The trace points
// are clamped to the rows area.top ... area.bottom; the shadow lies one pixel up and to the
// left of the trace and is clamped the same way. Empty when there is nothing to plot.
TracePlan PlanTrace(const PixelRect& area, const float* values, int count, float gain,
                    const GraphOptions& options);

// The gain that keeps the plot's size relative to the control when its area height changes
// from oldHeight to newHeight; unchanged while no earlier height is known.
float RescaleGain(float gain, int oldHeight, int newHeight);

}  // namespace veltrane
