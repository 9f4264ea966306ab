#pragma once
// Support for test programs that need a display (CTest label gui, run under xvfb-run):
// WxGuiMain.cpp starts wxWidgets without a main window; these helpers let the event loop
// do its work while a test waits.

#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/panel.h>

#include <chrono>
#include <functional>

namespace veltrane::testing_gui {

// Handles pending events, paints and timers for the given time.
void PumpEvents(std::chrono::milliseconds duration);

// Handles events until done() is true or the timeout has passed; returns done().
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Base of every test that needs wxWidgets on a display. Without a display (no xvfb-run)
// the test is reported as skipped, so a plain ctest run stays green but shows what it
// did not test.
class GuiTest : public testing::Test {
 public:
  static bool displayOpen;  // set by main() once wxWidgets has started

 protected:
  void SetUp() override;
};

// A shown frame with a panel to put controls on; destroyed after each test.
class WindowTest : public GuiTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  wxFrame* frame = nullptr;
  wxPanel* panel = nullptr;
};

// Pixel access in one line for assertions.
struct Rgb {
  int r = 0;
  int g = 0;
  int b = 0;
  bool operator==(const Rgb&) const = default;
};
Rgb PixelAt(const wxImage& image, int x, int y);
void PrintTo(const Rgb& rgb, std::ostream* os);

// The smallest rectangle holding every pixel in which a and b (of the same size) differ;
// empty when they are equal.
wxRect DifferingPixels(const wxImage& a, const wxImage& b);

}  // namespace veltrane::testing_gui
