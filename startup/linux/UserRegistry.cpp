// Where the current user's registry file lives, and the store on it.

#include <string>

#include "platform/linux/RegistryFile.h"
#include "platform/linux/UserRegistryPath.h"
#include "startup/Startup.h"

namespace veltrane {

// The rule itself is the file back end's, which the calibration reader shares.
std::string UserRegistryPath() { return UserRegistryFilePath(); }

std::shared_ptr<Registry> MakeUserRegistry() {
  return std::make_shared<RegistryFile>(UserRegistryPath());
}

}  // namespace veltrane
