#pragma once
// The format and pixel size a picture file declares in its header, read without decoding
// it, so that a small file that decodes to an enormous picture (a "picture bomb") can be
// refused before it freezes the start for seconds and takes gigabytes. Only the formats
// read here are handed to a decoder, each to its own. Pure functions without wxWidgets;
// any thread.

#include <cstdint>
#include <optional>
#include <string_view>

#include "controls/PixelRect.h"

namespace veltrane {

enum class PictureFormat { Png, Jpeg, Gif, Bmp, Pnm, Pcx, Tiff, Tga };

struct PictureHeader {
  PictureFormat format;
  PixelSize size;
  bool operator==(const PictureHeader&) const = default;
};

// The format and size declared by a PNG (IHDR), JPEG (first frame header), GIF (the largest
// of the logical screen and every frame), BMP, PNM (P2, P3, P5, P6 as wxWidgets reads them),
// PCX, TIFF (first directory) or TGA header. nullopt for other formats (icons, XPM, IFF) and
// for headers cut short or written so that the decoder might read another size: such files
// are not decoded at all.
std::optional<PictureHeader> ReadPictureHeader(std::string_view bytes);

// True when a picture of that size is too large to decode for showing it in the dialog.
bool IsPictureTooLarge(PixelSize size);

// The largest picture file read at all. The largest picture decoded (IsPictureTooLarge) as
// a 24-bit BMP, the least packed of the formats, is 96 MB: a larger file is not a picture
// worth showing, and reading it would cost its whole size in memory first.
constexpr std::int64_t kMaxPictureFileBytes = 100 * 1024 * 1024;

}  // namespace veltrane
