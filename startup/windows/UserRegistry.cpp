// The current user's registry is the real one on Windows; VELTRANE_REGISTRY_FILE has no
// meaning there.

#include <string>

#include "startup/Startup.h"
#include "platform/windows/WindowsRegistry.h"

namespace veltrane {

std::string UserRegistryPath() { return "HKEY_CURRENT_USER"; }

std::shared_ptr<Registry> MakeUserRegistry() { return std::make_shared<WindowsRegistry>(); }

}  // namespace veltrane
