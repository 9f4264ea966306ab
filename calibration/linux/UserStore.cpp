// On Linux the current user's store is the file the programs write (RegistryFile.h names it).

#include "calibration/KeyValues.h"
#include "platform/linux/UserRegistryPath.h"

namespace veltrane {

veltrane_calibration_error ValuesInUserStore(const std::wstring& keyPath, KeyValues& out) {
  return ValuesInFile(UserRegistryFilePath(), keyPath, out);
}

}  // namespace veltrane
