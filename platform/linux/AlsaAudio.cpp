#include "platform/linux/AlsaAudio.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/AudioErrors.h"
#include "platform/linux/AlsaCalls.h"
#include "platform/linux/AlsaDeviceList.h"
#include "platform/linux/AlsaErrors.h"
#include "platform/linux/AlsaWaveIn.h"

namespace veltrane {
namespace {

// The reader wakes about once per period. Short enough that the position steps often, long
// enough that the wake-ups cost nothing worth measuring.
constexpr unsigned kPeriodMicroseconds = 10'000;

}  // namespace

struct AlsaAudio::Impl {
  explicit Impl(const AlsaCalls& calls) : calls(calls) {}

  const AlsaCalls& calls;
  std::once_flag listed;
  std::vector<AlsaDeviceEntry> devices;
  std::shared_ptr<ErrorDetails> errors = std::make_shared<ErrorDetails>();
  std::atomic<unsigned> periodMicroseconds{kPeriodMicroseconds};

  // Once per run, so ids stay the same while the program runs.
  const std::vector<AlsaDeviceEntry>& Devices() {
    std::call_once(listed, [this] { devices = ListAlsaDevices(calls); });
    return devices;
  }
};

AlsaAudio::AlsaAudio() : AlsaAudio(RealAlsaCalls()) {}

AlsaAudio::AlsaAudio(const AlsaCalls& calls) : impl(std::make_unique<Impl>(calls)) {
  InstallAlsaMessageHook();
}

AlsaAudio::~AlsaAudio() = default;

std::uint32_t AlsaAudio::GetNumDevs() { return static_cast<std::uint32_t>(impl->Devices().size()); }

MMResult AlsaAudio::GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) {
  const auto& devices = impl->Devices();
  if (deviceId >= devices.size()) return MMSYSERR_BADDEVICEID;
  caps.productName = devices[deviceId].productName;
  return MMSYSERR_NOERROR;
}

MMResult AlsaAudio::Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                         const WaveFormat& format, WaveInCompletion callback, std::uint32_t flags) {
  // Every sample reaches this program unresampled anyway, so WAVE_FORMAT_DIRECT is met as
  // asked; WAVE_ALLOWSYNC means nothing for an input.
  constexpr std::uint32_t kKnownFlags = CALLBACK_FUNCTION | WAVE_FORMAT_DIRECT | WAVE_ALLOWSYNC;
  if ((flags & ~kKnownFlags) != 0 || (flags & CALLBACK_FUNCTION) == 0) {
    return MMSYSERR_INVALFLAG;
  }
  if (!callback) return MMSYSERR_INVALPARAM;
  const auto& devices = impl->Devices();
  if (deviceId >= devices.size()) return MMSYSERR_BADDEVICEID;
  if (format.formatTag != WAVE_FORMAT_PCM || format.channels != 1 || format.bitsPerSample != 8 ||
      format.blockAlign != 1 || format.samplesPerSec == 0 ||
      format.avgBytesPerSec != format.samplesPerSec) {
    impl->errors->Set(WAVERR_BADFORMAT, L"only 8-bit mono PCM is recorded");
    return WAVERR_BADFORMAT;
  }
  const AlsaStreamRequest request{devices[deviceId].pcmName, format.samplesPerSec,
                                  impl->periodMicroseconds.load()};
  return OpenAlsaWaveIn(impl->calls, request, std::move(callback), impl->errors, device);
}

void AlsaAudio::PreferStepSeconds(double seconds) {
  // Within what the ring buffer and a timely stall check allow.
  impl->periodMicroseconds = static_cast<unsigned>(std::clamp(seconds, 0.001, 0.1) * 1e6);
}

std::vector<std::uint32_t> AlsaAudio::GetNativeRates(std::uint32_t deviceId) {
  const auto& devices = impl->Devices();
  if (deviceId >= devices.size()) return {};
  return AlsaNativeRates(impl->calls, devices[deviceId].pcmName);
}

std::wstring AlsaAudio::GetErrorText(MMResult code) {
  std::wstring text = AudioErrorText(code);
  const std::wstring detail = impl->errors->Get(code);
  if (!detail.empty()) text += L" (" + detail + L")";
  return text;
}

}  // namespace veltrane
