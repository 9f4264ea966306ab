// CSkinCtrl on a display: cached layers, overlay text, marquee, blinking, clicks and its
// end while the marquee runs.
#include <wx/dcmemory.h>
#include <wx/uiaction.h>

#include <chrono>
#include <string>

#include "controls/Resources.h"
#include "controls/SkinCtrl.h"
#include "tests/gui/WxGuiTest.h"

namespace veltrane {
namespace {

using namespace std::chrono_literals;
using testing_gui::DifferingPixels;
using testing_gui::PumpEvents;
using testing_gui::PumpUntil;

constexpr wxWindowID kControlId = 1105;
const wxColour kGrey(160, 160, 160);
const std::wstring kLongText(90, L'W');

// A skinned control that counts its layers and draws nothing of its own.
class CountingSkin : public CSkinCtrl {
 public:
  CountingSkin(wxWindow* parent, const wxSize& size)
      : CSkinCtrl(parent, kControlId, wxPoint(10, 10), size) {
    SetBitmapId(kSkinBitmapId);
    SetFrameWidth(6);
  }
  int staticLayers = 0;
  int liveLayers = 0;
  PixelRect lastArea;

 protected:
  void DrawStaticLayer(wxDC&, const PixelRect&) override { ++staticLayers; }
  void DrawLiveLayer(wxDC&, const PixelRect& area) override {
    ++liveLayers;
    lastArea = area;
  }
};

class SkinCtrlTest : public testing_gui::WindowTest {
 protected:
  CountingSkin* MakeControl(const wxSize& size = wxSize(598, 96)) {
    control = new CountingSkin(panel, size);
    return control;
  }
  wxImage Compose() { return control->ComposeFrame().ConvertToImage(); }
  // Repaints through the platform, as the dialog's invalidation does.
  void Repaint() {
    control->Refresh(false);
    control->Update();
    PumpEvents(5ms);
  }

