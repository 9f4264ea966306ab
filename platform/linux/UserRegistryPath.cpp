#include "platform/linux/UserRegistryPath.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include "base/Environment.h"

namespace veltrane {
namespace {

std::string HomeFolder() {
  std::string home = Environment("HOME");
  if (!home.empty()) return home;
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    home = found->pw_dir;
  }
  return home;
}

}  // namespace

std::string UserRegistryFilePath() {
  const std::string named = Environment("VELTRANE_REGISTRY_FILE");
  if (!named.empty()) return named;
  // The XDG rules ignore a relative XDG_CONFIG_HOME.
  std::string config = Environment("XDG_CONFIG_HOME");
  if (config.empty() || config[0] != '/') config = HomeFolder() + "/.config";
  return config + "/veltrane/HKEY_CURRENT_USER.reg";
}

}  // namespace veltrane
