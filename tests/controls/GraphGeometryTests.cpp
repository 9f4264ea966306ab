#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "controls/GraphGeometry.h"

namespace veltrane {
namespace {

// The dialog's graph: 592 x 90 pixels of plot inside a 6-pixel frame.
constexpr PixelRect kGraphArea{3, 3, 595, 93};

GraphOptions RelativeToLast() {
  GraphOptions options;
  options.relativeToLast = true;
  return options;
}

TEST(ValueToYTest, MiddleRowForTheReferenceAndLargerValuesHigher) {
  EXPECT_EQ(ValueToY(90, 0.0f, 2000.0f), 45);
  EXPECT_EQ(ValueToY(90, 0.0025f, 2000.0f), 40);
  EXPECT_EQ(ValueToY(90, -0.0025f, 2000.0f), 50);
  EXPECT_EQ(ValueToY(91, 0.0f, 2000.0f), 46);
}

TEST(ValueToYTest, HugeAndInvalidValuesStayDefined) {
  EXPECT_LT(ValueToY(90, 1e30f, 2000.0f), -1000);
  EXPECT_GT(ValueToY(90, -1e30f, 2000.0f), 1000);
  EXPECT_EQ(ValueToY(90, std::numeric_limits<float>::quiet_NaN(), 1.0f), 45);
}

TEST(PlanTraceTest, RelativeToLastPutsTheLatestValueOnTheMiddleRow) {
  const std::vector<float> values{1.0025f, 1.0f};
  const TracePlan plan = PlanTrace(kGraphArea, values.data(), 2, 2000.0f, RelativeToLast());
  ASSERT_FALSE(plan.trace.empty());
  // The first half of the columns shows the older value, 0.0025 above the latest.
  EXPECT_EQ(plan.trace.front().y, kGraphArea.top + 40);
  EXPECT_EQ(plan.trace.back().y, kGraphArea.top + 45);
  EXPECT_EQ(plan.shadow.back().y, kGraphArea.top + 44);
}

TEST(PlanTraceTest, ShadowLiesOnePixelUpAndLeftOfTheTrace) {
  std::vector<float> values(50);
  for (int i = 0; i < 50; ++i) values[i] = 0.001f * (i % 7);
  const TracePlan plan = PlanTrace(kGraphArea, values.data(), 50, 2000.0f, RelativeToLast());
  ASSERT_EQ(plan.shadow.size(), plan.trace.size());
  for (std::size_t i = 0; i < plan.trace.size(); ++i) {
    EXPECT_EQ(plan.shadow[i], (TracePoint{plan.trace[i].x - 1, plan.trace[i].y - 1})) << i;
  }
}

TEST(PlanTraceTest, WideAreasUseEverySecondColumnWithAWiderPen) {
  const float one = 1.0f;
  const TracePlan wide = PlanTrace(kGraphArea, &one, 1, 2000.0f, {});
  EXPECT_EQ(wide.penWidth, 2);
  EXPECT_EQ(wide.trace.size(), 297u);
  EXPECT_EQ(wide.trace.front().x, 3);
  EXPECT_EQ(wide.trace[1].x, 5);
  EXPECT_EQ(wide.trace.back().x, 595);

  const TracePlan narrow = PlanTrace({0, 0, 400, 90}, &one, 1, 2000.0f, {});
  EXPECT_EQ(narrow.penWidth, 1);
  EXPECT_EQ(narrow.trace.size(), 401u);
  EXPECT_EQ(narrow.trace.back().x, 400);

  EXPECT_EQ(PlanTrace({0, 0, 401, 90}, &one, 1, 2000.0f, {}).trace.size(), 201u);
}

TEST(PlanTraceTest, ASingleValueIsAHorizontalLine) {
  const float value = 0.5f;
  const TracePlan plan = PlanTrace(kGraphArea, &value, 1, 10.0f, {});
  for (const TracePoint& p : plan.trace) EXPECT_EQ(p.y, kGraphArea.top + 40);
}

TEST(PlanTraceTest, ValuesFarOutsideAreClampedToTheAreaRows) {
  const std::vector<float> values{50.0f, -50.0f, 0.0f};
  const TracePlan plan = PlanTrace(kGraphArea, values.data(), 3, 2000.0f, RelativeToLast());
  EXPECT_EQ(plan.trace.front().y, kGraphArea.top);
  EXPECT_EQ(plan.shadow.front().y, kGraphArea.top);
  const TracePoint& low = plan.trace[plan.trace.size() / 2];
  EXPECT_EQ(low.y, kGraphArea.bottom);
  EXPECT_EQ(plan.shadow[plan.trace.size() / 2].y, kGraphArea.bottom);
}

TEST(PlanTraceTest, ShortArraysAreStretchedLongOnesThinnedOut) {
  std::vector<float> values(10000);
  for (int i = 0; i < 10000; ++i) values[i] = static_cast<float>(i);
  const PixelRect area{0, 0, 99, 2000};  // 100 columns
  const TracePlan plan = PlanTrace(area, values.data(), 10000, 0.1f, {});
  ASSERT_EQ(plan.trace.size(), 100u);
  // Column i shows value (int)(i / 100 * 10000): a step of 100 values, 10 rows.
  EXPECT_EQ(plan.trace[0].y - plan.trace[1].y, 10);
  EXPECT_EQ(plan.trace[98].y - plan.trace[99].y, 10);
  EXPECT_EQ(plan.sampled.max, 9900.0f);
}

TEST(PlanTraceTest, NothingToPlot) {
  const float value = 1.0f;
  EXPECT_TRUE(PlanTrace(kGraphArea, nullptr, 5, 1.0f, {}).trace.empty());
  EXPECT_TRUE(PlanTrace(kGraphArea, &value, 0, 1.0f, {}).trace.empty());
  EXPECT_TRUE(PlanTrace({10, 10, 5, 20}, &value, 1, 1.0f, {}).trace.empty());
}

// 64 values over 64 columns: column i reads value i exactly.
std::vector<float> PeakValues() {
  std::vector<float> values(64, 0.0f);
  values[5] = 3.0f;   // the largest in the first quarter of the columns
  values[20] = 5.0f;  // larger, but too late to be a trigger
  return values;
}

TEST(SampleValuesTest, ExtremesMeanAndThePeakOfTheFirstQuarter) {
  const std::vector<float> values = PeakValues();
  const SampledValues s = SampleValues(values.data(), 64, 64);
  EXPECT_EQ(s.max, 5.0f);
  EXPECT_EQ(s.min, 0.0f);
  EXPECT_FLOAT_EQ(s.mean, 8.0f / 64.0f);
  EXPECT_EQ(s.peakIndex, 5);
}

TEST(PlanTraceTest, TriggerOnPeakStartsAtThePeakAndShowsThreeQuarters) {
  const std::vector<float> values = PeakValues();
  const PixelRect area{0, 0, 63, 40};
  GraphOptions options;
  options.triggerOnPeak = true;
  const TracePlan triggered = PlanTrace(area, values.data(), 64, 1.0f, options);
  EXPECT_EQ(triggered.trace[0].y, 17);  // value 3
  // Column i reads value 5 + (int)(i * 48 / 64): value 20 shows in column 20.
  EXPECT_EQ(triggered.trace[20].y, 15);

  const TracePlan plain = PlanTrace(area, values.data(), 64, 1.0f, {});
  EXPECT_EQ(plain.trace[0].y, 20);
}

TEST(PlanTraceTest, RelativeToMeanShiftsTheValuesAndTheExtremes) {
  const std::vector<float> values = PeakValues();
  GraphOptions options;
  options.relativeToMean = true;
  const TracePlan plan = PlanTrace({0, 0, 63, 40}, values.data(), 64, 8.0f, options);
  EXPECT_EQ(plan.trace[0].y, 21);  // (0 - 0.125) * 8 = one row below the middle
  EXPECT_FLOAT_EQ(plan.sampled.max, 5.0f - 0.125f);
  EXPECT_FLOAT_EQ(plan.sampled.min, -0.125f);

  // Relative to the last value wins over relative to the mean.
  options.relativeToLast = true;
  EXPECT_EQ(PlanTrace({0, 0, 63, 40}, values.data(), 64, 8.0f, options).trace[0].y, 20);
}

TEST(AdaptGainTest, ASmallSpreadIsStretchedToATwentiethOfTheHeight) {
  EXPECT_FLOAT_EQ(AdaptGain(1.0f, 0.01f, -0.01f, 90), 90.0f / (0.02f * 20.0f));
  // Already large enough: unchanged.
  EXPECT_FLOAT_EQ(AdaptGain(1000.0f, 0.01f, -0.01f, 90), 1000.0f);
}

TEST(AdaptGainTest, TheTestsRunInOrderEachFromTheGainBefore) {
  // The spread test raises the gain to 450, which pushes the maximum above a third of the
  // height; the maximum test then brings it down to 30. In the other order it would be 450.
  EXPECT_FLOAT_EQ(AdaptGain(1.0f, 1.0f, 0.99f, 90), 30.0f);
  // A minimum below minus a third is pulled back to minus a third.
  EXPECT_FLOAT_EQ(AdaptGain(100.0f, -1.0f, -2.0f, 90), 15.0f);
}

TEST(AdaptGainTest, EqualValuesSkipTheSpreadAndZerosChangeNothing) {
  EXPECT_EQ(AdaptGain(0.0f, 0.0f, 0.0f, 90), 0.0f);
  EXPECT_EQ(AdaptGain(0.0f, 2.0f, 2.0f, 90), 0.0f);
  EXPECT_FLOAT_EQ(AdaptGain(100.0f, 2.0f, 2.0f, 90), 15.0f);
}

TEST(PlanTraceTest, AutoGainAdaptsOnlyWhenOn) {
  const std::vector<float> values{0.01f, -0.01f};
  GraphOptions options;
  EXPECT_EQ(PlanTrace(kGraphArea, values.data(), 2, 1.0f, options).gain, 1.0f);
  options.autoGain = true;
  EXPECT_FLOAT_EQ(PlanTrace(kGraphArea, values.data(), 2, 1.0f, options).gain, 225.0f);
}

TEST(RescaleGainTest, GrowingThePlotFrom90To180RowsDoublesTheGain) {
  EXPECT_FLOAT_EQ(RescaleGain(2000.0f, 90, 180), 4000.0f);
  EXPECT_FLOAT_EQ(RescaleGain(2000.0f, 180, 90), 1000.0f);
  EXPECT_FLOAT_EQ(RescaleGain(2000.0f, 90, 135), 3000.0f);
  EXPECT_FLOAT_EQ(RescaleGain(2000.0f, 0, 90), 2000.0f);
}

}  // namespace
}  // namespace veltrane
