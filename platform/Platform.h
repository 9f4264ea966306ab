#pragma once
// Chooses the platform's services for this run from the environment:
// VELTRANE_AUDIO=simulated[:options] puts the simulated recording device in place of the
// real ones, and with it VELTRANE_TIME_SCALE=N runs every clock and sleep N times faster.

#include <memory>
#include <string>

#include "Audio.h"
#include "Clock.h"
#include "Registry.h"
#include "Scheduler.h"

namespace veltrane {

struct PlatformServices {
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Scheduler> scheduler;
  std::shared_ptr<Audio> audio;
  // How many times faster than real time the program's time runs (1 normally).
  // Window timers divide their periods by it.
  double timeScale = 1.0;
};

// Reads VELTRANE_AUDIO and VELTRANE_TIME_SCALE. On a malformed setting, returns false and
// says why in error; services then hold the real platform.
bool MakePlatformServices(PlatformServices& services, std::wstring& error);

// The current user's registry: the file named by VELTRANE_REGISTRY_FILE, or the default
// file under $XDG_CONFIG_HOME (default ~/.config).
std::shared_ptr<Registry> MakeUserRegistry();

// The path MakeUserRegistry uses, for messages and documentation.
std::string UserRegistryPath();

}  // namespace veltrane
