#pragma once
// "Simulated Input": one recording device whose position counter runs against a Clock at a
// chosen true rate error, in steps, with jitter, and with faults on request.

#include <memory>
#include <optional>
#include <string>

#include "Audio.h"
#include "Clock.h"

namespace veltrane {

struct SimulatedAudioOptions {
  double ppm = 0.0;                       // true rate error: rate = nominal × (1 + ppm·1e-6)
  std::uint32_t stepFrames = 441;         // frames per step of the position counter
  double jitterUs = 0.0;                  // timing jitter of each step
  std::optional<MMResult> failOpen;       // refuse to open with this error
  bool rejectDirect = false;              // MMSYSERR_INVALFLAG when WAVE_FORMAT_DIRECT is asked
  std::optional<double> stallAfterS;      // the counter stops advancing after this long
  std::optional<double> overrunAfterS;    // the stream breaks as an overrun would
};

// Parses "ppm=-250,step=441,jitter_us=200,fail_open=4,reject_direct=1,stall_after_s=30,
// overrun_after_s=30" (any subset, any order). False with a reason on a malformed text.
bool ParseSimulatedAudioOptions(const std::string& text, SimulatedAudioOptions& options,
                                std::wstring& error);

class SimulatedAudio : public Audio {
 public:
  SimulatedAudio(std::shared_ptr<Clock> clock, SimulatedAudioOptions options);
  ~SimulatedAudio() override;
  std::uint32_t GetNumDevs() override;
  MMResult GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) override;
  MMResult Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                const WaveFormat& format, WaveInCallback callback, std::uint32_t flags) override;
  std::wstring GetErrorText(MMResult code) override;

 private:
  std::shared_ptr<Clock> clock;
  SimulatedAudioOptions options;
};

}  // namespace veltrane
