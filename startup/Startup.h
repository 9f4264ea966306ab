#pragma once
// Chooses the platform's services for this run from the environment:
// VELTRANE_AUDIO=simulated[:options] puts the simulated recording device in place of the
// real ones, and with it VELTRANE_TIME_SCALE=N runs every clock and sleep N times faster;
// VELTRANE_REGISTRY_FILE names the file that holds the current user's registry.
// Front ends call these once at start-up.

#include <memory>
#include <string>

#include "platform/PlatformServices.h"
#include "platform/Registry.h"

namespace veltrane {

// Reads VELTRANE_AUDIO and VELTRANE_TIME_SCALE. On a malformed setting, returns false and
// says why in error; services then hold the real platform.
bool MakePlatformServices(PlatformServices& services, std::wstring& error);

// The current user's registry: the file named by VELTRANE_REGISTRY_FILE, or the default
// file under $XDG_CONFIG_HOME (default ~/.config); on Windows the registry itself.
std::shared_ptr<Registry> MakeUserRegistry();

// The path MakeUserRegistry uses, for messages and documentation ("HKEY_CURRENT_USER" on
// Windows).
std::string UserRegistryPath();

}  // namespace veltrane
