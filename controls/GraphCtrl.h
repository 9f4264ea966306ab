#pragma once
// CGraphCtrl: plots an array of values as a line across the control, over the skin, grid
// and bevel frame of CSkinCtrl, with the overlay text in its corner. The line is drawn
// twice, first in a shadow colour one pixel up and to the left, then in the trace colour,
// so that it stays readable on any part of the skin. The gain is fixed or adapts at every
// paint; values can be shown relative to the last one or to their mean.
//
// The control shows the top-left part of the skin bitmap kSkinBitmapId. Every member
// function runs on the GUI thread; none of the setters repaints.

#include <vector>

#include "controls/GraphGeometry.h"
#include "controls/SkinCtrl.h"

namespace veltrane {

class CGraphCtrl : public CSkinCtrl {
 public:
  CGraphCtrl(wxWindow* parent, wxWindowID id, const wxPoint& pos = wxDefaultPosition,
             const wxSize& size = wxDefaultSize);

  // Keeps its own copy of values[0 .. count-1]; count 0 (or null values) plots nothing.
  void SetData(const float* values, int count);
  // Pixels per unit of value.
  void SetGain(float pixelsPerUnit);
  // On: the gain adapts at every paint, starting afresh from 0.
  void SetAutoGain(bool on);
  // Each value is plotted minus the last value, which then lies on the middle row.
  void SetRelativeToLast(bool on);
  // Each value is plotted minus the mean of the sampled values (when not relative to last).
  void SetRelativeToMean(bool on);
  // The plot starts at the peak found in the first quarter and shows three quarters.
  void SetTriggerOnPeak(bool on);
  void SetTraceColours(const wxColour& shadow, const wxColour& trace);

  float GetGain() const { return gain; }

 protected:
  void DrawLiveLayer(wxDC& dc, const PixelRect& area) override;

 private:
  void DrawTrace(wxDC& dc, const PixelRect& area, const float* values, int count);

  wxColour traceColour{255, 100, 100};
  wxColour traceShadowColour{0, 0, 0};
  PixelRect lastArea;
  std::vector<float> data;
  float gain = 1.0f;
  GraphOptions options;
};

}  // namespace veltrane