  CountingSkin* control = nullptr;
};

// Width of text in the control's font at a client height equal to the reference height.
int TextWidth(const std::wstring& text) {
  wxBitmap bitmap(8, 8, 24);
  wxMemoryDC dc(bitmap);
  dc.SetFont(wxFont(wxFontInfo(wxSize(0, 14)).FaceName("Times New Roman").Bold()));
  return dc.GetTextExtent(text).x;
}

TEST_F(SkinCtrlTest, PaintsThroughTheCachedBackgroundUntilTheSizeOrBitmapChanges) {
  MakeControl();
  ASSERT_TRUE(PumpUntil([&] { return control->liveLayers > 0; }, 2s)) << "never painted";
  Repaint();
  Repaint();
  EXPECT_GE(control->liveLayers, 3);
  EXPECT_EQ(control->staticLayers, 1);
  EXPECT_EQ(control->lastArea, (PixelRect{3, 3, 595, 93}));

  control->SetSize(500, 96);
  Repaint();
  EXPECT_EQ(control->staticLayers, 2);
  EXPECT_EQ(control->lastArea, (PixelRect{3, 3, 497, 93}));

  // Without a bitmap there is neither grid nor static layer.
  control->SetBitmapId(0);
  control->ComposeFrame();
  EXPECT_EQ(control->staticLayers, 2);
  control->SetBitmapId(kSkinBitmapId);
  control->ComposeFrame();
  EXPECT_EQ(control->staticLayers, 3);

  // A new grid or frame shows at the next paint.
  control->SetGrid(1, 1);
  control->ComposeFrame();
  EXPECT_EQ(control->staticLayers, 4);
  control->SetFrameWidth(8);
  control->ComposeFrame();
  EXPECT_EQ(control->staticLayers, 5);
  EXPECT_EQ(control->lastArea, (PixelRect{4, 4, 496, 92}));
}

TEST_F(SkinCtrlTest, ShowsTheTopLeftOfTheSkinUnscaledInsideTheFrame) {
  MakeControl();
  const wxImage frame = Compose();
  const wxImage skin = LoadResourceImage(kSkinBitmapId);
  for (int x : {10, 200, 587}) {
    for (int y : {10, 50, 85}) {
      EXPECT_EQ(testing_gui::PixelAt(frame, x, y), testing_gui::PixelAt(skin, x, y))
          << x << "," << y;
    }
  }
  // The outer ring of the 6-pixel frame: 61/128 on the top edge.
  const testing_gui::Rgb top = testing_gui::PixelAt(skin, 300, 0);
  EXPECT_EQ(testing_gui::PixelAt(frame, 300, 0),
            (testing_gui::Rgb{top.r * 61 / 128, top.g * 61 / 128, top.b * 61 / 128}));
}

TEST_F(SkinCtrlTest, RightAlignedTextEndsThreePixelsInsideTheArea) {
  MakeControl();
  const wxImage plain = Compose();
  control->SetText(L"Compensation: 0.025%, method 1", TextAlign::Right, false, 140, kGrey);
  const wxRect text = DifferingPixels(plain, Compose());
  ASSERT_FALSE(text.IsEmpty());
  // Inner area 3 ... 595, margin 3: the text ends at 592, its shadow one pixel further.
  EXPECT_LE(text.GetRight(), 592);
  EXPECT_GE(text.GetRight(), 586);
  EXPECT_GE(text.GetTop(), 3);
  EXPECT_LE(text.GetBottom(), 3 + 14);
  EXPECT_FALSE(control->IsScrolling());
}

TEST_F(SkinCtrlTest, TextGrowsWithTheControlAgainstTheReferenceHeight) {
  MakeControl();
  const wxImage plain = Compose();
  control->SetText(L"Height", TextAlign::Left, false, 140, kGrey);
  const wxSize nominal = DifferingPixels(plain, Compose()).GetSize();

  // The reference was taken at the first paint (96 pixels); half of it doubles the text.
  // Glyph outlines are hinted per size, so the ink grows by about, not exactly, twice.
  wxCommandEvent reference(EVT_SKIN_REFERENCE_HEIGHT);
  reference.SetInt(48);
  control->ProcessWindowEvent(reference);
  const wxSize doubled = DifferingPixels(plain, Compose()).GetSize();
  EXPECT_GT(doubled.x, 1.7 * nominal.x) << nominal.x << " -> " << doubled.x;
  EXPECT_LT(doubled.x, 2.3 * nominal.x) << nominal.x << " -> " << doubled.x;
  EXPECT_GT(doubled.y, 1.5 * nominal.y) << nominal.y << " -> " << doubled.y;
  EXPECT_LT(doubled.y, 2.3 * nominal.y) << nominal.y << " -> " << doubled.y;
}

TEST_F(SkinCtrlTest, TextExactlyAsWideAsTheAreaStaysStillOnePixelWiderScrolls) {
  const std::wstring text = L"Compensation: 0.025%, method 1";
  const int width = TextWidth(text);
  MakeControl(wxSize(width + 6, 96));
  control->SetText(text, TextAlign::Left, false, 140, kGrey);
  control->ComposeFrame();
  EXPECT_FALSE(control->IsScrolling());

  control->SetSize(width + 5, 96);
  control->ComposeFrame();
  EXPECT_TRUE(control->IsScrolling());
}

TEST_F(SkinCtrlTest, ALongTextScrollsByItselfAndAShortOneStopsItWithinACycle) {
  MakeControl();
  control->SetText(kLongText, TextAlign::Right, false, 140, kGrey);
  Repaint();
  ASSERT_TRUE(control->IsScrolling());
  const wxImage before = control->GetLastFrame().ConvertToImage();
  const int paints = control->liveLayers;
  PumpEvents(300ms);
  // 2 pixels every 20 ms on a 598-pixel control, and a repaint for each step.
  EXPECT_LE(control->GetScrollOffset(), -10);
  EXPECT_GE(control->liveLayers - paints, 5);
  EXPECT_FALSE(DifferingPixels(before, control->GetLastFrame().ConvertToImage()).IsEmpty());

  // The same text keeps its place, a new one starts over (the running marquee may take a
  // step meanwhile).
  const int offset = control->GetScrollOffset();
  control->SetText(kLongText, TextAlign::Right, false, 140, kGrey);
  EXPECT_LE(control->GetScrollOffset(), offset);
  control->SetText(kLongText + L"!", TextAlign::Right, false, 140, kGrey);
  EXPECT_GT(control->GetScrollOffset(), -6);

  control->SetText(L"Short", TextAlign::Right, false, 140, kGrey);

  const auto start = std::chrono::steady_clock::now();
  Repaint();
  ASSERT_TRUE(PumpUntil([&] { return !control->IsScrolling(); }, 500ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  const int offsetAfterStop = control->GetScrollOffset();
  PumpEvents(60ms);
  EXPECT_EQ(control->GetScrollOffset(), offsetAfterStop);

  // A long text again starts a new marquee.
  control->SetText(kLongText, TextAlign::Right, false, 140, kGrey);
  Repaint();
  EXPECT_TRUE(control->IsScrolling());
}

TEST_F(SkinCtrlTest, AnEmptyTextDrawsNothingAndNeverScrolls) {
  MakeControl(wxSize(40, 96));
  const wxImage plain = Compose();
  control->SetText(L"", TextAlign::Left, false, 140, kGrey);
  EXPECT_TRUE(DifferingPixels(plain, Compose()).IsEmpty());
  EXPECT_FALSE(control->IsScrolling());
}

TEST_F(SkinCtrlTest, ANarrowControlStillScrollsOnePixelPerStep) {
  MakeControl(wxSize(120, 40));
  control->SetText(kLongText, TextAlign::Left, false, 140, kGrey);
  Repaint();
  ASSERT_TRUE(control->IsScrolling());
  PumpEvents(200ms);
  EXPECT_LT(control->GetScrollOffset(), 0);
  EXPECT_GT(control->GetScrollOffset(), -20);
}

TEST_F(SkinCtrlTest, BlinkingShowsAndHidesTheTextEvery500Ms) {
  MakeControl();
  const wxImage plain = Compose();
  control->SetText(L"Blink", TextAlign::Left, true, 140, kGrey);
  Repaint();
  EXPECT_TRUE(control->IsBlinkVisible());
  EXPECT_FALSE(DifferingPixels(plain, control->GetLastFrame().ConvertToImage()).IsEmpty());

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntil([&] { return !control->IsBlinkVisible(); }, 2s));
  const auto hidden = std::chrono::steady_clock::now() - start;
  EXPECT_GT(hidden, 350ms);
  EXPECT_LT(hidden, 1000ms);
  // The timer repainted the control without the text.
  EXPECT_TRUE(DifferingPixels(plain, control->GetLastFrame().ConvertToImage()).IsEmpty());
  ASSERT_TRUE(PumpUntil([&] { return control->IsBlinkVisible(); }, 2s));

  // Switched off: the text stays and the timer ends at its next tick.
  control->SetText(L"Blink", TextAlign::Left, false, 140, kGrey);
  const bool phase = control->IsBlinkVisible();
  PumpEvents(1200ms);
  EXPECT_EQ(control->IsBlinkVisible(), phase);
  EXPECT_FALSE(DifferingPixels(plain, Compose()).IsEmpty());
}

TEST_F(SkinCtrlTest, ALeftClickReachesTheParentAsAButtonEventWithTheControlsId) {
  MakeControl();
  int clicks = 0;
  int clickedId = 0;
  panel->Bind(wxEVT_BUTTON, [&](wxCommandEvent& event) {
    ++clicks;
    clickedId = event.GetId();
  });
  wxUIActionSimulator mouse;
  mouse.MouseMove(control->ClientToScreen(wxPoint(100, 50)));
  PumpEvents(20ms);
  mouse.MouseClick();
  ASSERT_TRUE(PumpUntil([&] { return clicks > 0; }, 2s));
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(clickedId, kControlId);
}

TEST_F(SkinCtrlTest, DestroyingTheControlWhileItScrollsIsClean) {
  MakeControl();
  control->SetText(kLongText, TextAlign::Left, false, 140, kGrey);
  Repaint();
  ASSERT_TRUE(control->IsScrolling());
  PumpEvents(70ms);

  const auto start = std::chrono::steady_clock::now();
  control->Destroy();
  control = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
  // Repaint requests the thread queued before it ended must not reach the control.
  PumpEvents(60ms);
}

}  // namespace
}  // namespace veltrane
