#include "PictureHeader.h"

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

}  // namespace

std::optional<PixelSize> ReadPictureSize(std::string_view bytes) {
  const Reader in(bytes);
  if (in.StartsWith("\x89PNG")) return PngSize(in);
  if (in.StartsWith("\xFF\xD8")) return JpegSize(in);
  if (in.StartsWith("GIF87a") || in.StartsWith("GIF89a")) return GifSize(in);
  if (in.StartsWith("BM")) return BmpSize(in);
  return std::nullopt;
}

bool IsPictureTooLarge(PixelSize size) {
  const std::int64_t width = size.width;
  const std::int64_t height = size.height;
  return width > kMaxPictureSidePixels || height > kMaxPictureSidePixels ||
         width * height > kMaxPicturePixels;
}

}  // namespace veltrane
