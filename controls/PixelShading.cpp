#include "controls/PixelShading.h"

#include <algorithm>
#include <cmath>

namespace veltrane {
namespace {

// The radius of the quarter circle that shapes the frame, in factor units.
constexpr int kBevelRadius = 148;
// Subtracted so that the innermost rings come out close to 128, i.e. nearly unchanged.
constexpr double kBevelLift = 19.5;

void ShadePixel(RgbPixels pixels, int x, int y, int factor) {
  if (x < 0 || y < 0 || x >= pixels.width || y >= pixels.height) return;
  std::uint8_t* p = pixels.data + (static_cast<long>(y) * pixels.width + x) * 3;
  for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(std::min(255, p[c] * factor / 128));
}

}  // namespace

BevelFactors BevelRingFactors(int frameWidth, int ring) {
  if (frameWidth <= 0) return {};
  const int q = kBevelRadius - (kBevelRadius / frameWidth) * ring;
  const double x = static_cast<double>(q) / kBevelRadius;
  const int v = static_cast<int>(std::sin(std::acos(x)) * kBevelRadius - kBevelLift);
  return {std::max(0, v), std::max(0, 256 - v)};
}

void ShadeRing(RgbPixels pixels, const PixelRect& rect, int inset, int topLeft, int bottomRight) {
  const int l = rect.left;
  const int t = rect.top;
  const int r = rect.right;
  const int b = rect.bottom;
  const int d = inset;

  for (int x = (d == 0 ? l : l + 1); x <= r - d - 1; ++x) ShadePixel(pixels, x, t + d, topLeft);
  for (int y = t + 1; y <= b - d - 1; ++y) ShadePixel(pixels, l + d, y, topLeft);
  for (int y = t; y <= (d == 0 ? b : b - 2); ++y) ShadePixel(pixels, r - d - 1, y, bottomRight);
  for (int x = l; x <= r - 2; ++x) ShadePixel(pixels, x, b - d - 1, bottomRight);
}

void DrawBevelFrame(RgbPixels pixels, const PixelRect& rect, int frameWidth) {
  for (int ring = 1; ring < frameWidth; ++ring) {
    const BevelFactors f = BevelRingFactors(frameWidth, ring);
    ShadeRing(pixels, rect, ring - 1, f.topLeft, f.bottomRight);
  }
}

}  // namespace veltrane
