#pragma once
// Pictures from files, fitted into a box, and the bevel frame of the skinned controls on
// wx images. The numbers behind both are in SkinGeometry.h and PixelShading.h.

#include <wx/bitmap.h>
#include <wx/image.h>

#include <string>

#include "controls/PixelRect.h"

namespace veltrane {

// Reads the picture file at path (PNG, JPEG, GIF, BMP, PNM, PCX, TIFF or TGA: the formats
// whose size PictureHeader.h reads) and fits it into maxWidth x maxHeight (both > 0)
// without distortion, never enlarging it. Invalid for a missing, unreadable, empty or
// larger than kMaxPictureFileBytes file, for another format and for a header that declares
// a picture far larger than a screen, which is never decoded; shows no message, traces
// why. Needs no display. GUI thread.
wxImage LoadPictureImage(const std::wstring& path, int maxWidth, int maxHeight);

// LoadPictureImage as a new bitmap owned by the caller; wxNullBitmap where that image is
// invalid. The picture size is taken in pixels, as the image file gives it. Needs an
// initialised GUI. GUI thread.
wxBitmap LoadPictureFile(const std::wstring& path, int maxWidth, int maxHeight);

// Shades the sunken bevel frame of the given width into image, inside rect.
void DrawBevelFrame(wxImage& image, const PixelRect& rect, int frameWidth);

}  // namespace veltrane
