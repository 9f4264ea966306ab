// CGraphCtrl on a display, set up as the calibration dialog sets it up.
#include <chrono>
#include <vector>

#include "controls/GraphCtrl.h"
#include "controls/Resources.h"
#include "tests/gui/WxGuiTest.h"

namespace veltrane {
namespace {

using namespace std::chrono_literals;
using testing_gui::PixelAt;
using testing_gui::Rgb;

constexpr Rgb kRed{255, 0, 0};
constexpr Rgb kWhite{255, 255, 255};

class GraphCtrlTest : public testing_gui::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (IsSkipped()) return;
    graph = new CGraphCtrl(panel, 1105, wxPoint(10, 10), wxSize(598, 96));
    graph->SetFrameWidth(6);
    graph->SetAutoGain(false);
    graph->SetGain(2000.0f);
    graph->SetRelativeToLast(true);
    graph->SetTriggerOnPeak(false);
    graph->SetRelativeToMean(false);
    graph->SetTraceColours(wxColour(255, 255, 255), wxColour(255, 0, 0));
    graph->SetGrid(2, 9);
    graph->SetData(history.data(), static_cast<int>(history.size()));
  }
  wxImage Paint() {
    graph->Refresh(false);
    graph->Update();
    testing_gui::PumpEvents(5ms);
    return graph->GetLastFrame().ConvertToImage();
  }

  std::vector<float> history = std::vector<float>(10000, 0.0f);
  CGraphCtrl* graph = nullptr;
};

TEST_F(GraphCtrlTest, PaintsSkinGridFrameAndARedTraceOnTheMiddleRow) {
  const wxImage frame = Paint();
  ASSERT_TRUE(frame.IsOk());
  ASSERT_EQ(frame.GetSize(), wxSize(598, 96));
  const wxImage skin = LoadResourceImage(kSkinBitmapId);

  // Skin, unscaled, between the grid lines.
  EXPECT_EQ(PixelAt(frame, 320, 20), PixelAt(skin, 320, 20));
  // Grid: rows 33 and 63, columns 62, 121, ...; each with a lighter line above or left.
  EXPECT_EQ(PixelAt(frame, 320, 33), (Rgb{220, 220, 220}));
  EXPECT_EQ(PixelAt(frame, 320, 32), (Rgb{250, 250, 250}));
  EXPECT_EQ(PixelAt(frame, 320, 63), (Rgb{220, 220, 220}));
  EXPECT_EQ(PixelAt(frame, 62, 20), (Rgb{220, 220, 220}));
  EXPECT_EQ(PixelAt(frame, 61, 20), (Rgb{250, 250, 250}));
  EXPECT_EQ(PixelAt(frame, 536, 80), (Rgb{220, 220, 220}));
  // Frame: the outer top ring darkened to 61/128, the outer bottom ring brightened.
  const Rgb top = PixelAt(skin, 320, 0);
  EXPECT_EQ(PixelAt(frame, 320, 0), (Rgb{top.r * 61 / 128, top.g * 61 / 128, top.b * 61 / 128}));
  const Rgb bottom = PixelAt(skin, 320, 95);
  EXPECT_EQ(PixelAt(frame, 320, 95),
            (Rgb{std::min(255, bottom.r * 195 / 128), std::min(255, bottom.g * 195 / 128),
                 std::min(255, bottom.b * 195 / 128)}));

  // All values equal the latest: a red line on row 3 + 45, with the white shadow above it.
  for (int x : {20, 150, 320, 580}) {
    EXPECT_EQ(PixelAt(frame, x, 48), kRed) << x;
    int y = 48;
    while (y > 3 && PixelAt(frame, x, y) == kRed) --y;
    EXPECT_EQ(PixelAt(frame, x, y), kWhite) << x;
    EXPECT_LT(48 - y, 4) << x;
  }
}

TEST_F(GraphCtrlTest, AValueAboveTheLatestIsDrawnHigherByTheGain) {
  // The older half of the history 0.0025 above the latest: 5 rows higher at gain 2000.
  std::vector<float> values{1.0025f, 1.0f};
  graph->SetData(values.data(), 2);
  const wxImage frame = Paint();
  EXPECT_EQ(PixelAt(frame, 100, 43), kRed);
  EXPECT_EQ(PixelAt(frame, 500, 48), kRed);
  EXPECT_NE(PixelAt(frame, 100, 48), kRed);
}

TEST_F(GraphCtrlTest, KeepsItsOwnCopyOfTheData) {
  std::vector<float> values(100, 1.0f);
  graph->SetData(values.data(), 100);
  const wxImage before = Paint();
  values.assign(100, 5.0f);
  values.back() = 1.0f;
  EXPECT_TRUE(testing_gui::DifferingPixels(before, Paint()).IsEmpty());
}

TEST_F(GraphCtrlTest, GrowingThePlotFrom90To180RowsDoublesTheGain) {
  Paint();
  EXPECT_FLOAT_EQ(graph->GetGain(), 2000.0f);
  graph->SetSize(598, 186);
  Paint();
  EXPECT_FLOAT_EQ(graph->GetGain(), 4000.0f);
}

TEST_F(GraphCtrlTest, AutomaticGainIsComputedAfreshAtThePaint) {
  std::vector<float> values{0.01f, -0.01f};
  graph->SetData(values.data(), 2);
  graph->SetRelativeToLast(false);
  graph->SetAutoGain(true);
  EXPECT_EQ(graph->GetGain(), 0.0f);
  Paint();
  EXPECT_FLOAT_EQ(graph->GetGain(), 225.0f);
}

using AppIconTest = testing_gui::GuiTest;

TEST_F(AppIconTest, HoldsTheBigAndTheSmallImage) {
  const wxIconBundle icons = LoadAppIcon();
  ASSERT_EQ(icons.GetIconCount(), 2u);
  EXPECT_EQ(icons.GetIcon(wxSize(32, 32)).GetWidth(), 32);
  EXPECT_EQ(icons.GetIcon(wxSize(16, 16)).GetWidth(), 16);
  EXPECT_EQ(LoadSkinBitmap().GetSize(), wxSize(853, 400));
}

}  // namespace
}  // namespace veltrane
