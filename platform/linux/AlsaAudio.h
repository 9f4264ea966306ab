#pragma once
// Recording devices through ALSA: hardware capture devices (opened as plughw: for the sample
// format, never resampled) and the sound-server devices (pulse, pipewire, default).

#include "platform/Audio.h"

namespace veltrane {

struct AlsaCalls;

class AlsaAudio : public Audio {
 public:
  AlsaAudio();
  // Through calls instead of ALSA's own (a test's stand-in); they outlive the object and its
  // devices.
  explicit AlsaAudio(const AlsaCalls& calls);
  ~AlsaAudio() override;
  std::uint32_t GetNumDevs() override;
  MMResult GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) override;
  MMResult Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                const WaveFormat& format, WaveInCompletion callback, std::uint32_t flags) override;
  std::wstring GetErrorText(MMResult code) override;
  std::vector<std::uint32_t> GetNativeRates(std::uint32_t deviceId) override;
  void PreferStepSeconds(double seconds) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace veltrane
