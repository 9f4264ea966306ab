// Picture loading into wx images. wxImage needs no display, so this runs
// without one.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/quantize.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>

#include "BitmapUtilities.h"
#include "PictureHeader.h"
#include "Text.h"

namespace veltrane {
namespace {

namespace fs = std::filesystem;

class LoadPictureImageTest : public testing::Test {
 protected:
  void SetUp() override {
    // The program's start-up adds every handler; BMP comes with wx's own initialisation.
    wxLogNull quiet;
    wxInitAllImageHandlers();
    if (wxImage::FindHandler(wxBITMAP_TYPE_BMP) == nullptr) wxImage::AddHandler(new wxBMPHandler);
    dir = fs::temp_directory_path() / ("veltrane_picture_" + std::to_string(getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::wstring Save(const std::string& name, int width, int height, wxBitmapType type) {
    wxImage image(width, height);
    image.SetRGB(wxRect(0, 0, width, height), 40, 160, 220);
    if (type == wxBITMAP_TYPE_GIF) {
      wxImage withPalette;  // GIF files hold palette pictures only
      wxQuantize::Quantize(image, withPalette, 64, nullptr, wxQUANTIZE_FILL_DESTINATION_IMAGE);
      image = withPalette;
    }
    const fs::path path = dir / name;
    EXPECT_TRUE(image.SaveFile(wxString::FromUTF8(path.string()), type));
    return FromUtf8(path.string());
  }

  std::wstring Write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return FromUtf8(path.string());
  }

  fs::path dir;
};

TEST_F(LoadPictureImageTest, WiderPicturesAreFittedIntoTheBox) {
  const wxImage png = LoadPictureImage(Save("wide.png", 1000, 500, wxBITMAP_TYPE_PNG), 500, 400);
  ASSERT_TRUE(png.IsOk());
  EXPECT_EQ(png.GetSize(), wxSize(500, 250));
  EXPECT_EQ(png.GetRed(250, 125), 40);
  EXPECT_EQ(png.GetGreen(250, 125), 160);

  const wxImage jpeg =
      LoadPictureImage(Save("square.jpg", 1000, 1000, wxBITMAP_TYPE_JPEG), 500, 400);
  ASSERT_TRUE(jpeg.IsOk());
  EXPECT_EQ(jpeg.GetSize(), wxSize(400, 400));
}

TEST_F(LoadPictureImageTest, SmallerPicturesKeepTheirSize) {
  const wxImage bmp = LoadPictureImage(Save("small.bmp", 300, 200, wxBITMAP_TYPE_BMP), 500, 400);
  ASSERT_TRUE(bmp.IsOk());
  EXPECT_EQ(bmp.GetSize(), wxSize(300, 200));
  EXPECT_EQ(bmp.GetBlue(10, 10), 220);

  const wxImage gif = LoadPictureImage(Save("small.gif", 120, 80, wxBITMAP_TYPE_GIF), 500, 400);
  ASSERT_TRUE(gif.IsOk());
  EXPECT_EQ(gif.GetSize(), wxSize(120, 80));
}

TEST_F(LoadPictureImageTest, TheFileTypeComesFromTheContentNotTheName) {
  const std::wstring path = Save("really a png.jpg", 60, 40, wxBITMAP_TYPE_PNG);
  EXPECT_EQ(LoadPictureImage(path, 500, 400).GetSize(), wxSize(60, 40));
}

TEST_F(LoadPictureImageTest, NonAsciiPathsAreFound) {
  const std::wstring path =
      Save("Bild \xc3\xa4\xc3\xb6 \xe2\x82\xac.png", 60, 40, wxBITMAP_TYPE_PNG);
  EXPECT_TRUE(LoadPictureImage(path, 500, 400).IsOk());
}

TEST_F(LoadPictureImageTest, NothingForFilesThatAreNoPicture) {
  EXPECT_FALSE(LoadPictureImage(FromUtf8((dir / "missing.png").string()), 500, 400).IsOk());
  EXPECT_FALSE(LoadPictureImage(Write("empty.png", ""), 500, 400).IsOk());
  EXPECT_FALSE(LoadPictureImage(Write("text.png", "not a picture at all"), 500, 400).IsOk());
  EXPECT_FALSE(LoadPictureImage(FromUtf8(dir.string()), 500, 400).IsOk());
  EXPECT_FALSE(LoadPictureImage(L"", 500, 400).IsOk());

  // A picture cut off after its header.
  const std::wstring whole = Save("cut.png", 200, 200, wxBITMAP_TYPE_PNG);
  std::ifstream in(ToUtf8(whole), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_FALSE(LoadPictureImage(Write("cut.png", bytes.substr(0, 40)), 500, 400).IsOk());
}

TEST_F(LoadPictureImageTest, PictureSizesAreReadFromTheHeadersAlone) {
  const auto read = [](const std::wstring& path) {
    std::ifstream in(ToUtf8(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  std::string gif = read(Save("screen.gif", 300, 200, wxBITMAP_TYPE_GIF));
  gif.replace(6, 4, std::string("\x01\0\x01\0", 4));  // a frame larger than its screen
  std::string twoFrames = read(Save("frames.gif", 300, 200, wxBITMAP_TYPE_GIF));
  twoFrames.pop_back();  // the trailer; a second frame of 20000 x 20000 follows
  twoFrames += std::string("\x2C\0\0\0\0\x20\x4E\x20\x4E\0\x02\0;", 14);
  const struct {
    std::string bytes;
    std::optional<PixelSize> size;
  } rows[] = {
      {read(Save("a.png", 300, 200, wxBITMAP_TYPE_PNG)), PixelSize{300, 200}},
      {read(Save("a.jpg", 300, 200, wxBITMAP_TYPE_JPEG)), PixelSize{300, 200}},
      {read(Save("a.gif", 300, 200, wxBITMAP_TYPE_GIF)), PixelSize{300, 200}},
      {read(Save("a.bmp", 300, 200, wxBITMAP_TYPE_BMP)), PixelSize{300, 200}},
      {gif, PixelSize{300, 200}},
      {twoFrames, PixelSize{20000, 20000}},
      {read(Save("cut.jpg", 300, 200, wxBITMAP_TYPE_JPEG)).substr(0, 20), std::nullopt},
      {read(Save("a.tif", 300, 200, wxBITMAP_TYPE_TIFF)), std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ReadPictureSize(row.bytes), row.size) << row.bytes.substr(0, 8);
  }
}

std::string BigEndian32(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
          static_cast<char>(n)};
}

std::string PngChunk(const std::string& type, const std::string& data) {
  const std::string body = type + data;
  const auto crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size());
  return BigEndian32(data.size()) + body + BigEndian32(crc);
}

// A valid black PNG of width x height one-bit grey pixels: a few kilobytes on disk, but
// three bytes a pixel once decoded.
std::string BlackPng(std::uint32_t width, std::uint32_t height) {
  const std::string rows(static_cast<std::size_t>((width + 7) / 8 + 1) * height, '\0');
  uLongf packedSize = compressBound(rows.size());
  std::string packed(packedSize, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
            reinterpret_cast<const Bytef*>(rows.data()), rows.size(), Z_BEST_COMPRESSION);
  packed.resize(packedSize);
  const std::string header = BigEndian32(width) + BigEndian32(height) + std::string("\x01\0\0\0\0", 5);
  return "\x89PNG\r\n\x1a\n" + PngChunk("IHDR", header) + PngChunk("IDAT", packed) +
         PngChunk("IEND", "");
}

long PeakMemoryKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(LoadPictureImageTest, APictureBombIsRefusedBeforeItIsDecoded) {
  const std::wstring path = Write("bomb.png", BlackPng(20000, 20000));
  const long peakBefore = PeakMemoryKiB();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(LoadPictureImage(path, 500, 400).IsOk());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_LT(PeakMemoryKiB() - peakBefore, 100 * 1024);
  // The same kind of file at a size a screen shows is a picture.
  EXPECT_TRUE(LoadPictureImage(Write("small.png", BlackPng(2000, 1000)), 500, 400).IsOk());
}

}  // namespace
}  // namespace veltrane
