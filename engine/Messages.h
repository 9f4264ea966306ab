#pragma once
// The private messages that the engine posts to the calibration dialog.

#include <cstdint>

namespace veltrane {

constexpr std::uint32_t WM_USER = 0x400;
// The capture buffer came back from the device: full, or returned by a reset.
constexpr std::uint32_t WM_CAPTURE_BUFFER_RETURNED = WM_USER + 1;
// wParam samples since the reference, lParam time since it in tenths of a millisecond.
constexpr std::uint32_t WM_MEASUREMENT = WM_USER + 2;
// wParam the clock kind that the time base chose.
constexpr std::uint32_t WM_CLOCK_KIND = WM_USER + 3;
// The device lost samples without an overrun: wParam times, lParam milliseconds in all. The
// run cannot succeed; the worker waits for the stop.
constexpr std::uint32_t WM_SAMPLES_LOST = WM_USER + 4;

struct PostedMessage {
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

}  // namespace veltrane
