#include <gtest/gtest.h>

#include <vector>

#include "controls/PixelShading.h"

namespace veltrane {
namespace {

// A buffer of width x height pixels, every channel of every pixel set to value.
struct Buffer {
  Buffer(int w, int h, std::uint8_t value) : width(w), height(h), bytes(w * h * 3, value) {}
  RgbPixels Pixels() { return {bytes.data(), width, height}; }
  int At(int x, int y, int channel = 0) const { return bytes[(y * width + x) * 3 + channel]; }
  void Set(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    bytes[(y * width + x) * 3] = r;
    bytes[(y * width + x) * 3 + 1] = g;
    bytes[(y * width + x) * 3 + 2] = b;
  }
  int width;
  int height;
  std::vector<std::uint8_t> bytes;
};

TEST(BevelRingFactorsTest, WidthSixAndWidthEight) {
  const int six[][2] = {{61, 195}, {89, 167}, {107, 149}, {119, 137}, {125, 131}};
  for (int ring = 1; ring < 6; ++ring) {
    const BevelFactors f = BevelRingFactors(6, ring);
    EXPECT_EQ(f.topLeft, six[ring - 1][0]) << "ring " << ring;
    EXPECT_EQ(f.bottomRight, six[ring - 1][1]) << "ring " << ring;
  }
  const int eight[][2] = {{51, 205},  {77, 179},  {94, 162}, {107, 149},
                          {116, 140}, {122, 134}, {126, 130}};
  for (int ring = 1; ring < 8; ++ring) {
    const BevelFactors f = BevelRingFactors(8, ring);
    EXPECT_EQ(f.topLeft, eight[ring - 1][0]) << "ring " << ring;
    EXPECT_EQ(f.bottomRight, eight[ring - 1][1]) << "ring " << ring;
  }
}

TEST(BevelRingFactorsTest, VeryWideFramesDoNotGoBelowZero) {
  EXPECT_EQ(BevelRingFactors(80, 1).topLeft, 0);
  EXPECT_EQ(BevelRingFactors(200, 3).topLeft, 0);
}

TEST(ShadeRingTest, OuterRingCoversExactlyTheseEdges) {
  // Halve the top and left edges, double the right and bottom edges of a 10 x 8 buffer.
  Buffer b(10, 8, 100);
  ShadeRing(b.Pixels(), {0, 0, 10, 8}, 0, 64, 256);
  for (int x = 0; x <= 8; ++x) EXPECT_EQ(b.At(x, 0), 50) << "top, column " << x;
  EXPECT_EQ(b.At(9, 0), 100) << "top, then right";
  for (int y = 1; y <= 6; ++y) EXPECT_EQ(b.At(0, y), 50) << "left, row " << y;
  EXPECT_EQ(b.At(0, 7), 100) << "left, then bottom";
  for (int y = 1; y <= 7; ++y) EXPECT_EQ(b.At(9, y), 200) << "right, row " << y;
  for (int x = 1; x <= 8; ++x) EXPECT_EQ(b.At(x, 7), 200) << "bottom, column " << x;
  for (int y = 1; y <= 6; ++y) {
    for (int x = 1; x <= 8; ++x) EXPECT_EQ(b.At(x, y), 100) << x << "," << y;
  }
}

TEST(ShadeRingTest, InnerRingRanges) {
  Buffer b(10, 8, 100);
  ShadeRing(b.Pixels(), {0, 0, 10, 8}, 1, 64, 256);
  EXPECT_EQ(b.At(0, 1), 100) << "the top edge of an inner ring starts one column in";
  EXPECT_EQ(b.At(1, 1), 25) << "top, then left";
  EXPECT_EQ(b.At(5, 1), 50);
  EXPECT_EQ(b.At(8, 1), 100) << "top, then right";
  EXPECT_EQ(b.At(9, 1), 100) << "outside the ring";
  EXPECT_EQ(b.At(8, 0), 200) << "the right edge starts at the top row";
  EXPECT_EQ(b.At(1, 5), 50);
  EXPECT_EQ(b.At(1, 6), 100) << "left, then bottom";
  EXPECT_EQ(b.At(0, 6), 200) << "the bottom edge starts at the left column";
  EXPECT_EQ(b.At(8, 6), 255) << "right, then bottom, clamped";
  EXPECT_EQ(b.At(8, 7), 100) << "the right edge of an inner ring ends two rows up";
  EXPECT_EQ(b.At(9, 6), 100) << "the bottom edge ends two columns in";
}

TEST(ShadeRingTest, TheRightEdgeReachesTheRowBelowTheRectangle) {
  Buffer b(10, 8, 100);
  ShadeRing(b.Pixels(), {0, 0, 10, 6}, 0, 128, 256);
  EXPECT_EQ(b.At(9, 6), 200);
  EXPECT_EQ(b.At(9, 7), 100);
  EXPECT_EQ(b.At(5, 6), 100);
}

TEST(ShadeRingTest, PixelsOutsideTheBufferAreSkipped) {
  Buffer b(4, 3, 100);
  ShadeRing(b.Pixels(), {-2, -2, 8, 6}, 0, 64, 256);
  EXPECT_EQ(b.bytes, std::vector<std::uint8_t>(4 * 3 * 3, 100));
}

TEST(DrawBevelFrameTest, OuterTopLeftRingTimes61Over128) {
  Buffer b(40, 20, 0);
  b.Set(20, 0, 200, 100, 50);  // top edge, outer ring only
  b.Set(0, 10, 255, 128, 1);   // left edge, outer ring only
  DrawBevelFrame(b.Pixels(), {0, 0, 40, 20}, 6);
  EXPECT_EQ(b.At(20, 0, 0), 200 * 61 / 128);
  EXPECT_EQ(b.At(20, 0, 1), 100 * 61 / 128);
  EXPECT_EQ(b.At(20, 0, 2), 50 * 61 / 128);
  EXPECT_EQ(b.At(0, 10, 0), 255 * 61 / 128);
  EXPECT_EQ(b.At(0, 10, 1), 128 * 61 / 128);
  EXPECT_EQ(b.At(0, 10, 2), 0);
}

TEST(DrawBevelFrameTest, OuterBottomRightRingBrightensAndClamps) {
  Buffer b(40, 20, 100);
  DrawBevelFrame(b.Pixels(), {0, 0, 40, 20}, 6);
  EXPECT_EQ(b.At(20, 19), 100 * 195 / 128);
  EXPECT_EQ(b.At(39, 10), 100 * 195 / 128);
  // One ring further in: 167/128, and the middle is untouched.
  EXPECT_EQ(b.At(20, 18), 100 * 167 / 128);
  EXPECT_EQ(b.At(20, 10), 100);
  EXPECT_EQ(b.At(2, 10), 100 * 107 / 128);
}

TEST(DrawBevelFrameTest, WhiteStaysWhiteAndBlackStaysBlackOnTheirEdges) {
  Buffer white(30, 20, 255);
  DrawBevelFrame(white.Pixels(), {0, 0, 30, 20}, 8);
  for (int x = 1; x < 28; ++x) EXPECT_EQ(white.At(x, 19), 255) << x;
  for (int y = 1; y < 19; ++y) EXPECT_EQ(white.At(29, y), 255) << y;
  Buffer black(30, 20, 0);
  DrawBevelFrame(black.Pixels(), {0, 0, 30, 20}, 8);
  EXPECT_EQ(black.bytes, std::vector<std::uint8_t>(30 * 20 * 3, 0));
}

TEST(DrawBevelFrameTest, WidthOneOrLessDrawsNothing) {
  for (int width : {1, 0, -3}) {
    Buffer b(10, 10, 100);
    DrawBevelFrame(b.Pixels(), {0, 0, 10, 10}, width);
    EXPECT_EQ(b.bytes, std::vector<std::uint8_t>(10 * 10 * 3, 100)) << width;
  }
}

}  // namespace
}  // namespace veltrane
