#pragma once
// Turns the worker's reports into the calibration result: the ratio of the real to the
// nominal rate per interval, its running mean, the median of the latest 15 running means,
// the time left and the progress, and whether the run is complete. Plain arithmetic without
// wxWidgets; the dialog shows what it returns. Dialog's thread.

#include <array>
#include <cstdint>
#include <string>

namespace veltrane {

constexpr int kRunningMeanSlots = 10000;
constexpr int kMedianSlots = 15;
constexpr float kMeasurementSeconds = 300.0f;
constexpr int kProgressMaximum = 10000;

// The evaluation's state, zero before the first report.
struct Evaluation {
  double previousSamples = 0.0;
  double previousSeconds = 0.0;
  float measuredSeconds = 0.0f;
  float lastRatio = 0.0f;
  std::array<float, kRunningMeanSlots> runningMean{};
  std::int32_t sampleIndex = 0;
  std::array<float, kMedianSlots> medianRing{};
  std::int32_t ringIndex = 0;
  float median = 0.0f;
  std::int32_t clockMethod = 0;
  bool finishRequested = false;
  bool finished = false;
};

// What one report changes on the screen.
struct MeasurementOutcome {
  bool intervalEvaluated = false;  // the graph gets runningMean[0..graphCount-1]
  int graphCount = 0;
  bool compensationChanged = false;  // compensationText is new
  std::wstring compensationText;
  bool graphInvalidated = false;     // a report with a positive time: repaint the graph
  int hours = 0, minutes = 0, seconds = 0;  // time left
  int progressPosition = 0;
  bool complete = false;  // store the median and end with success
};

// Evaluates one report: samples since the reference (unsigned) and the time since it in
// tenths of a millisecond (signed). On completion sets finished and clears finishRequested.
MeasurementOutcome EvaluateMeasurement(Evaluation& evaluation, std::uint32_t wParam,
                                       std::int32_t lParam, std::int32_t nominalRate);

// The median of up to 15 values ending at values[last]; 0 when last <= 0.
float MedianOfLast(const float* values, int last);

// "Compensation: %.3f%%, method %d".
std::wstring CompensationText(float median, std::int32_t clockMethod);

}  // namespace veltrane
