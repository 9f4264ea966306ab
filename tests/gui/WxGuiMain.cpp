// main() of the GUI test programs: wxWidgets runs without a main window and without its
// own event loop; tests pump events themselves. Listing the tests needs no display, so test
// discovery works on machines without one, and without a display the tests are skipped.
#include <wx/app.h>
#include <wx/init.h>

#include <chrono>
#include <thread>

#include "tests/gui/WxGuiTest.h"

namespace veltrane::testing_gui {

void PumpEvents(std::chrono::milliseconds duration) {
  PumpUntil([] { return false; }, duration);
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool GuiTest::displayOpen = false;

void GuiTest::SetUp() {
  if (!displayOpen) GTEST_SKIP() << "no display: run under xvfb-run -a";
}

void WindowTest::SetUp() {
  GuiTest::SetUp();
  if (IsSkipped()) return;
  frame = new wxFrame(nullptr, wxID_ANY, "controls test", wxPoint(0, 0), wxSize(900, 500));
  panel = new wxPanel(frame);
  frame->Show();
  PumpEvents(std::chrono::milliseconds(30));
}

void WindowTest::TearDown() {
  if (frame == nullptr) return;
  frame->Destroy();
  wxTheApp->ProcessIdle();
}

Rgb PixelAt(const wxImage& image, int x, int y) {
  return {image.GetRed(x, y), image.GetGreen(x, y), image.GetBlue(x, y)};
}

void PrintTo(const Rgb& rgb, std::ostream* os) {
  *os << "RGB(" << rgb.r << "," << rgb.g << "," << rgb.b << ")";
}

wxRect DifferingPixels(const wxImage& a, const wxImage& b) {
  wxRect box;
  for (int y = 0; y < a.GetHeight(); ++y) {
    for (int x = 0; x < a.GetWidth(); ++x) {
      if (PixelAt(a, x, y) == PixelAt(b, x, y)) continue;
      box = box.IsEmpty() ? wxRect(x, y, 1, 1) : box.Union(wxRect(x, y, 1, 1));
    }
  }
  return box;
}

}  // namespace veltrane::testing_gui

// Sanitizer builds: the desktop libraries synchronise in code that ThreadSanitizer cannot
// see (they are not built with it), so the memory functions they call are not checked.
// The program's own accesses stay checked, also when GTK's main loop calls its handlers.
// fontconfig, D-Bus and GLib keep caches for the life of the process.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n"
         "called_from_lib:libfontconfig.so.1\n"
         "called_from_lib:libpangoft2-1.0.so.0\n"
         // wxWidgets releases GDK's global lock when it yields without having taken it.
         "mutex:libgdk-3.so.0\n";
}
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n"
         "leak:libglib-2.0.so\n";
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) return RUN_ALL_TESTS();
  veltrane::testing_gui::GuiTest::displayOpen = true;
  const int result = RUN_ALL_TESTS();
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
