#include <gtest/gtest.h>

#include "controls/SkinGeometry.h"

namespace veltrane {
namespace {

// The graph control of the dialog: 598 x 96 pixels with a 6-pixel frame.
constexpr PixelRect kGraphClient{0, 0, 598, 96};
constexpr PixelRect kGraphArea{3, 3, 595, 93};

TEST(InnerRectTest, ShrinksByHalfTheFrameOnEverySide) {
  EXPECT_EQ(InnerRect(kGraphClient, 6), kGraphArea);
  EXPECT_EQ(InnerRect(kGraphClient, 8), (PixelRect{4, 4, 594, 92}));
  EXPECT_EQ(InnerRect(kGraphClient, 7), kGraphArea);
  EXPECT_EQ(InnerRect(kGraphClient, 0), kGraphClient);
}

TEST(GridLinePositionsTest, TwoRowsAndNineColumnsOnTheGraphArea) {
  EXPECT_EQ(GridLinePositions(kGraphArea.top, kGraphArea.bottom, 2), (std::vector<int>{33, 63}));
  // Steps of 59.2 pixels, each position rounded to the nearest pixel.
  EXPECT_EQ(GridLinePositions(kGraphArea.left, kGraphArea.right, 9),
            (std::vector<int>{62, 121, 181, 240, 299, 358, 417, 477, 536}));
}

TEST(GridLinePositionsTest, HalfPixelsRoundUpAndNoLinesGiveNone) {
  EXPECT_EQ(GridLinePositions(0, 3, 1), (std::vector<int>{2}));
  EXPECT_TRUE(GridLinePositions(0, 100, 0).empty());
}

TEST(TextHeightPixelsTest, ScalesWithTheClientHeightAgainstTheReference) {
  EXPECT_EQ(TextHeightPixels(96, 140, 96), 14);
  EXPECT_EQ(TextHeightPixels(192, 140, 96), 28);
  EXPECT_EQ(TextHeightPixels(48, 140, 96), 7);
  EXPECT_EQ(TextHeightPixels(96, 140, 48), 28);
  EXPECT_EQ(TextHeightPixels(96, 140, 0), 0);
}

TEST(IsTextTooWideTest, ExactlyAsWideStaysStillOnePixelMoreScrolls) {
  EXPECT_FALSE(IsTextTooWide(592, kGraphArea));
  EXPECT_TRUE(IsTextTooWide(593, kGraphArea));
  EXPECT_FALSE(IsTextTooWide(0, kGraphArea));
}

TEST(PlaceTextTest, HorizontalAnchorsKeepHalfTheFrameAsMargin) {
  const TextOrigin right = PlaceText(kGraphArea, 3, TextAlign::Right, 200, 14, false, 0);
  EXPECT_EQ(right.left + 200, kGraphArea.right - 3);
  EXPECT_EQ(right.top, kGraphArea.top);
  EXPECT_EQ(PlaceText(kGraphArea, 3, TextAlign::Left, 200, 14, false, 0).left, 6);
  EXPECT_EQ(PlaceText(kGraphArea, 3, TextAlign::Centre, 200, 14, false, 0).left, 3 + 296 - 100);
  // Bit 4 alone is not a centre: the text stays left.
  EXPECT_EQ(PlaceText(kGraphArea, 3, 4, 200, 14, false, 0).left, 6);
}

TEST(PlaceTextTest, VerticalAnchors) {
  EXPECT_EQ(PlaceText(kGraphArea, 3, TextAlign::Bottom, 50, 14, false, 0).top, 93 - 14);
  EXPECT_EQ(PlaceText(kGraphArea, 3, TextAlign::VerticalCentre, 50, 14, false, 0).top,
            3 + (90 - 14) / 2);
  EXPECT_EQ(
      PlaceText(kGraphArea, 3, TextAlign::Bottom | TextAlign::VerticalCentre, 50, 14, false, 0).top,
      93 - 14);
}

TEST(PlaceTextTest, ATooWideTextStartsAtTheScrollOffsetWhateverTheAlignment) {
  const TextOrigin origin =
      PlaceText(kGraphArea, 3, TextAlign::Right | TextAlign::Bottom, 1400, 14, true, -17);
  EXPECT_EQ(origin.left, -17);
  EXPECT_EQ(origin.top, 93 - 14);
  EXPECT_EQ(PlaceText(kGraphArea, 3, TextAlign::Centre, 1400, 14, true, 0).left, 0);
}

TEST(WrapScrollOffsetTest, JumpsBackAfterOneFullPeriod) {
  EXPECT_EQ(WrapScrollOffset(0, 700), 0);
  EXPECT_EQ(WrapScrollOffset(-699, 700), -699);
  EXPECT_EQ(WrapScrollOffset(-700, 700), 0);
  EXPECT_EQ(WrapScrollOffset(-703, 700), 0);
}

TEST(ScrollStepPixelsTest, TheWidthInFiveSecondsButAtLeastOnePixel) {
  EXPECT_EQ(ScrollStepPixels(598), 2);
  EXPECT_EQ(ScrollStepPixels(2500), 10);
  EXPECT_EQ(ScrollStepPixels(250), 1);
  EXPECT_EQ(ScrollStepPixels(249), 1);
  EXPECT_EQ(ScrollStepPixels(10), 1);
  EXPECT_EQ(ScrollStepPixels(0), 1);
}

TEST(FitPictureTest, LimitsWidthThenHeightAndNeverEnlarges) {
  const PixelSize box{500, 400};
  EXPECT_EQ(FitPicture({1000, 500}, box), (PixelSize{500, 250}));
  EXPECT_EQ(FitPicture({1000, 1000}, box), (PixelSize{400, 400}));
  EXPECT_EQ(FitPicture({300, 200}, box), (PixelSize{300, 200}));
  EXPECT_EQ(FitPicture({20, 10}, box), (PixelSize{20, 10}));
}

TEST(FitPictureTest, ExactlyAsWideIsScaledAndMayThenBeLimitedByHeight) {
  EXPECT_EQ(FitPicture({500, 300}, {500, 400}), (PixelSize{500, 300}));
  EXPECT_EQ(FitPicture({500, 800}, {500, 400}), (PixelSize{250, 400}));
}

TEST(FitPictureTest, TheHeightLimitStartsFromThePicturesOwnSize) {
  // From the first result it would be 500 * 400 / 1000 = 200 wide; from the picture's own
  // size it is 999 * 400 / 1999 = 199.
  EXPECT_EQ(FitPicture({999, 1999}, {500, 400}), (PixelSize{199, 400}));
  // Narrower than the box but too high: limited by height alone.
  EXPECT_EQ(FitPicture({300, 900}, {500, 400}), (PixelSize{133, 400}));
}

TEST(FitPictureTest, HugeAndThinPicturesStayUsable) {
  EXPECT_EQ(FitPicture({100000, 100000}, {30000, 30000}), (PixelSize{30000, 30000}));
  EXPECT_EQ(FitPicture({10000, 1}, {500, 400}), (PixelSize{500, 1}));
}

}  // namespace
}  // namespace veltrane
