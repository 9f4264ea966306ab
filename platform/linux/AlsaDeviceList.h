#pragma once
// The recording devices that ALSA offers: the hardware capture devices (opened as plughw: for
// the sample format, never resampled) and the sound servers' devices, and the rates at which a
// card records without resampling.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/AlsaCalls.h"

namespace veltrane {

struct AlsaDeviceEntry {
  std::string pcmName;
  std::wstring productName;  // short and distinct among the entries
};

// Hardware devices in card and device order, then the sound servers' devices.
std::vector<AlsaDeviceEntry> ListAlsaDevices(const AlsaCalls& calls);

// The usual rates at which pcmName records without resampling; empty for a sound server's
// device, which takes any rate it converts.
std::vector<std::uint32_t> AlsaNativeRates(const AlsaCalls& calls, const std::string& pcmName);

}  // namespace veltrane
