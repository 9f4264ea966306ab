// The embedded artwork: present, of the sizes the controls and the dialog expect, and in
// 256 colours. Decoding needs no display.
#include "controls/Resources.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "controls/EmbeddedArtwork.h"

namespace veltrane {
namespace {

struct PngHeader {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitDepth = 0;
  int colourType = 0;
};

std::uint32_t BigEndian(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

PngHeader ReadHeader(const EmbeddedFile& file) {
  static const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  PngHeader header;
  if (file.size < 29 || !std::equal(signature, signature + 8, file.data)) return header;
  header.width = BigEndian(file.data + 16);
  header.height = BigEndian(file.data + 20);
  header.bitDepth = file.data[24];
  header.colourType = file.data[25];
  return header;
}

constexpr int kPaletteColourType = 3;

TEST(EmbeddedArtworkTest, PalettePicturesOfTheExpectedSizes) {
  const PngHeader skin = ReadHeader(kSkinPng);
  EXPECT_EQ(skin.width, 853u);
  EXPECT_EQ(skin.height, 400u);
  EXPECT_EQ(skin.bitDepth, 8);
  EXPECT_EQ(skin.colourType, kPaletteColourType);

  const PngHeader big = ReadHeader(kIcon32Png);
  EXPECT_EQ(big.width, 32u);
  EXPECT_EQ(big.height, 32u);
  EXPECT_EQ(big.colourType, kPaletteColourType);
  const PngHeader small = ReadHeader(kIcon16Png);
  EXPECT_EQ(small.width, 16u);
  EXPECT_EQ(small.colourType, kPaletteColourType);
}

TEST(LoadResourceImageTest, DecodesTheSkinAndNothingForOtherIds) {
  const wxImage skin = LoadResourceImage(kSkinBitmapId);
  ASSERT_TRUE(skin.IsOk());
  EXPECT_EQ(skin.GetSize(), wxSize(853, 400));
  // A dark panel: the top-left part that the graph shows is dark but not black.
  const int level = skin.GetRed(100, 40) + skin.GetGreen(100, 40) + skin.GetBlue(100, 40);
  EXPECT_GT(level, 30);
  EXPECT_LT(level, 3 * 110);

  EXPECT_FALSE(LoadResourceImage(0).IsOk());
  EXPECT_FALSE(LoadResourceImage(kAppIconId).IsOk());
}

}  // namespace
}  // namespace veltrane
