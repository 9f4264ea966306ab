#include "platform/linux/AlsaPcm.h"

#include <algorithm>
#include <functional>
#include <memory>

#include "platform/linux/AlsaErrors.h"

namespace veltrane {
namespace {

// The ring buffer holds this much sound, so the reader may be held up by the scheduler for
// about two seconds (half of it, see the reader) before the run fails as an overrun.
constexpr unsigned kBufferMicroseconds = 4'000'000;

}  // namespace

struct AlsaPcm::Step {
  const char* call;
  MMResult code;
  std::wstring what;
  std::function<int()> run;
};

bool AlsaPcm::Refuse(MMResult code, const std::wstring& what, const char* call, int error) {
  failureCode = code == kCodeOfError ? OpenErrorCode(error) : code;
  failureText = FailureDetail(pcmName, what, call, error);
  return false;
}

bool AlsaPcm::RunSteps(const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    const int error = step.run();
    if (error < 0 && step.code != kMayRefuse) return Refuse(step.code, step.what, step.call, error);
  }
  return true;
}

MMResult AlsaPcm::Open(const std::string& name, unsigned rate, unsigned periodMicroseconds) {
  Close();
  ClearAlsaMessage();
  pcmName = name;
  failureCode = MMSYSERR_NOERROR;
  failureText.clear();
  // Non-blocking: a busy hardware device would otherwise wait until it is free.
  const bool opened = RunSteps({{"snd_pcm_open", kCodeOfError, L"cannot open", [&] {
                                   const int error = calls.snd_pcm_open(
                                       &pcm, name.c_str(), SND_PCM_STREAM_CAPTURE,
                                       SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_RESAMPLE);
                                   if (error < 0) pcm = nullptr;
                                   return error;
                                 }}});
  if (opened && ConfigureHardware(rate, periodMicroseconds) && ConfigureSoftware() &&
      FindPollDescriptors()) {
    return MMSYSERR_NOERROR;
  }
  Close();
  return failureCode;
}

void AlsaPcm::Close() {
  if (pcm != nullptr) calls.snd_pcm_close(pcm);
  pcm = nullptr;
}

bool AlsaPcm::ConfigureHardware(unsigned rate, unsigned periodMicroseconds) {
  snd_pcm_hw_params_t* raw = nullptr;
  if (calls.snd_pcm_hw_params_malloc(&raw) < 0) {
    return Refuse(MMSYSERR_NOMEM, L"hw params", "snd_pcm_hw_params_malloc", 0);
  }
  const auto free = calls.snd_pcm_hw_params_free;
  const std::unique_ptr<snd_pcm_hw_params_t, decltype(free)> hw(raw, free);
  unsigned periodTime = periodMicroseconds;
  unsigned bufferTime = kBufferMicroseconds;
  int periodDirection = 0;
  int bufferDirection = 0;
  const bool configured = RunSteps({
      {"snd_pcm_hw_params_any", kCodeOfError, L"no configuration",
       [&] { return calls.snd_pcm_hw_params_any(pcm, hw.get()); }},
      // A resampled stream would run on the resampler's idea of time, not on the device's clock.
      {"snd_pcm_hw_params_set_rate_resample", MMSYSERR_ERROR, L"cannot switch resampling off",
       [&] { return calls.snd_pcm_hw_params_set_rate_resample(pcm, hw.get(), 0); }},
      {"snd_pcm_hw_params_set_access", WAVERR_BADFORMAT, L"no interleaved read access",
       [&] {
         return calls.snd_pcm_hw_params_set_access(pcm, hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED);
       }},
      {"snd_pcm_hw_params_set_format", WAVERR_BADFORMAT, L"no 8-bit unsigned samples",
       [&] { return calls.snd_pcm_hw_params_set_format(pcm, hw.get(), SND_PCM_FORMAT_U8); }},
      {"snd_pcm_hw_params_set_channels", WAVERR_BADFORMAT, L"no mono recording",
       [&] { return calls.snd_pcm_hw_params_set_channels(pcm, hw.get(), 1); }},
      {"snd_pcm_hw_params_set_rate", WAVERR_BADFORMAT,
       L"cannot record at " + std::to_wstring(rate) + L" Hz without resampling",
       [&] { return calls.snd_pcm_hw_params_set_rate(pcm, hw.get(), rate, 0); }},
      // Near values: whatever the device can do close to them is good enough, so a refusal
      // leaves the configuration as it is.
      {"snd_pcm_hw_params_set_period_time_near", kMayRefuse, L"",
       [&] {
         return calls.snd_pcm_hw_params_set_period_time_near(pcm, hw.get(), &periodTime,
                                                             &periodDirection);
       }},
      {"snd_pcm_hw_params_set_buffer_time_near", kMayRefuse, L"",
       [&] {
         return calls.snd_pcm_hw_params_set_buffer_time_near(pcm, hw.get(), &bufferTime,
                                                             &bufferDirection);
       }},
      {"snd_pcm_hw_params", WAVERR_BADFORMAT, L"configuration refused",
       [&] { return calls.snd_pcm_hw_params(pcm, hw.get()); }},
  });
  return configured && ReadBackHardware(hw.get(), rate);
}

