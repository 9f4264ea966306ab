// Picture loading into wx images. wxImage needs no display, so this runs
// without one.
#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/quantize.h>

#include <filesystem>
#include <fstream>

#include "BitmapUtilities.h"
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

}  // namespace
}  // namespace veltrane
