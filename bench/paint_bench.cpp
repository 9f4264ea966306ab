// How long one paint of the graph control takes, as the dialog sets it up with its 10000
// values: with the cached background (the normal case), while the overlay text scrolls
// (50 paints a second), and when the background must be rebuilt (after a resize). A paint
// must stay well under the marquee's 20 ms cycle. Needs a display:
//   xvfb-run -a build/paint_bench
#include <benchmark/benchmark.h>
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/init.h>
#include <wx/panel.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "controls/GraphCtrl.h"

namespace {

using veltrane::CGraphCtrl;

constexpr double kCycleMs = 20.0;

struct Window {
  Window() {
    frame = new wxFrame(nullptr, wxID_ANY, "paint bench", wxPoint(0, 0), wxSize(700, 200));
    auto* panel = new wxPanel(frame);
    graph = new CGraphCtrl(panel, 1105, wxPoint(10, 10), wxSize(598, 96));
    graph->SetFrameWidth(6);
    graph->SetGain(2000.0f);
    graph->SetRelativeToLast(true);
    graph->SetTraceColours(wxColour(255, 255, 255), wxColour(255, 0, 0));
    graph->SetGrid(2, 9);
    // A settling history like a calibration's running mean, every slot filled.
    std::vector<float> values(10000);
    for (int i = 0; i < 10000; ++i) {
      values[i] = 1.0f - 0.002f * std::exp(-i / 800.0f) + 0.0002f * std::sin(i * 0.05f);
    }
    graph->SetData(values.data(), static_cast<int>(values.size()));
    graph->SetText(L"Compensation: 0.025%, method 1", veltrane::TextAlign::Right, false, 140,
                   wxColour(160, 160, 160));
    frame->Show();
    for (int i = 0; i < 20; ++i) wxTheApp->Yield(true);
    Paint();
  }
  ~Window() {
    frame->Destroy();
    wxTheApp->ProcessIdle();
  }
  // One paint through the platform: the control composes its frame and copies it out.
  void Paint() {
    graph->Refresh(false);
    graph->Update();
  }

  wxFrame* frame = nullptr;
  CGraphCtrl* graph = nullptr;
};

void GraphPaint(benchmark::State& state) {
  Window window;
  for (auto _ : state) window.Paint();
}
BENCHMARK(GraphPaint)->Unit(benchmark::kMillisecond);

void GraphComposeOnly(benchmark::State& state) {
  Window window;
  for (auto _ : state) benchmark::DoNotOptimize(window.graph->ComposeFrame());
}
BENCHMARK(GraphComposeOnly)->Unit(benchmark::kMillisecond);

void GraphPaintWhileScrolling(benchmark::State& state) {
  Window window;
  window.graph->SetText(
      L"Compensation: 0.025%, method 1 - the device runs a little slow, "
      L"the measurement goes on until the progress bar is full",
      veltrane::TextAlign::Right, false, 140, wxColour(160, 160, 160));
  window.Paint();
  if (!window.graph->IsScrolling()) state.SkipWithError("the text does not scroll");
  for (auto _ : state) {
    window.Paint();
    wxTheApp->Yield(true);  // the marquee's own repaint requests are handled too
  }
}
BENCHMARK(GraphPaintWhileScrolling)->Unit(benchmark::kMillisecond);

void GraphPaintAfterResize(benchmark::State& state) {
  Window window;
  int height = 96;
  for (auto _ : state) {
    height = height == 96 ? 97 : 96;
    window.graph->SetSize(598, height);
    window.Paint();
  }
}
BENCHMARK(GraphPaintAfterResize)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv)) {
    std::fprintf(stderr, "wxWidgets did not start: is there a display (xvfb-run -a)?\n");
    return 1;
  }
  std::printf("budget: a paint must take well under the marquee cycle of %.0f ms\n", kCycleMs);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  wxEntryCleanup();
  return 0;
}