bool AlsaPcm::ReadBackHardware(const snd_pcm_hw_params_t* hw, unsigned rate) {
  unsigned acceptedRate = 0;
  int direction = 0;
  const int error = calls.snd_pcm_hw_params_get_rate(hw, &acceptedRate, &direction);
  if (error < 0 || acceptedRate != rate || direction != 0) {
    return Refuse(WAVERR_BADFORMAT,
                  L"runs at " + std::to_wstring(acceptedRate) + L" Hz instead of " +
                      std::to_wstring(rate) + L" Hz",
                  "snd_pcm_hw_params_get_rate", error < 0 ? error : 0);
  }
  periodFrames = 0;
  ringFrames = 0;
  calls.snd_pcm_hw_params_get_period_size(hw, &periodFrames, &direction);
  calls.snd_pcm_hw_params_get_buffer_size(hw, &ringFrames);
  watchUnread = true;
  snd_pcm_info_t* info = nullptr;
  if (snd_pcm_info_malloc(&info) >= 0) {
    watchUnread = calls.snd_pcm_info(pcm, info) < 0 || snd_pcm_info_get_card(info) < 0;
    snd_pcm_info_free(info);
  }
  return true;
}

bool AlsaPcm::ConfigureSoftware() {
  snd_pcm_sw_params_t* raw = nullptr;
  if (calls.snd_pcm_sw_params_malloc(&raw) < 0) {
    return Refuse(MMSYSERR_NOMEM, L"sw params", "snd_pcm_sw_params_malloc", 0);
  }
  const auto free = calls.snd_pcm_sw_params_free;
  const std::unique_ptr<snd_pcm_sw_params_t, decltype(free)> sw(raw, free);
  const std::wstring refused = L"software configuration refused";
  snd_pcm_uframes_t boundary = 0;
  const bool configured = RunSteps({
      {"snd_pcm_sw_params_current", MMSYSERR_ERROR, refused,
       [&] { return calls.snd_pcm_sw_params_current(pcm, sw.get()); }},
      {"snd_pcm_sw_params_get_boundary", MMSYSERR_ERROR, refused,
       [&] { return calls.snd_pcm_sw_params_get_boundary(sw.get(), &boundary); }},
      {"snd_pcm_sw_params_set_avail_min", MMSYSERR_ERROR, refused,
       [&] {
         return calls.snd_pcm_sw_params_set_avail_min(
             pcm, sw.get(), std::max<snd_pcm_uframes_t>(periodFrames, 1));
       }},
      // Started only by Start, never by the first read.
      {"snd_pcm_sw_params_set_start_threshold", MMSYSERR_ERROR, refused,
       [&] { return calls.snd_pcm_sw_params_set_start_threshold(pcm, sw.get(), boundary); }},
      // A full ring buffer stops the stream: lost samples end the run instead of leaving a gap.
      {"snd_pcm_sw_params_set_stop_threshold", MMSYSERR_ERROR, refused,
       [&] { return calls.snd_pcm_sw_params_set_stop_threshold(pcm, sw.get(), ringFrames); }},
  });
  if (!configured) return false;
  // A card's driver stamps the count with the instant it read it, on the clock the program
  // measures with; a plugin's stamp is only the time of the call, no better than our own.
  stamped = !watchUnread &&
            calls.snd_pcm_sw_params_set_tstamp_mode(pcm, sw.get(), SND_PCM_TSTAMP_ENABLE) >= 0 &&
            calls.snd_pcm_sw_params_set_tstamp_type(pcm, sw.get(),
                                                    SND_PCM_TSTAMP_TYPE_MONOTONIC_RAW) >= 0;
  return RunSteps({{"snd_pcm_sw_params", MMSYSERR_ERROR, refused,
                    [&] { return calls.snd_pcm_sw_params(pcm, sw.get()); }}});
}

bool AlsaPcm::FindPollDescriptors() {
  const int count = calls.snd_pcm_poll_descriptors_count(pcm);
  if (count <= 0) {
    return Refuse(MMSYSERR_ERROR, L"no poll descriptors", "snd_pcm_poll_descriptors_count",
                  count);
  }
  pollDescriptors.assign(static_cast<std::size_t>(count), pollfd{-1, 0, 0});
  return RunSteps({{"snd_pcm_poll_descriptors", MMSYSERR_ERROR, L"no poll descriptors", [&] {
                      return calls.snd_pcm_poll_descriptors(pcm, pollDescriptors.data(),
                                                            static_cast<unsigned>(count));
                    }}});
}

}  // namespace veltrane
