#include "CalibrationThread.h"

#include <cmath>
#include <system_error>
#include <thread>

#include "Capture.h"
#include "Text.h"
#include "Timing.h"
#include "Trace.h"

namespace veltrane {
namespace {

constexpr std::uint32_t kPauseMs = 2000;
constexpr std::uint32_t kWarmUpPauses = 2;

void TraceCalibration(const std::wstring& message, int line) {
  Trace(L"TR_CALIBRATION", message, L"CalibrationThread", line);
}

enum class StepWait { Stepped, StopRequested, Failed };

// Polls the position until it moves away from the one it starts with, then reads the clock at
// once, so that both ends of every interval lie on a step of the counter. Gives up when a
// stop is requested or the counter stands still for too long.
StepWait WaitForPositionStep(WaveInDevice& device, Timing& timing, RunState& state,
                             std::uint32_t& position, double& milliseconds) {
  std::uint32_t noted = 0;
  MMResult result = device.GetPositionSamples(noted);
  const double waitStart = timing.ReadMilliseconds();
  for (;;) {
    std::uint32_t now = 0;
    if (result == MMSYSERR_NOERROR) result = device.GetPositionSamples(now);
    if (result != MMSYSERR_NOERROR) {
      TraceCalibration(FormatText(L"waveInGetPosition failed: %u (%ls)", result,
                                  state.services.audio->GetErrorText(result).c_str()),
                       __LINE__);
      return StepWait::Failed;
    }
    if (now != noted) {
      milliseconds = timing.ReadMilliseconds();
      position = now;
      return StepWait::Stepped;
    }
    if (state.stopRequested.load(std::memory_order_relaxed)) return StepWait::StopRequested;
    state.services.clock->Pause(kPositionPollPauseUs);
    if (std::fabs(timing.ReadMilliseconds() - waitStart) > kPositionStepTimeoutMs) {
      TraceCalibration(L"waveInGetPosition did not advance", __LINE__);
      return StepWait::Failed;
    }
  }
}

void Measure(RunState& state, WaveInDevice& device, Timing& timing) {
  Clock& clock = *state.services.clock;

  for (std::uint32_t counter = kWarmUpPauses; counter > 0;) {
    if (state.stopRequested) return;
    --counter;
    clock.Sleep(kPauseMs);
    if (!state.stopRequested) state.Post(WM_MEASUREMENT, 0, 0);
  }

  std::uint32_t referencePosition = 0;
  double t0 = 0.0;
  if (WaitForPositionStep(device, timing, state, referencePosition, t0) != StepWait::Stepped) {
    return;
  }
  const double s0 = static_cast<double>(referencePosition);
  if (state.stopRequested) return;

  while (!state.stopRequested) {
    clock.Sleep(kPauseMs);
    std::uint32_t position = 0;
    double now = 0.0;
    if (WaitForPositionStep(device, timing, state, position, now) != StepWait::Stepped) return;
    // The counter is unsigned 32-bit; the difference stays right across one wrap.
    const double samples = static_cast<double>(static_cast<std::uint32_t>(
        position - static_cast<std::uint32_t>(s0)));
    const double elapsed = now - t0;
    if (state.stopRequested) return;
    state.Post(WM_MEASUREMENT, static_cast<std::uintptr_t>(static_cast<std::uint32_t>(samples)),
               static_cast<std::intptr_t>(static_cast<std::int32_t>(elapsed * 0.001 * 10000)));
  }
}

// Chooses the clock, then records and reports until stopped or until the device fails.
void RunWorker(RunState& state) {
  Timing timing(*state.services.clock, *state.services.scheduler,
                [&state](const std::wstring& text) {
                  state.ShowMessageBox(text, MessageIcon::Exclamation);
                });
  if (!timing.SelectClock()) return;
  state.Post(WM_CLOCK_KIND, static_cast<std::uintptr_t>(timing.GetClockKind()), 0);
  state.services.clock->Sleep(kPauseMs);
  TraceCalibration(L"CalibrationThread start", __LINE__);

  // A stop asked for during the clock choice is seen here, before the device is opened,
  // rather than only after the warm-up; the dialog may be gone by then.
  if (!state.stopRequested) {
    CaptureSession capture(state);
    if (capture.Begin() == CaptureStep::Started) Measure(state, capture.Device(), timing);
  }
  TraceCalibration(L"CalibrationThread end", __LINE__);
}

}  // namespace

void CalibrationThread(std::shared_ptr<RunState> state) {
  RunWorker(*state);
  state->MarkWorkerEnded();
}

ThreadLauncher DefaultThreadLauncher() {
  return [](std::function<void()> body) {
    try {
      std::thread worker(std::move(body));
      worker.detach();
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  };
}

}  // namespace veltrane
