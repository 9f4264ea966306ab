#include "controls/Resources.h"

#include <wx/icon.h>
#include <wx/log.h>
#include <wx/mstream.h>

#include "controls/EmbeddedArtwork.h"

namespace veltrane {
namespace {

wxImage DecodePng(const EmbeddedFile& file) {
  if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) wxImage::AddHandler(new wxPNGHandler);
  wxLogNull quiet;
  wxMemoryInputStream stream(file.data, file.size);
  return wxImage(stream, wxBITMAP_TYPE_PNG);
}

wxIcon IconFrom(const EmbeddedFile& file) {
  wxIcon icon;
  icon.CopyFromBitmap(wxBitmap(DecodePng(file)));
  return icon;
}

}  // namespace

wxImage LoadResourceImage(int id) {
  if (id == kSkinBitmapId) return DecodePng(kSkinPng);
  return {};
}

wxBitmap LoadSkinBitmap() { return wxBitmap(LoadResourceImage(kSkinBitmapId)); }

wxIconBundle LoadAppIcon() {
  wxIconBundle icons;
  icons.AddIcon(IconFrom(kIcon32Png));
  icons.AddIcon(IconFrom(kIcon16Png));
  return icons;
}

}  // namespace veltrane
