#include "controls/PictureHeader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace veltrane {
namespace {

// No screen is that wide or high, and the picture box is a few hundred pixels: a picture
// beyond it on a side would be shrunk more than tenfold.
constexpr std::int64_t kMaxPictureSidePixels = 8192;
// About 100 MB and a second of decoding here (a 20000 x 20000 picture took 17 s and
// 1.27 GB); still takes the 6000 x 4000 photos of ordinary cameras and phones. A limit
// relative to the box (16 times its area is about 1.5 million pixels) would refuse an
// ordinary full-HD screenshot.
constexpr std::int64_t kMaxPicturePixels = 32'000'000;

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes(bytes) {}
  bool Has(std::size_t offset, std::size_t count) const {
    return offset <= bytes.size() && count <= bytes.size() - offset;
  }
  std::uint32_t Byte(std::size_t offset) const { return static_cast<unsigned char>(bytes[offset]); }
  std::uint32_t Big16(std::size_t at) const { return Byte(at) << 8 | Byte(at + 1); }
  std::uint32_t Big32(std::size_t at) const { return Big16(at) << 16 | Big16(at + 2); }
  std::uint32_t Little16(std::size_t at) const { return Byte(at) | Byte(at + 1) << 8; }
  std::uint32_t Little32(std::size_t at) const { return Little16(at) | Little16(at + 2) << 16; }
  bool StartsWith(std::string_view prefix) const { return bytes.substr(0, prefix.size()) == prefix; }

 private:
  std::string_view bytes;
};

// Sizes beyond int are reported as the largest int: too large in any case.
PixelSize Size(std::int64_t width, std::int64_t height) {
  const auto clamp = [](std::int64_t n) {
    return static_cast<int>(std::min<std::int64_t>(std::llabs(n), 0x7FFFFFFF));
  };
  return {clamp(width), clamp(height)};
}

