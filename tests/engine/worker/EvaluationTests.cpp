#include "engine/worker/Evaluation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "base/Text.h"

namespace veltrane {
namespace {

constexpr std::int32_t kRate = 44100;

// Reports of a device at ratio × nominal rate, every `interval` seconds from the reference.
struct ReportSource {
  double ratio = 1.0;
  double interval = 2.0;
  int next = 1;

  MeasurementOutcome Next(Evaluation& evaluation) {
    const double seconds = interval * next++;
    const auto samples = static_cast<std::uint32_t>(seconds * kRate * ratio);
    const auto tenths = static_cast<std::int32_t>(seconds * 10000);
    return EvaluateMeasurement(evaluation, samples, tenths, kRate);
  }
};

std::wstring TimeText(const MeasurementOutcome& outcome) {
  return FormatText(L"%02d:%02d:%02d", outcome.hours, outcome.minutes, outcome.seconds);
}

TEST(EvaluationTest, WarmUpReportsEvaluateNothingAndShowTheFullTime) {
  Evaluation evaluation;
  for (int i = 0; i < 2; ++i) {
    const MeasurementOutcome outcome = EvaluateMeasurement(evaluation, 0, 0, kRate);
    EXPECT_FALSE(outcome.intervalEvaluated);
    EXPECT_FALSE(outcome.graphInvalidated);
    EXPECT_EQ(TimeText(outcome), L"00:05:00");
    EXPECT_EQ(outcome.progressPosition, 100);
    EXPECT_FALSE(outcome.complete);
  }
  EXPECT_EQ(evaluation.previousSeconds, 0.0);
}

TEST(EvaluationTest, FirstPositiveReportOnlyPrimes) {
  Evaluation evaluation;
  ReportSource source;
  const MeasurementOutcome outcome = source.Next(evaluation);
  EXPECT_FALSE(outcome.intervalEvaluated);
  EXPECT_TRUE(outcome.graphInvalidated);
  EXPECT_EQ(evaluation.measuredSeconds, 0.0f);
  EXPECT_DOUBLE_EQ(evaluation.previousSeconds, 2.0);
  EXPECT_EQ(evaluation.sampleIndex, 0);
  EXPECT_EQ(outcome.progressPosition, 100);
}

TEST(EvaluationTest, MedianStaysZeroForSevenIntervalsThenShowsCompensation) {
  Evaluation evaluation;
  evaluation.clockMethod = 1;
  ReportSource source;
  source.Next(evaluation);
  for (int interval = 1; interval <= 7; ++interval) {
    const MeasurementOutcome outcome = source.Next(evaluation);
    EXPECT_TRUE(outcome.intervalEvaluated);
    EXPECT_EQ(outcome.graphCount, interval);
    EXPECT_EQ(evaluation.median, 0.0f) << "interval " << interval;
    EXPECT_FALSE(outcome.compensationChanged);
  }
  const MeasurementOutcome eighth = source.Next(evaluation);
  EXPECT_EQ(evaluation.median, 1.0f);
  ASSERT_TRUE(eighth.compensationChanged);
  EXPECT_EQ(eighth.compensationText, L"Compensation: 0.000%, method 1");
}

TEST(EvaluationTest, SlowDeviceShowsItsCompensationAndStoresItsRatio) {
  Evaluation evaluation;
  evaluation.clockMethod = 2;
  ReportSource source{0.999};
  MeasurementOutcome outcome;
  for (int i = 0; i < 20; ++i) outcome = source.Next(evaluation);
  EXPECT_EQ(outcome.compensationText, L"Compensation: 0.100%, method 2");
  EXPECT_EQ(FormatText(L"%f", static_cast<double>(evaluation.median)), L"0.999000");
}

TEST(EvaluationTest, CompletesAfterThreeHundredSeconds) {
  Evaluation evaluation;
  ReportSource source;
  source.Next(evaluation);
  MeasurementOutcome outcome;
  int reports = 0;
  do {
    outcome = source.Next(evaluation);
    ++reports;
    ASSERT_LE(reports, 150);
    if (!outcome.complete) {
      EXPECT_LT(outcome.progressPosition, 10000);
    }
  } while (!outcome.complete);
  EXPECT_EQ(reports, 150);
  EXPECT_EQ(outcome.progressPosition, 10000);
  EXPECT_EQ(TimeText(outcome), L"00:00:00");
  EXPECT_TRUE(evaluation.finished);
  EXPECT_FLOAT_EQ(evaluation.measuredSeconds, 300.0f);
}

TEST(EvaluationTest, ProgressMovesWithTheMeasuredTime) {
  Evaluation evaluation;
  ReportSource source{1.0, 30.0};
  source.Next(evaluation);
  const MeasurementOutcome outcome = source.Next(evaluation);  // 30 s of 300
  EXPECT_EQ(outcome.progressPosition, 100 + 990);
  EXPECT_EQ(TimeText(outcome), L"00:04:30");
}

TEST(EvaluationTest, EndKeyIsForgottenWithoutAResultAndFinishesWithOne) {
  Evaluation evaluation;
  ReportSource source;
  source.Next(evaluation);
  evaluation.finishRequested = true;
  EXPECT_FALSE(source.Next(evaluation).complete);
  EXPECT_FALSE(evaluation.finishRequested);

  for (int i = 0; i < 7; ++i) source.Next(evaluation);
  ASSERT_NE(evaluation.median, 0.0f);
  evaluation.finishRequested = true;
  EXPECT_TRUE(source.Next(evaluation).complete);
  EXPECT_TRUE(evaluation.finished);
  EXPECT_FALSE(evaluation.finishRequested);
}

TEST(EvaluationTest, SampleIndexStopsAtTheLastSlot) {
  Evaluation evaluation;
  ReportSource source{1.0, 0.5};
  source.Next(evaluation);
  for (int i = 0; i < 10005; ++i) source.Next(evaluation);
  EXPECT_EQ(evaluation.sampleIndex, 9999);
  EXPECT_FLOAT_EQ(evaluation.runningMean[9999], 1.0f);
}

TEST(EvaluationTest, RunningMeanAveragesAllIntervals) {
  Evaluation evaluation;
  // Intervals at ratios 1.0 and then 0.998: the mean of the two is 0.999.
  EvaluateMeasurement(evaluation, 44100 * 2, 20000, kRate);
  EvaluateMeasurement(evaluation, 44100 * 4, 40000, kRate);
  EvaluateMeasurement(evaluation, 44100 * 4 + static_cast<std::uint32_t>(2 * 44100 * 0.998),
                      60000, kRate);
  EXPECT_FLOAT_EQ(evaluation.runningMean[0], 1.0f);
  EXPECT_NEAR(evaluation.runningMean[1], 0.999f, 1e-5);
  EXPECT_EQ(evaluation.ringIndex, 2);
}

TEST(MedianOfLastTest, OddEvenAndShortRuns) {
  const float values[] = {5, 1, 4, 2, 3, 9, 8, 7, 6, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(MedianOfLast(values, 0), 0.0f);
  EXPECT_EQ(MedianOfLast(values, -3), 0.0f);
  EXPECT_EQ(MedianOfLast(values, 2), 4.0f);       // 5 1 4
  EXPECT_EQ(MedianOfLast(values, 3), 3.0f);       // 5 1 4 2: (2 + 4) / 2
  EXPECT_EQ(MedianOfLast(values, 14), 8.0f);      // all fifteen of 1..15
  EXPECT_EQ(MedianOfLast(values, 15), 9.0f);      // the last fifteen: 1..16 without 5
}

}  // namespace
}  // namespace veltrane
