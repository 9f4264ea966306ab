#pragma once
// CSkinCtrl: the base of the bitmap-skinned controls. A control paints from layers, always
// through a memory buffer and without erasing, so it never flickers:
//   1. a cached background: the skin bitmap, an optional double-line grid, the derived
//      class's DrawStaticLayer and a sunken bevel frame; rebuilt only when the client size
//      or the bitmap changes;
//   2. a composition rebuilt at every paint: the background, an overlay text with a
//      one-pixel shadow (which can blink, and scrolls as a marquee when it is too wide),
//      then the derived class's DrawLiveLayer;
//   3. one copy of the composition to the screen.
// A too-wide text is moved by a marquee thread every 20 ms. That thread never draws: it
// only moves the offset and asks the GUI thread to repaint with a queued event.
//
// A left click emits a wxEVT_BUTTON command event with the control's id, which reaches the
// parent like a button's click.
//
// Every member function runs on the GUI thread.

#include <wx/bitmap.h>
#include <wx/control.h>
#include <wx/dc.h>
#include <wx/font.h>
#include <wx/image.h>
#include <wx/timer.h>

#include <atomic>
#include <string>
#include <thread>

#include "controls/PixelRect.h"
#include "controls/SkinGeometry.h"

namespace veltrane {

// Sets a control's reference height: the client height in pixels at which its text has
// its nominal size (GetInt() of the event). Send it with ProcessWindowEvent, or queue it
// with wxQueueEvent from any thread. Until one arrives, the height at the first paint is
// the reference.
wxDECLARE_EVENT(EVT_SKIN_REFERENCE_HEIGHT, wxCommandEvent);

class CSkinCtrl : public wxControl {
 public:
  CSkinCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
            const wxSize& size = wxDefaultSize);
  // Stops the marquee thread and waits for it, so it never touches a destroyed control.
  ~CSkinCtrl() override;

  CSkinCtrl(const CSkinCtrl&) = delete;
  CSkinCtrl& operator=(const CSkinCtrl&) = delete;

  // None of the setters repaints; the caller refreshes the control.

  // The skin: a bitmap resource id (Resources.h), 0 for none. The background is rebuilt
  // at the next paint.
  void SetBitmapId(int id);
  // Number of horizontal and vertical grid lines. The background is rebuilt.
  void SetGrid(int rows, int columns);
  // Bevel frame width in pixels, 0 for no frame; half of it is the inner margin. The
  // background is rebuilt.
  void SetFrameWidth(int width);
  // The overlay text. align: TextAlign bits. blink: shown 500 ms, hidden 500 ms. size:
  // text height in tenths of a pixel at the reference height (140 gives 14 pixels).
  // A different text restarts the marquee at its beginning; the same text keeps it going.
  void SetText(const std::wstring& text, unsigned align, bool blink, int size,
               const wxColour& colour);
  // What EVT_SKIN_REFERENCE_HEIGHT does.
  void SetReferenceHeight(int pixels);

  // Builds the frame exactly as a paint does (reusing the cached background while it is
  // valid) and returns it; a paint copies this bitmap to the screen. Public so that tests,
  // screenshots and benchmarks can see what the control shows.
  const wxBitmap& ComposeFrame();
  // The frame of the last paint or ComposeFrame.
  const wxBitmap& GetLastFrame() const { return compositionBitmap; }

  // A marquee thread runs.
  bool IsScrolling() const { return scrollRunning.load(); }
  // x of a scrolling text in client coordinates: 0 or negative.
  int GetScrollOffset() const { return scrollOffset.load(); }
  // The blink phase in which the text is shown.
  bool IsBlinkVisible() const { return blinkVisible; }

  bool AcceptsFocus() const override { return false; }

 protected:
  // Draws into the background when it is rebuilt, over the inner area. Nothing by default.
  virtual void DrawStaticLayer(wxDC& dc, const PixelRect& area);
  // Draws what changes into the composition at every paint, after the text.
  virtual void DrawLiveLayer(wxDC& dc, const PixelRect& area) = 0;

  // Switches anti-aliasing off, so that one-pixel lines land on whole pixels.
  static void UseAliasedLines(wxDC& dc);

 private:
  void OnPaint(wxPaintEvent& event);
  void OnTimer(wxTimerEvent& event);
  void OnLeftDown(wxMouseEvent& event);
  void OnScrollStep(wxThreadEvent& event);

  void RebuildBackground(const PixelRect& client, const PixelRect& inner);
  void DrawSkinBitmap(wxDC& dc, const PixelRect& dest, int id);
  void DrawGrid(wxDC& dc, const PixelRect& area);
  // Draws text with its shadow into area; returns whether it was too wide to stand still.
  bool DrawShadowText(wxDC& dc, const PixelRect& area, std::wstring text, int height,
                      unsigned align, const wxColour& colour);
  const wxFont& TextFont(int height);
  void UpdateMarquee(bool tooWide);
  void StopMarquee();
  void ScrollThread();

  wxBitmap backgroundBitmap;
  wxBitmap compositionBitmap;
  PixelRect cachedRect;
  int referenceHeight = 0;
  wxImage skinImage;
  int bitmapId = 0;
  int loadedBitmapId = 0;
  bool frameOn = true;
  int frameWidth = 8;
  int gridRows = 0;
  int gridColumns = 0;
  std::wstring text;
  wxString fontName = "Times New Roman";
  int fontSize = 140;
  bool blinking = false;
  bool blinkVisible = true;
  unsigned textAlign = TextAlign::Left;
  wxColour textColour{0, 0, 0};
  wxColour shadowColour{255, 255, 255};
  wxColour gridColour{220, 220, 220};
  wxColour gridHighlightColour{250, 250, 250};
  wxTimer blinkTimer;

  // The text font of the last paint, kept while its height stays the same.
  wxFont textFont;
  int textFontHeight = 0;

  // Shared with the marquee thread.
  std::thread scrollThread;
  bool scrollWanted = false;               // GUI thread only: the thread should keep going
  std::atomic<bool> scrollRunning{false};  // set by the GUI thread, cleared by the thread
  std::atomic<bool> scrollStop{false};
  std::atomic<int> scrollOffset{0};
  std::atomic<int> scrollWidth{0};         // client width the step is computed from
  std::atomic<bool> repaintQueued{false};  // one repaint request in flight at most
};

}  // namespace veltrane
