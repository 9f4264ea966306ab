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

#include "controls/BitmapUtilities.h"
#include "controls/PictureHeader.h"
#include "base/Text.h"
#include "support/Trace.h"

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
  int reasons = 0;
  SetTraceListener([&](const TraceLine& line) {
    reasons += line.message.starts_with(L"Picture not shown: ") ? 1 : 0;
  });
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
  SetTraceListener({});
  EXPECT_EQ(reasons, 6);
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

std::string Little16(std::uint32_t n) { return {static_cast<char>(n), static_cast<char>(n >> 8)}; }
std::string Little32(std::uint32_t n) { return Little16(n) + Little16(n >> 16); }

// An uncompressed 8-bit grey TIFF of one strip; a file far smaller than its pixels holds
// only the header and a few bytes, as a picture bomb does.
std::string GreyTiff(std::uint32_t width, std::uint32_t height) {
  const std::uint32_t pixels = width * height <= 60000 ? width * height : 16;
  const auto entry = [](std::uint32_t tag, std::uint32_t type, std::uint32_t value) {
    return Little16(tag) + Little16(type) + Little32(1) + Little32(value);
  };
  const std::uint32_t data = 8 + 2 + 9 * 12 + 4;
  return std::string("II*\0", 4) + Little32(8) + Little16(9) + entry(256, 4, width) +
         entry(257, 4, height) + entry(258, 3, 8) + entry(259, 3, 1) + entry(262, 3, 1) +
         entry(273, 4, data) + entry(277, 3, 1) + entry(278, 4, height) +
         entry(279, 4, width * height) + Little32(0) + std::string(pixels, '\x80');
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Every format that wxWidgets decodes, at a size a screen shows and declaring 20000 x 20000
// in a file of a few kilobytes. The formats whose size is not read are never decoded.
TEST_F(LoadPictureImageTest, EveryFormatIsRefusedWhenItDeclaresTooManyPixels) {
  const auto read = [](const std::wstring& path) {
    std::ifstream in(ToUtf8(path), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  };
  const auto saved = [&](const char* name, wxBitmapType type) {
    return read(Save(name, 300, 200, type));
  };
  const auto at = [](std::string bytes, std::size_t offset, const std::string& field) {
    return bytes.replace(offset, field.size(), field);
  };
  const std::string jpeg = saved("a.jpg", wxBITMAP_TYPE_JPEG);
  const std::size_t frame = jpeg.find("\xFF\xC0");
  const std::string gif = saved("a.gif", wxBITMAP_TYPE_GIF);
  const std::size_t gifFrame = gif.find(std::string("\x2C\0\0\0\0", 5));
  const std::string huge = "\x20\x4E\x20\x4E";  // 20000 x 20000, little-endian
  using PF = PictureFormat;
  const struct {
    const char* what;
    std::string small;
    std::string bomb;
    std::optional<PictureFormat> format;
  } rows[] = {
      {"png", BlackPng(300, 200), BlackPng(20000, 20000), PF::Png},
      {"jpeg", jpeg, at(jpeg, frame + 5, "\x4E\x20\x4E\x20"), PF::Jpeg},
      {"gif", gif, at(at(gif, 6, huge), gifFrame + 5, huge), PF::Gif},
      {"bmp", saved("a.bmp", wxBITMAP_TYPE_BMP),
       at(saved("a.bmp", wxBITMAP_TYPE_BMP), 18, Little32(20000) + Little32(20000)), PF::Bmp},
      {"ppm", saved("a.ppm", wxBITMAP_TYPE_PNM),
       Replace(saved("a.ppm", wxBITMAP_TYPE_PNM), "300 200", "20000 20000"), PF::Pnm},
      {"pgm", "# grey\nP2\n# made by hand\n3 2\n255\n0 1 2 3 4 5\n",
       "P5\n# made by hand\r\n20000\t20000\n255\n", PF::Pnm},
      {"pcx", saved("a.pcx", wxBITMAP_TYPE_PCX),
       at(saved("a.pcx", wxBITMAP_TYPE_PCX), 8, Little16(19999) + Little16(19999)), PF::Pcx},
      {"tiff", GreyTiff(300, 200), GreyTiff(20000, 20000), PF::Tiff},
      {"tga", saved("a.tga", wxBITMAP_TYPE_TGA),
       at(saved("a.tga", wxBITMAP_TYPE_TGA), 12, huge), PF::Tga},
      {"xpm", saved("a.xpm", wxBITMAP_TYPE_XPM),
       Replace(saved("a.xpm", wxBITMAP_TYPE_XPM), "300 200", "20000 20000"), std::nullopt},
      {"ico", read(Save("a.ico", 32, 32, wxBITMAP_TYPE_ICO)), read(Save("a.ico", 32, 32, wxBITMAP_TYPE_ICO)),
       std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const PixelSize small = row.what == std::string("pgm") ? PixelSize{3, 2} : PixelSize{300, 200};
    const auto header = ReadPictureHeader(row.small);
    EXPECT_EQ(header, row.format ? std::optional(PictureHeader{*row.format, small}) : std::nullopt);
    const wxImage image = LoadPictureImage(Write(row.what, row.small), 500, 400);
    EXPECT_EQ(image.IsOk(), row.format.has_value());
    if (image.IsOk()) {
      EXPECT_EQ(image.GetSize(), wxSize(small.width, small.height));
    }

    if (row.format) {
      EXPECT_EQ(ReadPictureHeader(row.bomb),
                std::optional(PictureHeader{*row.format, PixelSize{20000, 20000}}));
    }
    const std::wstring bomb = Write(std::string(row.what) + "-bomb", row.bomb);
    const long peakBefore = PeakMemoryKiB();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LoadPictureImage(bomb, 500, 400).IsOk());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_LT(PeakMemoryKiB() - peakBefore, 100 * 1024);
  }

  // Headers the decoder reads otherwise than plainly are not decoded, whatever they say.
  for (const std::string& odd : {std::string("P6 300 200 255\n"), std::string("P6\n-3 2\n255\n"),
                                 std::string("P6\n300x200\n"), GreyTiff(300, 200).substr(0, 40)}) {
    EXPECT_EQ(ReadPictureHeader(odd), std::nullopt) << odd;
  }
  // A GIF frame larger than its screen, or a second frame, is what the decoder allocates.
  std::string second = gif;
  second.pop_back();  // the trailer
  second += std::string("\x2C\0\0\0\0\x20\x4E\x20\x4E\0\x02\0;", 14);
  EXPECT_EQ(ReadPictureHeader(second), std::optional(PictureHeader{PF::Gif, {20000, 20000}}));
  EXPECT_EQ(ReadPictureHeader(at(gif, 6, std::string("\x01\0\x01\0", 4))),
            std::optional(PictureHeader{PF::Gif, {300, 200}}));
}

TEST_F(LoadPictureImageTest, AHugeFileIsNotReadAtAll) {
  const fs::path sparse = dir / "sparse.bmp";
  std::ofstream(sparse, std::ios::binary) << "BM";
  fs::resize_file(sparse, std::uintmax_t{1} << 30);
  const long peakBefore = PeakMemoryKiB();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(LoadPictureImage(FromUtf8(sparse.string()), 500, 400).IsOk());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_LT(PeakMemoryKiB() - peakBefore, 100 * 1024);
}

}  // namespace
}  // namespace veltrane
