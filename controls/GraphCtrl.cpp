#include "controls/GraphCtrl.h"

#include <wx/dc.h>

#include <new>

#include "controls/Resources.h"

namespace veltrane {

CGraphCtrl::CGraphCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos, const wxSize& size)
    : CSkinCtrl(parent, id, pos, size) {
  SetBitmapId(kSkinBitmapId);
}

void CGraphCtrl::SetData(const float* values, int count) {
  if (values == nullptr || count <= 0) {
    data.clear();
    return;
  }
  try {
    data.assign(values, values + count);
  } catch (const std::bad_alloc&) {
    // Nothing is plotted until a later SetData succeeds.
    data.clear();
    data.shrink_to_fit();
  }
}

void CGraphCtrl::SetGain(float pixelsPerUnit) { gain = pixelsPerUnit; }

void CGraphCtrl::SetAutoGain(bool on) {
  options.autoGain = on;
  if (on) gain = 0.0f;
}

void CGraphCtrl::SetRelativeToLast(bool on) { options.relativeToLast = on; }

void CGraphCtrl::SetRelativeToMean(bool on) { options.relativeToMean = on; }

void CGraphCtrl::SetTriggerOnPeak(bool on) { options.triggerOnPeak = on; }

void CGraphCtrl::SetTraceColours(const wxColour& shadow, const wxColour& trace) {
  traceShadowColour = shadow;
  traceColour = trace;
}

void CGraphCtrl::DrawLiveLayer(wxDC& dc, const PixelRect& area) {
  if (area != lastArea) {
    // The plot keeps its size relative to the control.
    gain = RescaleGain(gain, lastArea.Height(), area.Height());
    lastArea = area;
  }
  if (!data.empty()) DrawTrace(dc, area, data.data(), static_cast<int>(data.size()));
}

void CGraphCtrl::DrawTrace(wxDC& dc, const PixelRect& area, const float* values, int count) {
  const TracePlan plan = PlanTrace(area, values, count, gain, options);
  gain = plan.gain;
  if (plan.trace.size() < 2) return;

  std::vector<wxPoint> points(plan.trace.size());
  auto drawPass = [&](const std::vector<TracePoint>& pass, const wxColour& colour) {
    for (std::size_t i = 0; i < pass.size(); ++i) points[i] = wxPoint(pass[i].x, pass[i].y);
    wxPen pen(colour, plan.penWidth, wxPENSTYLE_SOLID);
    pen.SetCap(wxCAP_BUTT);
    dc.SetPen(pen);
    dc.DrawLines(static_cast<int>(points.size()), points.data());
  };
  drawPass(plan.shadow, traceShadowColour);
  drawPass(plan.trace, traceColour);
  dc.SetPen(wxNullPen);
}

}  // namespace veltrane
