#include "controls/SkinCtrl.h"

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/graphics.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

#include "controls/BitmapUtilities.h"
#include "controls/Resources.h"

namespace veltrane {

wxDEFINE_EVENT(EVT_SKIN_REFERENCE_HEIGHT, wxCommandEvent);

namespace {

wxDEFINE_EVENT(EVT_SKIN_SCROLL_STEP, wxThreadEvent);

// Fixed id of the blink timer, as the control's timers are numbered.
constexpr int kBlinkTimerId = 1;
// Shown for this long, then hidden for as long.
constexpr int kBlinkPeriodMs = 500;
// The marquee moves 50 times a second.
constexpr std::chrono::milliseconds kScrollCycle{20};
// Layers without alpha: the skin covers every pixel.
constexpr int kLayerDepth = 24;

wxRect ToWxRect(const PixelRect& r) { return {r.left, r.top, r.Width(), r.Height()}; }

wxPen LinePen(const wxColour& colour, int width) {
  // Butt caps end a line where it is told to, as a one-pixel line on a raster does.
  wxPen pen(colour, width, wxPENSTYLE_SOLID);
  pen.SetCap(wxCAP_BUTT);
  return pen;
}

}  // namespace

CSkinCtrl::CSkinCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : blinkTimer(this, kBlinkTimerId) {
  // Before Create: the paint covers every pixel, so nothing is ever erased.
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  Create(parent, id, pos, size, wxBORDER_NONE);
  Bind(wxEVT_PAINT, &CSkinCtrl::OnPaint, this);
  Bind(wxEVT_TIMER, &CSkinCtrl::OnTimer, this, kBlinkTimerId);
  Bind(wxEVT_LEFT_DOWN, &CSkinCtrl::OnLeftDown, this);
  Bind(EVT_SKIN_SCROLL_STEP, &CSkinCtrl::OnScrollStep, this);
  Bind(EVT_SKIN_REFERENCE_HEIGHT,
       [this](wxCommandEvent& event) { SetReferenceHeight(event.GetInt()); });
}

CSkinCtrl::~CSkinCtrl() {
  StopMarquee();
  blinkTimer.Stop();
}

void CSkinCtrl::SetBitmapId(int id) { bitmapId = id; }

// Grid and frame live in the cached background: a change after the first paint must
// rebuild it, or it would show only after the next resize.
void CSkinCtrl::SetGrid(int rows, int columns) {
  gridRows = rows;
  gridColumns = columns;
  backgroundBitmap = wxNullBitmap;
}

void CSkinCtrl::SetFrameWidth(int width) {
  frameWidth = width;
  frameOn = width != 0;
  backgroundBitmap = wxNullBitmap;
}

void CSkinCtrl::SetText(const std::wstring& newText, unsigned align, bool blink, int size,
                        const wxColour& colour) {
  if (newText != text) scrollOffset.store(0);
  text = newText;
  textAlign = align;
  fontSize = size;
  textColour = colour;
  if (blink && !blinking) {
    blinking = true;
    blinkVisible = true;
    blinkTimer.Start(kBlinkPeriodMs);
  }
  blinking = blink;
}

void CSkinCtrl::SetReferenceHeight(int pixels) { referenceHeight = pixels; }

void CSkinCtrl::DrawStaticLayer(wxDC&, const PixelRect&) {}

void CSkinCtrl::UseAliasedLines(wxDC& dc) {
  if (wxGraphicsContext* gc = dc.GetGraphicsContext()) gc->SetAntialiasMode(wxANTIALIAS_NONE);
}

const wxBitmap& CSkinCtrl::ComposeFrame() {
  const wxSize size = GetClientSize();
  const PixelRect client{0, 0, size.x, size.y};
  if (client.Width() <= 0 || client.Height() <= 0) return compositionBitmap;
  const PixelRect inner = InnerRect(client, frameWidth);
  const bool sameSize = client == cachedRect && compositionBitmap.IsOk();

  if (!sameSize) compositionBitmap.Create(client.Width(), client.Height(), kLayerDepth);
  if (!sameSize || !backgroundBitmap.IsOk() || loadedBitmapId != bitmapId) {
    RebuildBackground(client, inner);
  }

  {
    wxMemoryDC dc(compositionBitmap);
    dc.DrawBitmap(backgroundBitmap, 0, 0);

    if (referenceHeight == 0) referenceHeight = client.Height();
    bool tooWide = false;
    if (!text.empty() && (!blinking || blinkVisible)) {
      const int height = TextHeightPixels(client.Height(), fontSize, referenceHeight);
      tooWide = DrawShadowText(dc, inner, text, height, textAlign, textColour);
    }
    scrollWidth.store(client.Width());
    UpdateMarquee(tooWide);

    UseAliasedLines(dc);
    DrawLiveLayer(dc, inner);
  }
  cachedRect = client;
  return compositionBitmap;
}

void CSkinCtrl::OnPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  const wxBitmap& frame = ComposeFrame();
  if (frame.IsOk()) dc.DrawBitmap(frame, 0, 0);
}

