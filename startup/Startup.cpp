#include "startup/Startup.h"

#include <string>
#include <utility>

#include "base/Environment.h"
#include "startup/NativeBackEnds.h"
#include "platform/simulated/ScaledClock.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/SimulatedSystemClock.h"
#include "base/Text.h"

namespace veltrane {
namespace {

// The clock the rest of the program sees: the simulated computer's, where its options ask for
// one, on the scaled or real clock, which stands for true time.
std::shared_ptr<Clock> SimulatedSystem(std::shared_ptr<Clock> trueClock,
                                       const SimulatedAudioOptions& options) {
  if (options.time == SimulatedTimeOptions{}) return trueClock;
  // Without a random start, the daemon's own error is the same draw in every run.
  constexpr std::uint64_t kDaemonErrorStart = 0x5EED;
  return std::make_shared<SimulatedSystemClock>(std::move(trueClock), options.time,
                                                options.randomStart.value_or(kDaemonErrorStart));
}

}  // namespace

bool MakePlatformServices(PlatformServices& services, std::wstring& error) {
  services.clock = MakeNativeClock();
  services.scheduler = MakeNativeScheduler();
  services.timeScale = 1.0;

  const std::string audio = Environment("VELTRANE_AUDIO");
  const std::string scaleText = Environment("VELTRANE_TIME_SCALE");
  if (audio.empty()) {
    services.audio = MakeNativeAudio();
    if (!scaleText.empty()) {
      error = L"VELTRANE_TIME_SCALE works only with VELTRANE_AUDIO=simulated.";
      return false;
    }
    return true;
  }

  const std::string kind = audio.substr(0, audio.find(':'));
  if (kind != "simulated") {
    services.audio = MakeNativeAudio();
    error = L"VELTRANE_AUDIO must be \"simulated\" or \"simulated:<options>\", not \"" +
            FromUtf8(audio) + L"\".";
    return false;
  }
  SimulatedAudioOptions options;
  const auto colon = audio.find(':');
  if (colon != std::string::npos &&
      !ParseSimulatedAudioOptions(audio.substr(colon + 1), options, error)) {
    services.audio = MakeNativeAudio();
    return false;
  }

  if (!scaleText.empty()) {
    const double scale = ReadDecimal(scaleText).value_or(0.0);
    if (!(scale >= 1.0) || scale > 1000.0) {
      services.audio = MakeNativeAudio();
      error = L"VELTRANE_TIME_SCALE must be a number from 1 to 1000, not \"" + FromUtf8(scaleText) +
              L"\".";
      return false;
    }
    services.timeScale = scale;
    services.clock = std::make_shared<ScaledClock>(services.clock, scale);
  }
  services.clock = SimulatedSystem(services.clock, options);
  services.audio = std::make_shared<SimulatedAudio>(services.clock, options);
  return true;
}

}  // namespace veltrane
