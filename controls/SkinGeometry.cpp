#include "controls/SkinGeometry.h"

#include <algorithm>
#include <cstdint>

namespace veltrane {

PixelRect InnerRect(const PixelRect& client, int frameWidth) {
  const int margin = frameWidth / 2;
  return {client.left + margin, client.top + margin, client.right - margin, client.bottom - margin};
}

std::vector<int> GridLinePositions(int start, int end, int lines) {
  std::vector<int> positions;
  if (lines <= 0) return positions;
  const float step = static_cast<float>(end - start) / static_cast<float>(lines + 1);
  float p = static_cast<float>(start) + step;
  for (int i = 0; i < lines; ++i) {
    positions.push_back(static_cast<int>(p + 0.5f));
    p += step;
  }
  return positions;
}

int TextHeightPixels(int clientHeight, int fontSize, int referenceHeight) {
  if (referenceHeight <= 0) return 0;
  return clientHeight * fontSize / (referenceHeight * 10);
}

bool IsTextTooWide(int textWidth, const PixelRect& area) { return textWidth > area.Width(); }

int WrapScrollOffset(int scrollOffset, int period) {
  return scrollOffset <= -period ? 0 : scrollOffset;
}

int ScrollStepPixels(int clientWidth) {
  const int step = clientWidth * 20 / 5000;
  return step > 0 ? step : 1;
}

TextOrigin PlaceText(const PixelRect& area, int margin, unsigned align, int textWidth,
                     int textHeight, bool tooWide, int scrollOffset) {
  TextOrigin origin;
  if (tooWide) {
    origin.left = scrollOffset;
  } else if ((align & TextAlign::Centre) == TextAlign::Centre) {
    origin.left = area.left + area.Width() / 2 - textWidth / 2;
  } else if (align & TextAlign::Right) {
    origin.left = area.right - margin - textWidth;
  } else {
    origin.left = area.left + margin;
  }

  if (align & TextAlign::Bottom) {
    origin.top = area.bottom - textHeight;
  } else if (align & TextAlign::VerticalCentre) {
    origin.top = area.top + (area.Height() - textHeight) / 2;
  } else {
    origin.top = area.top;
  }
  return origin;
}

PixelSize FitPicture(PixelSize picture, PixelSize box) {
  // 64-bit products: a large picture times a large box overflows an int.
  const std::int64_t w = picture.width;
  const std::int64_t h = picture.height;
  std::int64_t cx = w;
  std::int64_t cy = h;
  if (w >= box.width && w > 0) {
    cx = box.width;
    cy = h * box.width / w;
  }
  if (cy > box.height && h > 0) {
    cy = box.height;
    cx = w * box.height / h;
  }
  return {static_cast<int>(std::max<std::int64_t>(cx, 1)),
          static_cast<int>(std::max<std::int64_t>(cy, 1))};
}

}  // namespace veltrane
