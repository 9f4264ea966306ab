#pragma once
// The sunken bevel frame of the skinned controls, shaded pixel by pixel on a plain RGB
// buffer (three bytes per pixel, rows packed, as wxImage::GetData holds them). No
// wxWidgets here, so the factors and the exact ring ranges are tested without a display.

#include <cstdint>

#include "controls/PixelRect.h"

namespace veltrane {

struct RgbPixels {
  std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
};

// Factors of one ring, in 128ths: below 128 darkens, above brightens.
struct BevelFactors {
  int topLeft = 128;
  int bottomRight = 128;
};

// Factors of ring `ring` (1 ... frameWidth - 1, drawn at inset ring - 1). The shading
// follows a quarter circle of radius 148, so it falls off like a curved edge. Factors that
// very wide frames would drive below 0 are held at 0.
BevelFactors BevelRingFactors(int frameWidth, int ring);

// Multiplies every channel of one ring's pixels by factor/128, clamped to 255: the top and
// left edges by topLeft, then the right and bottom edges by bottomRight. A pixel on two
// edges is shaded twice; pixels outside the buffer are skipped.
void ShadeRing(RgbPixels pixels, const PixelRect& rect, int inset, int topLeft, int bottomRight);

// Shades frameWidth - 1 rings inside rect, outermost strongest: dark top-left, bright
// bottom-right, a sunken frame. A width of 1 or less draws nothing.
void DrawBevelFrame(RgbPixels pixels, const PixelRect& rect, int frameWidth);

}  // namespace veltrane
