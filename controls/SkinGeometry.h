#pragma once
// Where a skinned control draws: its inner area, grid lines, overlay text, marquee step and
// the fitting of pictures. Plain numbers without wxWidgets, so they are tested headlessly;
// CSkinCtrl and LoadPictureFile only draw what these functions return.

#include <vector>

#include "controls/PixelRect.h"

namespace veltrane {

// Alignment bits of the overlay text. Right and Centre pick the horizontal anchor, Bottom
// the vertical one; VerticalCentre is this control's own flag and centres the text's cell
// in the area.
namespace TextAlign {
inline constexpr unsigned Left = 0;
inline constexpr unsigned Right = 2;
inline constexpr unsigned Centre = 6;
inline constexpr unsigned Top = 0;
inline constexpr unsigned Bottom = 8;
inline constexpr unsigned VerticalCentre = 0x10;
}  // namespace TextAlign

// Appended to a scrolling text before it is doubled, so that the copy following it on the
// left keeps a visible gap.
inline constexpr const wchar_t* kMarqueeGap = L"       ";

// The control's client rectangle shrunk by half the frame width on every side: the bevel
// frame shades what lies outside it.
PixelRect InnerRect(const PixelRect& client, int frameWidth);

// Pixel rows (or columns) of `lines` grid lines spread evenly between start and end. The
// step is a single-precision float added up line by line, so rounding matches the drawing.
std::vector<int> GridLinePositions(int start, int end, int lines);

// Text cell height in pixels: fontSize is in tenths of a pixel at referenceHeight, and the
// text grows and shrinks with the control.
int TextHeightPixels(int clientHeight, int fontSize, int referenceHeight);

// A text scrolls when it is wider than the area; exactly as wide still fits.
bool IsTextTooWide(int textWidth, const PixelRect& area);

// The marquee offset after a full period (text plus gap) has gone by: back to 0, which looks
// the same because the drawn string holds the text twice.
int WrapScrollOffset(int scrollOffset, int period);

// Pixels the marquee moves per 20 ms step: the control's width in 5 seconds, at least 1.
int ScrollStepPixels(int clientWidth);

// Top-left corner of the text cell (textWidth x textHeight) for the alignment bits. The
// horizontal anchor keeps a margin of half the frame width inside the area; a text that is
// too wide starts at scrollOffset and is drawn left-aligned whatever the bits say.
struct TextOrigin {
  int left = 0;
  int top = 0;
};
TextOrigin PlaceText(const PixelRect& area, int margin, unsigned align, int textWidth,
                     int textHeight, bool tooWide, int scrollOffset);

// The size of a picture fitted into a box without distortion and never enlarged. The width
// is limited first; a picture that is then still too high is limited by height, starting
// again from its own size. Never less than one pixel in each direction.
PixelSize FitPicture(PixelSize picture, PixelSize box);

}  // namespace veltrane
