#include "CalibrationThread.h"

#include <cmath>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

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


// Which step of setting up the recording failed first; Started when none did.
enum class CaptureStep { Started, Open, Buffer, Prepare, AddBuffer, Start };

// The open device with its one big buffer and the header that hands it over. Begin acquires
// them in order; the destructor undoes whatever was acquired, in reverse. Worker thread.
class CaptureSession {
 public:
  explicit CaptureSession(RunState& state) : state(state) {}
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  ~CaptureSession() {
    if (!device) return;
    device->Reset();
    if (prepared) device->UnprepareHeader(header);
    device->Close();
  }

  CaptureStep Begin() {
    // Refused before anything is opened or allocated; the dialog refuses such a rate too.
    if (!RateFitsBuffer(state.nominalRate)) {
      TraceCalibration(FormatText(L"The sample rate %d does not fit the sound buffer",
                                  static_cast<int>(state.nominalRate)),
                       __LINE__);
      return CaptureStep::Buffer;
    }
    device = OpenWaveIn(state, static_cast<std::uint32_t>(state.deviceId));
    if (!device) {
      TraceCalibration(L"OpenWaveIn failed", __LINE__);
      return CaptureStep::Open;
    }
    TraceCalibration(L"OpenWaveIn succeeded", __LINE__);
    const std::size_t bufferBytes = static_cast<std::size_t>(state.nominalRate) * kBufferSeconds;
    buffer.reset(new (std::nothrow) std::uint8_t[bufferBytes]);
    if (!buffer) {
      TraceCalibration(L"Failed to create the sound buffer", __LINE__);
      return CaptureStep::Buffer;
    }
    header.data = buffer.get();
    header.bufferLength = static_cast<std::uint32_t>(bufferBytes);
    header.user = reinterpret_cast<std::uintptr_t>(&state);
    header.flags = 0;
    if (!Succeeded(device->PrepareHeader(header), L"waveInPrepareHeader")) {
      return CaptureStep::Prepare;
    }
    prepared = true;
    if (!Succeeded(device->AddBuffer(header), L"waveInAddBuffer")) return CaptureStep::AddBuffer;
    if (!Succeeded(device->Start(), L"waveInStart")) return CaptureStep::Start;
    return CaptureStep::Started;
  }

  WaveInDevice& Device() { return *device; }

 private:
  bool Succeeded(MMResult result, const wchar_t* call) {
    if (result == MMSYSERR_NOERROR) return true;
    TraceCalibration(FormatText(L"%ls failed (%ls)", call,
                                state.services.audio->GetErrorText(result).c_str()),
                     __LINE__);
    return false;
  }

  RunState& state;
  std::unique_ptr<WaveInDevice> device;
  std::unique_ptr<std::uint8_t[]> buffer;
  WaveHeader header;
  bool prepared = false;
};

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

void WaveInCallback(WaveInDevice* /*device*/, std::uint32_t msg, WaveHeader* header) {
  if (msg != WIM_DATA || header == nullptr || (header->flags & WHDR_DONE) == 0) return;
  auto* state = reinterpret_cast<RunState*>(header->user);
  if (state == nullptr) return;
  if (!state->stopRequested && header->bytesRecorded < header->bufferLength) {
    // The dialog only learns that the run failed; the back end's text says why (an overrun,
    // a suspend, a device unplugged, a sound server gone).
    TraceCalibration(FormatText(L"The sound buffer came back early after %u bytes: %ls",
                                header->bytesRecorded,
                                state->services.audio->GetErrorText(MMSYSERR_ERROR).c_str()),
                     __LINE__);
  }
  state->Post(WM_CAPTURE_BUFFER_RETURNED, 0, 0);
}

std::unique_ptr<WaveInDevice> OpenWaveIn(RunState& state, std::uint32_t deviceId) {
  WaveFormat format;
  format.formatTag = WAVE_FORMAT_PCM;
  format.channels = 1;
  format.samplesPerSec = static_cast<std::uint32_t>(state.nominalRate);
  format.avgBytesPerSec = static_cast<std::uint32_t>(state.nominalRate);
  format.blockAlign = 1;
  format.bitsPerSample = 8;

  Audio& audio = *state.services.audio;
  std::unique_ptr<WaveInDevice> device;
  MMResult result = audio.Open(device, deviceId, format, WaveInCallback,
                               CALLBACK_FUNCTION | WAVE_FORMAT_DIRECT | WAVE_ALLOWSYNC);
  if (result == MMSYSERR_INVALFLAG) {
    result = audio.Open(device, deviceId, format, WaveInCallback,
                        CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
  }
  if (result != MMSYSERR_NOERROR || !device) {
    // The number alone tells a user nothing: the platform's text for it follows, with
    // whatever detail the back end gave (resampling refused, server gone).
    const std::wstring text = audio.GetErrorText(result);
    TraceCalibration(FormatText(L"waveInOpen failed: %d (%ls)", static_cast<int>(result),
                                text.c_str()),
                     __LINE__);
    state.ShowMessageBox(FormatText(L"%d\n%ls", static_cast<int>(result), text.c_str()),
                         MessageIcon::Exclamation);
    return nullptr;
  }
  device->Reset();
  return device;
}

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
