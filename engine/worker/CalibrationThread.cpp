#include "engine/worker/CalibrationThread.h"

#include <cmath>
#include <deque>
#include <system_error>
#include <thread>

#include "engine/Capture.h"
#include "engine/LossDetector.h"
#include "engine/PositionStep.h"
#include "base/Text.h"
#include "engine/worker/Timing.h"
#include "support/Trace.h"

namespace veltrane {
namespace {

constexpr std::uint32_t kPauseMs = 2000;
constexpr std::uint32_t kWarmUpPauses = 2;

// After reporting lost samples the worker waits this long for the dialog's stop, twice the
// dialog's watchdog period, so that the loss and not the worker's end decides how the run ends.
constexpr std::uint32_t kLossStopWaitMs = 10000;
constexpr std::uint32_t kLossStopPollMs = 10;

void TraceCalibration(const std::wstring& message, int line) {
  Trace(L"TR_CALIBRATION", message, L"CalibrationThread", line);
}

// Waits for a step of the position on the worker's time base; a failed query or a counter
// that stood still goes to the trace.
StepSeen WaitForPositionStep(WaveInDevice& device, Timing& timing, RunState& state) {
  const StepSeen seen =
      WaitForPositionStep(device, *state.services.clock, [&] { return timing.ReadMilliseconds(); },
                          state.stopRequested);
  if (seen.wait == StepWait::Failed) {
    TraceCalibration(FormatText(L"waveInGetPosition failed: %u (%ls)", seen.error,
                                state.services.audio->GetErrorText(seen.error).c_str()),
                     __LINE__);
  } else if (seen.wait == StepWait::Stalled) {
    TraceCalibration(L"waveInGetPosition did not advance", __LINE__);
  }
  return seen;
}

// Of the steps seen over kReportSpanMs from the first one, takes the one seen earliest against
// the nominal rate. A sound server that runs in cycles of its own hands our counter's steps over
// with delays that go round with those cycles (on PipeWire from 0 to 4.7 ms for a 10 ms step),
// and a busy computer's look comes late now and then; a report taken at whichever step came
// first after the pause would carry such a delay into the stored value. The earliest of a span
// lies on the device's own line.
constexpr double kReportSpanMs = 100.0;

// The step's frames are those of the first step seen.
StepSeen WaitForEarliestStep(WaveInDevice& device, Timing& timing, RunState& state) {
  StepSeen best = WaitForPositionStep(device, timing, state);
  if (best.wait != StepWait::Stepped) return best;
  const std::uint32_t first = best.position;
  const double msPerFrame = 1000.0 / state.nominalRate;
  double earliest = best.milliseconds;  // the time seen less the frames since the first step
  for (const double until = best.milliseconds + kReportSpanMs;;) {
    const StepSeen next = WaitForPositionStep(device, timing, state);
    if (next.wait != StepWait::Stepped) return next;
    // The counter is unsigned 32-bit; the difference stays right across one wrap.
    const double offset =
        next.milliseconds - static_cast<std::uint32_t>(next.position - first) * msPerFrame;
    if (offset < earliest) {
      earliest = offset;
      best.position = next.position;
      best.milliseconds = next.milliseconds;
    }
    if (next.milliseconds >= until) return best;
  }
}

// The reports wait until the loss detector has judged the step they end on: one that may end
// behind a loss is held back until the steps after it tell, and none is posted once samples
// were lost. On a run without losses every report goes out at once, as before.
class ReportsAfterLossCheck {
 public:
  ReportsAfterLossCheck(RunState& state, std::uint32_t stepFrames, double referenceMs)
      : state(state), losses(state.nominalRate, stepFrames, /*windowSeconds=*/0.0) {
    losses.AddStep(referenceMs * 1e-3, 0);
  }

