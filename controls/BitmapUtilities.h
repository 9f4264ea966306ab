#pragma once
// Pictures from files, fitted into a box, and the bevel frame of the skinned controls on
// wx images. The numbers behind both are in SkinGeometry.h and PixelShading.h.

#include <wx/bitmap.h>
#include <wx/image.h>

#include <string>

#include "PixelRect.h"

namespace veltrane {

// Reads the image file at path with every image handler wxWidgets has (BMP, PNG, JPEG,
// GIF, TIFF, ICO, ...) and fits it into maxWidth x maxHeight (both > 0) without distortion,
// never enlarging it. Invalid for a missing, unreadable or empty file, for data no
// handler recognises and for a PNG, JPEG, GIF or BMP whose header declares a picture far
// larger than a screen (PictureHeader.h), which is never decoded; shows no message. Needs
// no display. GUI thread.
wxImage LoadPictureImage(const std::wstring& path, int maxWidth, int maxHeight);

// LoadPictureImage as a new bitmap owned by the caller; wxNullBitmap where that image is
// invalid. The picture size is taken in pixels, as the image file gives it. Needs an
// initialised GUI. GUI thread.
wxBitmap LoadPictureFile(const std::wstring& path, int maxWidth, int maxHeight);

// Shades the sunken bevel frame of the given width into image, inside rect.
void DrawBevelFrame(wxImage& image, const PixelRect& rect, int frameWidth);

}  // namespace veltrane
