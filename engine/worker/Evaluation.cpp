#include "engine/worker/Evaluation.h"

#include <algorithm>
#include <vector>

#include "base/Text.h"

namespace veltrane {

float MedianOfLast(const float* values, int last) {
  if (last <= 0) return 0.0f;
  const int first = std::max(last - (kMedianSlots - 1), 0);
  const int count = last - first + 1;
  std::vector<float> sorted(values + first, values + last + 1);
  std::sort(sorted.begin(), sorted.end());
  if (count % 2 == 1) return sorted[static_cast<std::size_t>((count - 1) / 2)];
  return static_cast<float>((sorted[static_cast<std::size_t>(count / 2 - 1)] +
                             sorted[static_cast<std::size_t>(count / 2)]) *
                            0.5);
}

std::wstring CompensationText(float median, std::int32_t clockMethod) {
  const float compensation = (1 - median) * 100;
  return FormatText(L"Compensation: %.3f%%, method %d", static_cast<double>(compensation),
                    static_cast<int>(clockMethod));
}

namespace {

// Adds the interval since the previous report to the running mean and the median.
void AddInterval(Evaluation& e, double samples, double seconds, std::int32_t nominalRate,
                 MeasurementOutcome& outcome) {
  // Every partial result is kept as a float, as the stored value has always been made.
  e.measuredSeconds = static_cast<float>(e.measuredSeconds + (seconds - e.previousSeconds));
  e.lastRatio = static_cast<float>((samples - e.previousSamples) /
                                   (seconds - e.previousSeconds) / nominalRate);
  const int i = e.sampleIndex;
  const float product =
      i == 0 ? 0.0f : static_cast<float>(static_cast<float>(i) * e.runningMean[i - 1]);
  const float sum = product + e.lastRatio;
  e.runningMean[static_cast<std::size_t>(i)] = sum / static_cast<float>(i + 1);
  e.medianRing[static_cast<std::size_t>(e.ringIndex)] = e.runningMean[static_cast<std::size_t>(i)];
  e.ringIndex = (e.ringIndex + 1) % kMedianSlots;
  e.median = MedianOfLast(e.medianRing.data(), kMedianSlots - 1);
  outcome.intervalEvaluated = true;
  outcome.graphCount = i + 1;
  if (i < kRunningMeanSlots - 1) e.sampleIndex = i + 1;
  if (e.median != 0) {
    outcome.compensationChanged = true;
    outcome.compensationText = CompensationText(e.median, e.clockMethod);
  }
}

// The time left and the progress bar's position.
void ShowTimeLeft(const Evaluation& e, MeasurementOutcome& outcome) {
  const float remaining = kMeasurementSeconds - e.measuredSeconds;
  if (remaining <= 0) {
    outcome.progressPosition = kProgressMaximum;
    return;
  }
  const int hours = static_cast<int>(remaining / 3600);
  const int minutes = static_cast<int>((remaining - 3600 * hours) / 60);
  outcome.hours = hours;
  outcome.minutes = minutes;
  outcome.seconds = static_cast<int>(remaining - 3600 * hours - 60 * minutes);
  outcome.progressPosition =
      static_cast<int>(e.measuredSeconds * 9900 / (remaining + e.measuredSeconds) + 0.5) + 100;
}

}  // namespace

MeasurementOutcome EvaluateMeasurement(Evaluation& e, std::uint32_t wParam, std::int32_t lParam,
                                       std::int32_t nominalRate) {
  MeasurementOutcome outcome;
  const double samples = static_cast<double>(wParam);
  const double seconds = static_cast<double>(lParam) * 0.0001;

  if (seconds > 0) {
    if (e.previousSeconds > 0) AddInterval(e, samples, seconds, nominalRate, outcome);
    e.previousSamples = samples;
    e.previousSeconds = seconds;
    outcome.graphInvalidated = true;
  }
  ShowTimeLeft(e, outcome);

  if (e.median == 0) e.finishRequested = false;

  if (outcome.progressPosition >= kProgressMaximum || e.finishRequested) {
    e.finished = true;
    e.finishRequested = false;
    outcome.complete = true;
  }
  return outcome;
}

}  // namespace veltrane
