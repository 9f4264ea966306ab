// LoadPictureFile gives the dialog a bitmap of the fitted size, or none.
#include <unistd.h>
#include <wx/image.h>

#include <filesystem>

#include "controls/BitmapUtilities.h"
#include "base/Text.h"
#include "tests/gui/WxGuiTest.h"

namespace veltrane {
namespace {

using LoadPictureFileTest = testing_gui::GuiTest;

TEST_F(LoadPictureFileTest, ANewBitmapOfTheFittedSizeOrNone) {
  wxInitAllImageHandlers();
  const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("veltrane_picture_" + std::to_string(getpid()) + ".png");
  wxImage picture(1000, 500);
  picture.SetRGB(wxRect(0, 0, 1000, 500), 200, 30, 30);
  ASSERT_TRUE(picture.SaveFile(wxString::FromUTF8(path.string()), wxBITMAP_TYPE_PNG));

  const wxBitmap bitmap = LoadPictureFile(FromUtf8(path.string()), 500, 400);
  std::filesystem::remove(path);
  ASSERT_TRUE(bitmap.IsOk());
  EXPECT_EQ(bitmap.GetSize(), wxSize(500, 250));
  EXPECT_EQ(testing_gui::PixelAt(bitmap.ConvertToImage(), 250, 125),
            (testing_gui::Rgb{200, 30, 30}));

  EXPECT_FALSE(LoadPictureFile(FromUtf8(path.string()), 500, 400).IsOk());
}

}  // namespace
}  // namespace veltrane
