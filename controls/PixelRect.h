#pragma once
// A rectangle of pixels as the drawing code counts them: right and bottom lie one past the
// last pixel, so the width is right - left. wxRect counts its right edge inclusively, which
// is why the numbers of the controls use this type and convert at the wx edge.

namespace veltrane {

struct PixelRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;

  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const PixelRect&) const = default;
};

struct PixelSize {
  int width = 0;
  int height = 0;
  bool operator==(const PixelSize&) const = default;
};

}  // namespace veltrane
