#pragma once
// The artwork files as the build embeds them (artwork/EmbedFiles.cmake writes the bytes).
// The pictures themselves are drawn by artwork/make_artwork.py.

#include <cstddef>

namespace veltrane {

struct EmbeddedFile {
  const unsigned char* data;
  std::size_t size;
};

extern const EmbeddedFile kSkinPng;    // 853 x 400, 256 colours
extern const EmbeddedFile kIcon32Png;  // 32 x 32, 256 colours with transparency
extern const EmbeddedFile kIcon16Png;  // 16 x 16

}  // namespace veltrane
