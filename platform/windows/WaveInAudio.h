#pragma once
// The recording devices through the waveIn functions themselves. Only the types differ from
// the Audio interface: its headers are mirrored by WAVEHDRs that the device owns, and
// waveIn's callback function hands each buffer back through the interface's callback.

#include "platform/Audio.h"

namespace veltrane {

class WaveInAudio : public Audio {
 public:
  std::uint32_t GetNumDevs() override;
  MMResult GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) override;
  MMResult Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                const WaveFormat& format, WaveInCompletion callback, std::uint32_t flags) override;
  std::wstring GetErrorText(MMResult code) override;
};

}  // namespace veltrane
