#pragma once
// One ALSA stream opened for capture and configured for this program: 8-bit unsigned mono at
// the asked rate, never resampled, started only on demand, stopped by a full ring buffer. The
// configuration runs step by step; a refused step says which call refused it.

#include <poll.h>

#include <string>
#include <vector>

#include "platform/Audio.h"
#include "platform/linux/AlsaCalls.h"

namespace veltrane {

class AlsaPcm {
 public:
  explicit AlsaPcm(const AlsaCalls& calls) : calls(calls) {}
  AlsaPcm(const AlsaPcm&) = delete;
  AlsaPcm& operator=(const AlsaPcm&) = delete;
  ~AlsaPcm() { Close(); }

  // Opens pcmName and configures it. MMSYSERR_NOERROR, or the result code of the refused step,
  // and then FailureText says which call refused and why; nothing stays open.
  MMResult Open(const std::string& pcmName, unsigned rate, unsigned periodMicroseconds);
  void Close();
  snd_pcm_t* Handle() const { return pcm; }
  const std::wstring& FailureText() const { return failureText; }

  // What the open configured.
  snd_pcm_uframes_t PeriodFrames() const { return periodFrames; }
  snd_pcm_uframes_t RingFrames() const { return ringFrames; }
  // No card below the plugin: its pointer may wrap around unnoticed.
  bool WatchUnread() const { return watchUnread; }
  // The driver stamps the count with the instant it read it.
  bool Stamped() const { return stamped; }
  const std::vector<pollfd>& PollDescriptors() const { return pollDescriptors; }

  // One step: its call, the result code when it refuses (kCodeOfError: the code for ALSA's
  // error; kMayRefuse: a refusal is fine), what a refusal means, and the call itself.
  struct Step;
  static constexpr MMResult kCodeOfError = MMSYSERR_NOERROR;
  static constexpr MMResult kMayRefuse = ~MMResult{0};

 private:
  bool RunSteps(const std::vector<Step>& steps);
  bool Refuse(MMResult code, const std::wstring& what, const char* call, int error);
  bool ConfigureHardware(unsigned rate, unsigned periodMicroseconds);
  bool ReadBackHardware(const snd_pcm_hw_params_t* hw, unsigned rate);
  bool ConfigureSoftware();
  bool FindPollDescriptors();

  const AlsaCalls& calls;
  std::string pcmName;
  snd_pcm_t* pcm = nullptr;
  MMResult failureCode = MMSYSERR_NOERROR;
  std::wstring failureText;
  snd_pcm_uframes_t periodFrames = 0;
  snd_pcm_uframes_t ringFrames = 0;
  bool watchUnread = true;
  bool stamped = false;
  std::vector<pollfd> pollDescriptors;
};

}  // namespace veltrane
