#include "controls/GraphGeometry.h"

#include <algorithm>
#include <cmath>

namespace veltrane {
namespace {

// Plots wider than this use every second column and a 2-pixel pen.
constexpr int kThinPenMaxWidthPixels = 400;
// Row offsets beyond this are far outside any control; limiting them keeps the conversion
// to int defined for huge or infinite values.
constexpr double kOffsetLimitPixels = 1e9;

int ColumnIndex(int column, int columns, int count) {
  const int k = static_cast<int>(static_cast<float>(column) / static_cast<float>(columns) *
                                 static_cast<float>(count));
  // Single-precision rounding must not step past the last value of a long array.
  return std::clamp(k, 0, std::max(count - 1, 0));
}

}  // namespace

SampledValues SampleValues(const float* values, int count, int columns) {
  SampledValues s;
  s.max = s.min = values[0];
  double sum = values[0];
  for (int i = 1; i < columns; ++i) {
    const int k = ColumnIndex(i, columns, count);
    const float v = values[k];
    if (v > s.max) {
      s.max = v;
      if (i < columns / 4) s.peakIndex = k;
    }
    if (v < s.min) s.min = v;
    sum += v;
  }
  s.mean = static_cast<float>(sum / static_cast<float>(columns));
  return s;
}

float AdaptGain(float gain, float sampledMax, float sampledMin, int plotHeight) {
  const float h = static_cast<float>(plotHeight);
  const float range = sampledMax - sampledMin;
  if (range != 0.0f && 0.05f * h > range * gain) gain = h / (range * 20.0f);
  if (sampledMax != 0.0f && sampledMax * gain > 0.33333334f * h) gain = h / (sampledMax * 3.0f);
  if (sampledMin != 0.0f && sampledMin * gain < -0.33333334f * h) {
    gain = h / (sampledMin * -3.0f);
  }
  return gain;
}

int ValueToY(int areaHeight, float value, float gain) {
  double y = areaHeight * 0.5 + 0.5 - value * gain;
  if (std::isnan(y)) y = areaHeight * 0.5 + 0.5;
  return static_cast<int>(std::clamp(y, -kOffsetLimitPixels, kOffsetLimitPixels));
}

int TracePenWidth(int areaWidth) { return areaWidth > kThinPenMaxWidthPixels ? 2 : 1; }

TracePlan PlanTrace(const PixelRect& area, const float* values, int count, float gain,
                    const GraphOptions& options) {
  TracePlan plan;
  plan.gain = gain;
  const int width = area.Width();
  if (values == nullptr || count < 1 || width < 0 || area.Height() < 0) return plan;

  const int columns = width + 1;
  const int height = area.Height();
  plan.penWidth = TracePenWidth(width);

  plan.sampled = SampleValues(values, count, columns);
  if (options.relativeToMean) {
    plan.sampled.max -= plan.sampled.mean;
    plan.sampled.min -= plan.sampled.mean;
  }
  if (options.autoGain) plan.gain = AdaptGain(gain, plan.sampled.max, plan.sampled.min, height);

  int first = 0;
  int plotted = count;
  if (options.triggerOnPeak) {
    first = plan.sampled.peakIndex;
    plotted = static_cast<int>(count * 0.75);
  }
  float reference = 0.0f;
  if (options.relativeToLast) {
    reference = values[count - 1];
  } else if (options.relativeToMean) {
    reference = plan.sampled.mean;
  }

  const int points = (columns + plan.penWidth - 1) / plan.penWidth;
  plan.shadow.reserve(points);
  plan.trace.reserve(points);
  for (int i = 0; i < columns; i += plan.penWidth) {
    const int k = std::min(first + ColumnIndex(i, columns, plotted), count - 1);
    const int y = area.top + ValueToY(height, values[k] - reference, plan.gain);
    plan.shadow.push_back({area.left + i - 1, std::clamp(y - 1, area.top, area.bottom)});
    plan.trace.push_back({area.left + i, std::clamp(y, area.top, area.bottom)});
  }
  return plan;
}

float RescaleGain(float gain, int oldHeight, int newHeight) {
  if (oldHeight <= 0) return gain;
  return static_cast<float>(newHeight) / static_cast<float>(oldHeight) * gain;
}

}  // namespace veltrane
