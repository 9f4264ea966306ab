#include "engine/Capture.h"

#include <new>

#include "base/Text.h"
#include "support/Trace.h"

namespace veltrane {
namespace {

void TraceCapture(const std::wstring& message, int line) {
  Trace(L"TR_CALIBRATION", message, L"Capture", line);
}

}  // namespace

CaptureSession::~CaptureSession() {
  if (!device) return;
  device->Reset();
  if (prepared) device->UnprepareHeader(header);
  device->Close();
}

CaptureStep CaptureSession::Begin() {
  // Refused before anything is opened or allocated; the dialog refuses such a rate too.
  if (!RateFitsBuffer(state.nominalRate)) {
    TraceCapture(FormatText(L"The sample rate %d does not fit the sound buffer",
                            static_cast<int>(state.nominalRate)),
                 __LINE__);
    return CaptureStep::Buffer;
  }
  device = OpenWaveIn(state, static_cast<std::uint32_t>(state.deviceId));
  if (!device) {
    TraceCapture(L"OpenWaveIn failed", __LINE__);
    return CaptureStep::Open;
  }
  TraceCapture(L"OpenWaveIn succeeded", __LINE__);
  const std::size_t bufferBytes = static_cast<std::size_t>(state.nominalRate) * kBufferSeconds;
  buffer.reset(new (std::nothrow) std::uint8_t[bufferBytes]);
  if (!buffer) {
    TraceCapture(L"Failed to create the sound buffer", __LINE__);
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

bool CaptureSession::Succeeded(MMResult result, const wchar_t* call) {
  if (result == MMSYSERR_NOERROR) return true;
  TraceCapture(
      FormatText(L"%ls failed (%ls)", call, state.services.audio->GetErrorText(result).c_str()),
      __LINE__);
  return false;
}

void WaveInCallback(WaveInDevice* /*device*/, std::uint32_t msg, WaveHeader* header) {
  if (msg != WIM_DATA || header == nullptr || (header->flags & WHDR_DONE) == 0) return;
  auto* state = reinterpret_cast<RunState*>(header->user);
  if (state == nullptr) return;
  if (!state->stopRequested && header->bytesRecorded < header->bufferLength) {
    // The dialog only learns that the run failed; the back end's text says why (an overrun,
    // a suspend, a device unplugged, a sound server gone).
    TraceCapture(
        FormatText(L"The sound buffer came back early after %u bytes: %ls", header->bytesRecorded,
                   state->services.audio->GetErrorText(MMSYSERR_ERROR).c_str()),
        __LINE__);
  }
  state->Post(WM_CAPTURE_BUFFER_RETURNED, 0, 0);
}

std::unique_ptr<WaveInDevice> OpenWaveIn(RunState& state, std::uint32_t deviceId) {
  const WaveFormat format = MonoEightBitFormat(static_cast<std::uint32_t>(state.nominalRate));

  Audio& audio = *state.services.audio;
  std::unique_ptr<WaveInDevice> device;
  MMResult result = audio.Open(device, deviceId, format, WaveInCallback,
                               CALLBACK_FUNCTION | WAVE_FORMAT_DIRECT | WAVE_ALLOWSYNC);
  if (result == MMSYSERR_INVALFLAG) {
    result =
        audio.Open(device, deviceId, format, WaveInCallback, CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
  }
  if (result != MMSYSERR_NOERROR || !device) {
    // The number alone tells a user nothing: the platform's text for it follows, with
    // whatever detail the back end gave (resampling refused, server gone).
    const std::wstring text = audio.GetErrorText(result);
    TraceCapture(FormatText(L"waveInOpen failed: %d (%ls)", static_cast<int>(result), text.c_str()),
                 __LINE__);
    if (result == WAVERR_BADFORMAT) state.rateRefused = true;
    state.ShowMessageBox(FormatText(L"%d\n%ls", static_cast<int>(result), text.c_str()),
                         MessageIcon::Exclamation);
    return nullptr;
  }
  device->Reset();
  return device;
}

}  // namespace veltrane