std::optional<PixelSize> PngSize(const Reader& in) {
  if (!in.Has(0, 24) || !in.StartsWith(std::string_view("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16))) {
    return std::nullopt;
  }
  return Size(in.Big32(16), in.Big32(20));
}

bool IsJpegFrameHeader(std::uint32_t marker) {
  // SOF0..SOF15 except DHT (C4), JPG (C8) and DAC (CC).
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<PixelSize> JpegSize(const Reader& in) {
  std::size_t at = 2;
  while (in.Has(at, 4)) {
    if (in.Byte(at) != 0xFF) return std::nullopt;
    const std::uint32_t marker = in.Byte(at + 1);
    if (marker == 0xFF) {  // fill byte before a marker
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // markers without a length
      at += 2;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // scan or end before a frame
    if (IsJpegFrameHeader(marker)) {
      if (!in.Has(at, 9)) return std::nullopt;
      return Size(in.Big16(at + 7), in.Big16(at + 5));
    }
    at += 2 + in.Big16(at + 2);
  }
  return std::nullopt;
}

// Past a chain of sub-blocks that starts at at, each a length byte and that many bytes,
// ended by an empty one.
std::size_t SkipSubBlocks(const Reader& in, std::size_t at) {
  while (in.Has(at, 1) && in.Byte(at) != 0) at += 1 + in.Byte(at);
  return at + 1;
}

std::size_t ColourTableBytes(std::uint32_t flags) {
  return (flags & 0x80) ? 3u << ((flags & 0x07) + 1) : 0;
}

// The decoder reads every frame, so every frame counts.
std::optional<PixelSize> GifSize(const Reader& in) {
  if (!in.Has(0, 13)) return std::nullopt;
  std::int64_t width = in.Little16(6);
  std::int64_t height = in.Little16(8);
  bool frameSeen = false;
  std::size_t at = 13 + ColourTableBytes(in.Byte(10));
  while (in.Has(at, 2)) {
    if (in.Byte(at) == 0x21) {  // an extension
      at = SkipSubBlocks(in, at + 2);
    } else if (in.Byte(at) == 0x2C && in.Has(at, 10)) {  // a frame
      width = std::max<std::int64_t>(width, in.Little16(at + 5));
      height = std::max<std::int64_t>(height, in.Little16(at + 7));
      frameSeen = true;
      // Past the descriptor, the local colour table and the LZW code size to the data.
      at = SkipSubBlocks(in, at + 10 + ColourTableBytes(in.Byte(at + 9)) + 1);
    } else {
      break;  // the trailer, or damage the decoder will find
    }
  }
  if (!frameSeen) return std::nullopt;
  return Size(width, height);
}

std::optional<PixelSize> BmpSize(const Reader& in) {
  if (!in.Has(0, 26)) return std::nullopt;
  if (in.Little32(14) == 12) {  // the old OS/2 header with 16-bit sizes
    return Size(in.Little16(18), in.Little16(20));
  }
  // Height is negative for rows stored top-down.
  return Size(static_cast<std::int32_t>(in.Little32(18)), static_cast<std::int32_t>(in.Little32(22)));
}

// PNM as wxWidgets reads it: comment lines, "P" and the kind, the rest of that line skipped,
// comment lines, then width and height as words between blanks or line ends. Anything less
// plain (signs, letters, bytes the decoder's text reading might take otherwise) is refused.
class PnmHeader {
 public:
  explicit PnmHeader(std::string_view bytes) : bytes(bytes) {}

  std::optional<PixelSize> Size() {
    SkipComments();
    if (!Has(2) || bytes[at] != 'P' || std::string_view("2356").find(bytes[at + 1]) == std::string_view::npos) {
      return std::nullopt;
    }
    at += 2;
    if (!SkipLine()) return std::nullopt;
    SkipComments();
    const auto width = Word();
    const auto height = width ? Word() : std::nullopt;
    if (!height) return std::nullopt;
    return veltrane::Size(*width, *height);
  }

 private:
  bool Has(std::size_t count) const { return at <= bytes.size() && count <= bytes.size() - at; }
  static bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }
  static bool IsSeparator(char c) { return c == ' ' || c == '\t' || IsLineEnd(c); }

  // Past the next line end (CR, LF or CR LF); false at the end of the bytes or a NUL.
  bool SkipLine() {
    while (Has(1) && !IsLineEnd(bytes[at])) {
      if (bytes[at] == '\0') return false;
      ++at;
    }
    if (!Has(1)) return false;
    if (bytes[at] == '\r' && Has(2) && bytes[at + 1] == '\n') ++at;
    ++at;
    return true;
  }

  void SkipComments() {
    while (Has(1) && bytes[at] == '#' && SkipLine()) {
    }
  }

  // Decimal digits ended by a separator; ten digits already exceed any size taken.
  std::optional<std::int64_t> Word() {
    while (Has(1) && IsSeparator(bytes[at])) ++at;
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; Has(1) && bytes[at] >= '0' && bytes[at] <= '9'; ++at, ++digits) {
      if (digits < 10) value = value * 10 + (bytes[at] - '0');
    }
    if (digits == 0 || !Has(1) || !IsSeparator(bytes[at])) return std::nullopt;
    return digits > 10 ? std::int64_t{0x7FFFFFFF} : value;
  }

  std::string_view bytes;
  std::size_t at = 0;
};

// The decoder takes the last column and row minus the first plus one, as unsigned: a last
// before the first wraps to billions.
std::optional<PixelSize> PcxSize(const Reader& in) {
  if (!in.Has(0, 128)) return std::nullopt;
  const auto side = [&](std::size_t first) {
    const std::int64_t n = std::int64_t{in.Little16(first + 4)} - in.Little16(first) + 1;
    return n > 0 ? n : std::int64_t{0x7FFFFFFF};
  };
  return Size(side(4), side(6));
}

// The first directory's width and length tags, which the decoder takes for its raster.
std::optional<PixelSize> TiffSize(const Reader& in) {
  if (!in.Has(0, 8)) return std::nullopt;
  const bool big = in.Byte(0) == 'M';
  const auto u16 = [&](std::size_t at) { return big ? in.Big16(at) : in.Little16(at); };
  const auto u32 = [&](std::size_t at) { return big ? in.Big32(at) : in.Little32(at); };
  const std::size_t directory = u32(4);
  if (!in.Has(directory, 2)) return std::nullopt;
  const std::size_t entries = u16(directory);
  std::optional<std::int64_t> width;
  std::optional<std::int64_t> height;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::size_t entry = directory + 2 + 12 * i;
    if (!in.Has(entry, 12)) return std::nullopt;
    const std::uint32_t tag = u16(entry);
    if (tag != 256 && tag != 257) continue;
    const std::uint32_t type = u16(entry + 2);
    if ((type != 3 && type != 4) || u32(entry + 4) != 1) return std::nullopt;
    const std::int64_t value = type == 3 ? u16(entry + 8) : u32(entry + 8);
    (tag == 256 ? width : height) = value;
  }
  if (!width || !height) return std::nullopt;
  return Size(*width, *height);
}

// TGA has no signature: the header must be one the decoder takes and a kind it decodes
// (colour-mapped, true-colour or grey, plain or run-length packed).
std::optional<PixelSize> TgaSize(const Reader& in) {
  if (!in.Has(0, 18) || in.Byte(1) > 1) return std::nullopt;
  const std::uint32_t kind = in.Byte(2);
  const std::uint32_t bits = in.Byte(16);
  if ((kind & ~8u) < 1 || (kind & ~8u) > 3) return std::nullopt;
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return std::nullopt;
  return Size(in.Little16(12), in.Little16(14));
}

std::optional<PictureHeader> WithFormat(PictureFormat format, std::optional<PixelSize> size) {
  if (!size) return std::nullopt;
  return PictureHeader{format, *size};
}

}  // namespace

std::optional<PictureHeader> ReadPictureHeader(std::string_view bytes) {
  const Reader in(bytes);
  if (in.StartsWith("\x89PNG")) return WithFormat(PictureFormat::Png, PngSize(in));
  if (in.StartsWith("\xFF\xD8")) return WithFormat(PictureFormat::Jpeg, JpegSize(in));
  if (in.StartsWith("GIF87a") || in.StartsWith("GIF89a")) {
    return WithFormat(PictureFormat::Gif, GifSize(in));
  }
  if (in.StartsWith("BM")) return WithFormat(PictureFormat::Bmp, BmpSize(in));
  if (in.StartsWith(std::string_view("II*\0", 4)) || in.StartsWith(std::string_view("MM\0*", 4))) {
    return WithFormat(PictureFormat::Tiff, TiffSize(in));
  }
  if (in.StartsWith("P") || in.StartsWith("#")) {
    if (auto size = PnmHeader(bytes).Size()) return PictureHeader{PictureFormat::Pnm, *size};
  }
  if (in.StartsWith("\x0A")) return WithFormat(PictureFormat::Pcx, PcxSize(in));
  return WithFormat(PictureFormat::Tga, TgaSize(in));
}

bool IsPictureTooLarge(PixelSize size) {
  const std::int64_t width = size.width;
  const std::int64_t height = size.height;
  return width > kMaxPictureSidePixels || height > kMaxPictureSidePixels ||
         width * height > kMaxPicturePixels;
}

}  // namespace veltrane
