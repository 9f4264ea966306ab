#pragma once
// Where the current user's registry file is, for the programs and for readers of their values.

#include <string>

namespace veltrane {

// The file named by VELTRANE_REGISTRY_FILE, or $XDG_CONFIG_HOME/veltrane/HKEY_CURRENT_USER.reg,
// where a relative or empty XDG_CONFIG_HOME stands for $HOME/.config (HOME, or the password
// database's home folder when HOME is not set). Any thread.
std::string UserRegistryFilePath();

}  // namespace veltrane
