#pragma once
// The program's own pictures, embedded in the executable: the skin of the graph control and
// the icon. The numbers are the resource ids the dialog and the controls name them by.

#include <wx/bitmap.h>
#include <wx/iconbndl.h>
#include <wx/image.h>

namespace veltrane {

inline constexpr int kAppIconId = 128;
inline constexpr int kSkinBitmapId = 160;

// The picture of a bitmap resource (kSkinBitmapId), or an invalid image for an unknown id.
// Needs no display. GUI thread (wx image handlers are not thread-safe).
wxImage LoadResourceImage(int id);

// The 853 x 400 skin bitmap. Needs an initialised GUI. GUI thread.
wxBitmap LoadSkinBitmap();

// The program icon at 32 x 32 and 16 x 16 pixels, for wxTopLevelWindow::SetIcons or, for
// the big icon alone, GetIcon(wxSize(32, 32)). Needs an initialised GUI. GUI thread.
wxIconBundle LoadAppIcon();

}  // namespace veltrane
