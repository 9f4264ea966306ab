#pragma once
// The pixel size a picture file declares in its header, read without decoding it, so that a
// small file that decodes to an enormous picture (a "picture bomb") can be refused before it
// freezes the start for seconds and takes gigabytes. Pure functions without wxWidgets; any
// thread.

#include <optional>
#include <string_view>

#include "PixelRect.h"

namespace veltrane {

// The size declared by a PNG (IHDR), JPEG (first frame header), GIF (the largest of the
// logical screen and every frame) or BMP header; nullopt for other formats and for a
// header cut short, which are then left to the decoder.
std::optional<PixelSize> ReadPictureSize(std::string_view bytes);

// True when a picture of that size is too large to decode for showing it in the dialog.
bool IsPictureTooLarge(PixelSize size);

}  // namespace veltrane
