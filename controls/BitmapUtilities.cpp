#include "controls/BitmapUtilities.h"

#include <wx/log.h>
#include <wx/mstream.h>

#include <new>
#include <vector>

#include "base/Files.h"
#include "controls/PictureHeader.h"
#include "controls/PixelShading.h"
#include "controls/SkinGeometry.h"
#include "base/Text.h"
#include "support/Trace.h"

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

wxBitmapType DecoderOf(PictureFormat format) {
  switch (format) {
    case PictureFormat::Png: return wxBITMAP_TYPE_PNG;
    case PictureFormat::Jpeg: return wxBITMAP_TYPE_JPEG;
    case PictureFormat::Gif: return wxBITMAP_TYPE_GIF;
    case PictureFormat::Bmp: return wxBITMAP_TYPE_BMP;
    case PictureFormat::Pnm: return wxBITMAP_TYPE_PNM;
    case PictureFormat::Pcx: return wxBITMAP_TYPE_PCX;
    case PictureFormat::Tiff: return wxBITMAP_TYPE_TIFF;
    case PictureFormat::Tga: return wxBITMAP_TYPE_TGA;
  }
  return wxBITMAP_TYPE_INVALID;
}

std::wstring ReadFailure(FileRead result) {
  switch (result) {
    case FileRead::Missing: return L"there is no such file";
    case FileRead::CannotOpen: return L"it cannot be opened";
    case FileRead::Failed: return L"it is not a regular file or cannot be read";
    case FileRead::NoMemory: return L"there is not enough memory to read it";
    case FileRead::TooLarge: return L"it is larger than 100 MiB";
    case FileRead::Read: break;
  }
  return L"it is empty";
}

// Why the picture is not shown goes to the trace only: the dialog runs on without one.
wxImage NoPicture(const std::wstring& path, const std::wstring& reason, int line) {
  Trace(L"TR_GENERAL", L"Picture not shown: " + path + L": " + reason, L"BitmapUtilities", line);
  return {};
}

}  // namespace

wxImage LoadPictureImage(const std::wstring& path, int maxWidth, int maxHeight) {
  std::string bytes;
  const FileRead result =
      ReadWholeFile(ToUtf8(path), bytes, nullptr, static_cast<std::size_t>(kMaxPictureFileBytes));
  if (result != FileRead::Read || bytes.empty()) return NoPicture(path, ReadFailure(result), __LINE__);
  const auto header = ReadPictureHeader(bytes);
  if (!header) {
    return NoPicture(path, L"not a PNG, JPEG, GIF, BMP, PNM, PCX, TIFF or TGA picture whose size "
                           L"its header gives", __LINE__);
  }
  if (IsPictureTooLarge(header->size)) {
    return NoPicture(path, L"it declares " + std::to_wstring(header->size.width) + L" x " +
                               std::to_wstring(header->size.height) + L" pixels, too many to show",
                     __LINE__);
  }

  EnsureImageHandlers();
  wxImage image;
  {
    wxLogNull quiet;  // an unrecognised file is an expected failure, not a message box
    wxMemoryInputStream stream(bytes.data(), bytes.size());
    // Only the decoder whose header was read may decode: another one would take a size
    // nobody checked.
    if (!image.LoadFile(stream, DecoderOf(header->format)) || !image.IsOk()) {
      return NoPicture(path, L"it cannot be decoded", __LINE__);
    }
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
