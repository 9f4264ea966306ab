// veltrane-inputs: prints the names of the recording devices, one a line, as the calibration
// expects them in the first field of its command line. Honours VELTRANE_AUDIO.

#include <cstdio>
#include <string>

#include "Services.h"
#include "Text.h"

int main() {
  veltrane::PlatformServices services;
  std::wstring error;
  if (!veltrane::MakePlatformServices(services, error)) {
    std::fprintf(stderr, "%s\n", veltrane::ToUtf8(error).c_str());
    return 2;
  }
  const std::uint32_t count = services.audio->GetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    veltrane::WaveInCaps caps;
    if (services.audio->GetDevCaps(id, caps) == veltrane::MMSYSERR_NOERROR) {
      std::printf("%s\n", veltrane::ToUtf8(caps.productName).c_str());
    }
  }
  return 0;
}
