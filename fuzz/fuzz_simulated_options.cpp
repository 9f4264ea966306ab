// The simulated device's options come from an environment switch. Any text must either be
// refused with a reason, leaving the options alone, or give options the device can run with.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "platform/simulated/SimulatedAudio.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  veltrane::SimulatedAudioOptions options;
  options.stepFrames = 7;  // not the default, so a refused text that wrote into options shows
  std::wstring error;
  if (!veltrane::ParseSimulatedAudioOptions(text, options, error)) {
    FUZZ_CHECK(!error.empty());
    FUZZ_CHECK(options.stepFrames == 7);
    return 0;
  }
  FUZZ_CHECK(std::isfinite(options.ppm) && options.ppm > -1e6 && options.ppm < 1e6);
  FUZZ_CHECK(options.stepFrames > 0);
  FUZZ_CHECK(std::isfinite(options.jitterUs) && options.jitterUs >= 0.0);
  FUZZ_CHECK(!options.failOpen || *options.failOpen != 0);
  FUZZ_CHECK(!options.stallAfterS || (std::isfinite(*options.stallAfterS) && *options.stallAfterS >= 0.0));
  FUZZ_CHECK(!options.overrunAfterS ||
             (std::isfinite(*options.overrunAfterS) && *options.overrunAfterS >= 0.0));
  return 0;
}