  // Worker thread, after the step is read. False when samples were lost: the run is over.
  bool Report(double milliseconds, std::uint32_t samples, std::int32_t tenthsOfMs) {
    losses.AddStep(milliseconds * 1e-3, samples);
    if (!losses.Losses().empty()) return false;
    held.push_back({milliseconds * 1e-3, samples, tenthsOfMs});
    while (!held.empty() && held.front().seconds <= losses.JudgedUntil()) {
      state.Post(WM_MEASUREMENT, held.front().samples, held.front().tenthsOfMs);
      held.pop_front();
    }
    return true;
  }

  // Says so in the trace and to the dialog, then waits for its stop.
  void EndWithLoss(Clock& clock) {
    const double lostMs = losses.LostMilliseconds();
    TraceCalibration(
        FormatText(L"Samples were lost without an overrun (losses: %zu, %.1f ms in all)",
                   losses.Losses().size(), lostMs),
        __LINE__);
    if (!state.Post(WM_SAMPLES_LOST, losses.Losses().size(),
                    static_cast<std::intptr_t>(std::lround(lostMs)))) {
      return;
    }
    for (std::uint32_t waited = 0; waited < kLossStopWaitMs && !state.stopRequested;
         waited += kLossStopPollMs) {
      clock.Sleep(kLossStopPollMs);
    }
  }

 private:
  struct Held {
    double seconds;
    std::uint32_t samples;
    std::int32_t tenthsOfMs;
  };
  RunState& state;
  LossDetector losses;
  std::deque<Held> held;
};

void Measure(RunState& state, WaveInDevice& device, Timing& timing) {
  Clock& clock = *state.services.clock;

  for (std::uint32_t counter = kWarmUpPauses; counter > 0;) {
    if (state.stopRequested) return;
    --counter;
    clock.Sleep(kPauseMs);
    if (!state.stopRequested) state.Post(WM_MEASUREMENT, 0, 0);
  }

  const StepSeen reference = WaitForEarliestStep(device, timing, state);
  if (reference.wait != StepWait::Stepped) return;
  const double t0 = reference.milliseconds;
  const double s0 = static_cast<double>(reference.position);
  if (state.stopRequested) return;
  ReportsAfterLossCheck reports(state, reference.stepFrames, t0);

  while (!state.stopRequested) {
    // The span of the previous report's steps is part of the two seconds between reports.
    clock.Sleep(kPauseMs - static_cast<std::uint32_t>(kReportSpanMs));
    const StepSeen step = WaitForEarliestStep(device, timing, state);
    if (step.wait != StepWait::Stepped) return;
    const std::uint32_t position = step.position;
    const double now = step.milliseconds;
    // The counter is unsigned 32-bit; the difference stays right across one wrap.
    const double samples =
        static_cast<double>(static_cast<std::uint32_t>(position - static_cast<std::uint32_t>(s0)));
    const double elapsed = now - t0;
    if (state.stopRequested) return;
    if (!reports.Report(now, static_cast<std::uint32_t>(samples),
                        static_cast<std::int32_t>(elapsed * 0.001 * 10000))) {
      reports.EndWithLoss(clock);
      return;
    }
  }
}

// Every clock the worker may choose counts the raw clock, so a time daemon's slew of the
// system's clock cannot reach the stored value; the value is against this computer's crystal.
void TraceTimeBase(Clock& clock) {
  const ReferenceClockState reference = clock.GetReferenceState();
  std::wstring state = L"unknown";
  if (reference.synchronized) {
    state = *reference.synchronized ? L"synchronized" : L"not synchronized";
  }
  if (reference.frequencyPpm) {
    state += FormatText(L", frequency correction %+.3f ppm", *reference.frequencyPpm);
  }
  TraceCalibration(L"Time base: the raw clock, which no time daemon slews; the value is against "
                   L"this computer's crystal. System clock: " + state,
                   __LINE__);
}

// Chooses the clock, then records and reports until stopped or until the device fails.
void RunWorker(RunState& state) {
  Timing timing(
      *state.services.clock, *state.services.scheduler,
      [&state](const std::wstring& text) { state.ShowMessageBox(text, MessageIcon::Exclamation); });
  if (!timing.SelectClock()) return;
  TraceTimeBase(*state.services.clock);
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