void CSkinCtrl::RebuildBackground(const PixelRect& client, const PixelRect& inner) {
  backgroundBitmap.Create(client.Width(), client.Height(), kLayerDepth);
  {
    wxMemoryDC dc(backgroundBitmap);
    // Black where no skin is drawn, rather than whatever the new bitmap held.
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    if (bitmapId != 0) {
      DrawSkinBitmap(dc, client, bitmapId);
      UseAliasedLines(dc);
      if (gridRows != 0 || gridColumns != 0) DrawGrid(dc, inner);
      DrawStaticLayer(dc, inner);
    } else {
      loadedBitmapId = 0;
    }
  }
  if (frameOn) {
    // Shaded on the pixels themselves: a memory DC cannot read pixels back on every port.
    wxImage pixels = backgroundBitmap.ConvertToImage();
    DrawBevelFrame(pixels, client, frameWidth);
    backgroundBitmap = wxBitmap(pixels, kLayerDepth);
  }
}

void CSkinCtrl::DrawSkinBitmap(wxDC& dc, const PixelRect& dest, int id) {
  if (id != loadedBitmapId) {
    loadedBitmapId = id;
    skinImage = LoadResourceImage(id);
  }
  if (!skinImage.IsOk() || dest.Width() <= 0 || dest.Height() <= 0) return;

  // The top-left part unscaled; stretched only in a direction in which it is too small.
  const int sourceWidth = std::min(dest.Width(), skinImage.GetWidth());
  const int sourceHeight = std::min(dest.Height(), skinImage.GetHeight());
  wxImage part = skinImage.GetSubImage(wxRect(0, 0, sourceWidth, sourceHeight));
  if (sourceWidth != dest.Width() || sourceHeight != dest.Height()) {
    part.Rescale(dest.Width(), dest.Height(), wxIMAGE_QUALITY_HIGH);
  }
  dc.DrawBitmap(wxBitmap(part, kLayerDepth), dest.left, dest.top);
}

void CSkinCtrl::DrawGrid(wxDC& dc, const PixelRect& area) {
  const std::vector<int> rows = GridLinePositions(area.top, area.bottom, gridRows);
  const std::vector<int> columns = GridLinePositions(area.left, area.right, gridColumns);

  // A light line above and left of each grid line makes it look engraved. Both start at
  // the buffer's edge; the bevel frame shades what lies under it later.
  dc.SetPen(LinePen(gridHighlightColour, 1));
  for (int y : rows) dc.DrawLine(-1, y - 1, area.right - 1, y - 1);
  for (int x : columns) dc.DrawLine(x - 1, -1, x - 1, area.bottom - 1);
  dc.SetPen(LinePen(gridColour, 1));
  for (int y : rows) dc.DrawLine(0, y, area.right, y);
  for (int x : columns) dc.DrawLine(x, 0, x, area.bottom);
  dc.SetPen(wxNullPen);
}

