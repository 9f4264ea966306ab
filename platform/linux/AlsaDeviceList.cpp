#include "platform/linux/AlsaDeviceList.h"

#include <cstdlib>
#include <map>
#include <memory>

#include "base/Text.h"
#include "platform/linux/DeviceNames.h"

namespace veltrane {
namespace {

std::string TakeHint(const AlsaCalls& calls, void* hint, const char* field) {
  char* value = calls.snd_device_name_get_hint(hint, field);
  if (value == nullptr) return std::string();
  std::string text(value);
  std::free(value);
  return text;
}

// The capture devices of one card, named "<pcm> (<card>)".
void ListCardDevices(const AlsaCalls& calls, snd_ctl_t* control, snd_ctl_card_info_t* cardInfo,
                     snd_pcm_info_t* pcmInfo, std::vector<std::string>& pcmNames,
                     std::vector<std::wstring>& names) {
  const std::string cardId = snd_ctl_card_info_get_id(cardInfo);
  const std::wstring cardName = FromUtf8(snd_ctl_card_info_get_name(cardInfo));
  int device = -1;
  while (calls.snd_ctl_pcm_next_device(control, &device) == 0 && device >= 0) {
    snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
    snd_pcm_info_set_subdevice(pcmInfo, 0);
    snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_CAPTURE);
    if (calls.snd_ctl_pcm_info(control, pcmInfo) < 0) continue;  // playback only
    // By card id rather than number, so a card that appears meanwhile does not shift it.
    pcmNames.push_back("plughw:CARD=" + cardId + ",DEV=" + std::to_string(device));
    std::wstring name = HardwareDeviceName(cardName, FromUtf8(snd_pcm_info_get_name(pcmInfo)));
    if (name.empty()) name = FromUtf8("hw:" + cardId + "," + std::to_string(device));
    names.push_back(name);
  }
}

// Hardware capture devices in card and device order.
void ListHardwareDevices(const AlsaCalls& calls, std::vector<std::string>& pcmNames,
                         std::vector<std::wstring>& names) {
  snd_ctl_card_info_t* cardInfo = nullptr;
  snd_pcm_info_t* pcmInfo = nullptr;
  if (snd_ctl_card_info_malloc(&cardInfo) < 0) return;
  if (snd_pcm_info_malloc(&pcmInfo) < 0) {
    snd_ctl_card_info_free(cardInfo);
    return;
  }
  int card = -1;
  while (calls.snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* control = nullptr;
    const std::string controlName = "hw:" + std::to_string(card);
    if (calls.snd_ctl_open(&control, controlName.c_str(), 0) < 0) continue;
    if (calls.snd_ctl_card_info(control, cardInfo) >= 0) {
      ListCardDevices(calls, control, cardInfo, pcmInfo, pcmNames, names);
    }
    calls.snd_ctl_close(control);
  }
  snd_pcm_info_free(pcmInfo);
  snd_ctl_card_info_free(cardInfo);
}

// The sound servers' devices that ALSA's configuration offers for recording, in a fixed order.
// Only the configuration is read: opening them to find out would connect to (or start) a
// server and could take long.
void ListServerDevices(const AlsaCalls& calls, std::vector<std::string>& pcmNames,
                       std::vector<std::wstring>& names) {
  struct Server {
    const char* pcmName;
    const wchar_t* fallbackName;  // when the description is missing or too long to read well
  };
  static const Server servers[] = {
      {"pulse", L"PulseAudio Sound Server"},
      {"pipewire", L"PipeWire Sound Server"},
      {"default", L"Default Input"},
  };
  std::map<std::string, std::string> descriptions;
  void** hints = nullptr;
  if (calls.snd_device_name_hint(-1, "pcm", &hints) < 0) return;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    const std::string name = TakeHint(calls, *hint, "NAME");
    const std::string direction = TakeHint(calls, *hint, "IOID");
    if (!direction.empty() && direction != "Input") continue;
    if (descriptions.count(name) == 0) descriptions[name] = TakeHint(calls, *hint, "DESC");
  }
  calls.snd_device_name_free_hint(hints);
  for (const Server& server : servers) {
    const auto found = descriptions.find(server.pcmName);
    if (found == descriptions.end()) continue;
    std::wstring name = FirstLine(FromUtf8(found->second));
    if (name.empty() || name.size() > kMaxProductNameChars) name = server.fallbackName;
    pcmNames.push_back(server.pcmName);
    names.push_back(name);
  }
}

}  // namespace

std::vector<AlsaDeviceEntry> ListAlsaDevices(const AlsaCalls& calls) {
  std::vector<std::string> pcmNames;
  std::vector<std::wstring> names;
  ListHardwareDevices(calls, pcmNames, names);
  ListServerDevices(calls, pcmNames, names);
  const std::vector<std::wstring> productNames = MakeProductNames(names);
  std::vector<AlsaDeviceEntry> devices;
  for (std::size_t i = 0; i < pcmNames.size(); ++i) {
    devices.push_back(AlsaDeviceEntry{pcmNames[i], productNames[i]});
  }
  return devices;
}

std::vector<std::uint32_t> AlsaNativeRates(const AlsaCalls& calls, const std::string& pcmName) {
  static constexpr std::uint32_t kUsualRates[] = {8000,  11025, 16000, 22050,  32000, 44100,
                                                  48000, 88200, 96000, 176400, 192000};
  snd_pcm_t* opened = nullptr;
  if (calls.snd_pcm_open(&opened, pcmName.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK) < 0) {
    return {};
  }
  const std::unique_ptr<snd_pcm_t, decltype(calls.snd_pcm_close)> pcm(opened, calls.snd_pcm_close);
  snd_pcm_info_t* info = nullptr;
  snd_pcm_info_alloca(&info);
  // Only a card's driver knows its clock's rates; a server's plugin accepts them all.
  if (calls.snd_pcm_info(pcm.get(), info) < 0 || snd_pcm_info_get_card(info) < 0) return {};
  snd_pcm_hw_params_t* raw = nullptr;
  if (calls.snd_pcm_hw_params_malloc(&raw) < 0) return {};
  const std::unique_ptr<snd_pcm_hw_params_t, decltype(calls.snd_pcm_hw_params_free)> hw(
      raw, calls.snd_pcm_hw_params_free);
  if (calls.snd_pcm_hw_params_any(pcm.get(), hw.get()) < 0 ||
      calls.snd_pcm_hw_params_set_rate_resample(pcm.get(), hw.get(), 0) < 0) {
    return {};
  }
  std::vector<std::uint32_t> rates;
  for (const std::uint32_t rate : kUsualRates) {
    if (calls.snd_pcm_hw_params_test_rate(pcm.get(), hw.get(), rate, 0) == 0) {
      rates.push_back(rate);
    }
  }
  return rates;
}

}  // namespace veltrane
