#include "BitmapUtilities.h"

#include <wx/log.h>
#include <wx/mstream.h>

#include <new>
#include <vector>

#include "Files.h"
#include "PictureHeader.h"
#include "PixelShading.h"
#include "SkinGeometry.h"
#include "Text.h"

namespace veltrane {
namespace {

void EnsureImageHandlers() {
  static bool added = false;
  if (!added) {
    wxLogNull quiet;  // handlers the program added already are reported as duplicates
    wxInitAllImageHandlers();
    // wx's own start-up adds BMP; without it (no display) add it here.
    if (wxImage::FindHandler(wxBITMAP_TYPE_BMP) == nullptr) wxImage::AddHandler(new wxBMPHandler);
    added = true;
  }
}

}  // namespace

wxImage LoadPictureImage(const std::wstring& path, int maxWidth, int maxHeight) {
  std::string bytes;
  if (ReadWholeFile(ToUtf8(path), bytes) != FileRead::Read || bytes.empty()) return {};
  const auto declared = ReadPictureSize(bytes);
  if (declared && IsPictureTooLarge(*declared)) return {};

  EnsureImageHandlers();
  wxImage image;
  {
    wxLogNull quiet;  // an unrecognised file is an expected failure, not a message box
    wxMemoryInputStream stream(bytes.data(), bytes.size());
    if (!image.LoadFile(stream, wxBITMAP_TYPE_ANY) || !image.IsOk()) return {};
  }

  const PixelSize size{image.GetWidth(), image.GetHeight()};
  const PixelSize fitted = FitPicture(size, {maxWidth, maxHeight});
  if (fitted != size) image.Rescale(fitted.width, fitted.height, wxIMAGE_QUALITY_HIGH);
  return image;
}

wxBitmap LoadPictureFile(const std::wstring& path, int maxWidth, int maxHeight) {
  const wxImage image = LoadPictureImage(path, maxWidth, maxHeight);
  if (!image.IsOk()) return wxNullBitmap;
  return wxBitmap(image);
}

void DrawBevelFrame(wxImage& image, const PixelRect& rect, int frameWidth) {
  if (!image.IsOk()) return;
  veltrane::DrawBevelFrame(RgbPixels{image.GetData(), image.GetWidth(), image.GetHeight()}, rect,
                           frameWidth);
}

}  // namespace veltrane