const wxFont& CSkinCtrl::TextFont(int height) {
  if (height != textFontHeight || !textFont.IsOk()) {
    textFont = wxFont(wxFontInfo(wxSize(0, height)).FaceName(fontName).Bold());
    textFontHeight = height;
  }
  return textFont;
}

bool CSkinCtrl::DrawShadowText(wxDC& dc, const PixelRect& area, std::wstring drawn, int height,
                               unsigned align, const wxColour& colour) {
  if (height <= 0) return false;
  dc.SetFont(TextFont(height));
  dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);

  wxCoord width = 0;
  wxCoord cellHeight = 0;
  dc.GetTextExtent(drawn, &width, &cellHeight);
  const bool tooWide = IsTextTooWide(width, area);
  int offset = 0;
  if (tooWide) {
    drawn += kMarqueeGap;
    wxCoord period = 0;
    dc.GetTextExtent(drawn, &period, &cellHeight);
    drawn += drawn;
    offset = scrollOffset.load();
    // Compare-and-swap: a step the marquee thread takes meanwhile is not overwritten.
    if (WrapScrollOffset(offset, period) != offset &&
        scrollOffset.compare_exchange_strong(offset, 0)) {
      offset = 0;
    }
  }

  const TextOrigin origin =
      PlaceText(area, frameWidth / 2, align, width, cellHeight, tooWide, offset);
  {
    wxDCClipper clip(dc, ToWxRect(area));
    dc.SetTextForeground(shadowColour);
    dc.DrawText(drawn, origin.left + 1, origin.top + 1);
    dc.SetTextForeground(colour);
    dc.DrawText(drawn, origin.left, origin.top);
  }
  dc.SetFont(wxNullFont);
  return tooWide;
}

void CSkinCtrl::UpdateMarquee(bool tooWide) {
  if (tooWide && !scrollRunning.load()) {
    // The previous thread cleared scrollRunning as its last act, so this join is immediate.
    if (scrollThread.joinable()) scrollThread.join();
    scrollStop.store(false);
    scrollRunning.store(true);
    try {
      scrollThread = std::thread(&CSkinCtrl::ScrollThread, this);
      scrollWanted = true;
    } catch (const std::system_error&) {
      // scrollRunning stays set: the text stands still and no new start is tried.
    }
  } else if (!tooWide && scrollWanted) {
    // The thread ends by itself within one cycle; it is joined later, never waited for here.
    scrollStop.store(true);
    scrollWanted = false;
  }
}

void CSkinCtrl::StopMarquee() {
  scrollStop.store(true);
  scrollWanted = false;
  if (scrollThread.joinable()) scrollThread.join();
  scrollRunning.store(false);
}

// Marquee thread: moves the offset and asks for a repaint; never draws and never touches
// a window.
void CSkinCtrl::ScrollThread() {
  while (!scrollStop.load()) {
    scrollOffset.fetch_sub(ScrollStepPixels(scrollWidth.load()));
    if (!repaintQueued.exchange(true)) {
      // A qualified, non-virtual call: the control's destructors may be running on the GUI
      // thread (they join this thread), and a virtual call would read the changing vtable.
      wxEvtHandler::QueueEvent(new wxThreadEvent(EVT_SKIN_SCROLL_STEP));
    }
    std::this_thread::sleep_for(kScrollCycle);
  }
  scrollRunning.store(false);
}

void CSkinCtrl::OnScrollStep(wxThreadEvent&) {
  repaintQueued.store(false);
  Refresh(false);
  Update();
}

void CSkinCtrl::OnTimer(wxTimerEvent&) {
  if (blinking) {
    blinkVisible = !blinkVisible;
    Refresh(false);
    Update();
  } else {
    blinkTimer.Stop();
  }
}

void CSkinCtrl::OnLeftDown(wxMouseEvent& event) {
  wxCommandEvent click(wxEVT_BUTTON, GetId());
  click.SetEventObject(this);
  HandleWindowEvent(click);
  event.Skip();
}

}  // namespace veltrane
