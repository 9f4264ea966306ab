#pragma once
// The registry editor's text format ("Windows Registry Editor Version 5.00"), limited to what
// this hive holds: keys of HKEY_CURRENT_USER with string values, in UTF-8. Anything else
// (other hives, other value types, comments, deletions) is refused rather than dropped on
// the next write. Pure functions; any thread.

#include <optional>
#include <string>

#include "RegistryHive.h"

namespace veltrane {

// nullopt when bytes are not a file in the format that FormatHive writes.
std::optional<RegistryHive> ParseHive(const std::string& bytes);

std::string FormatHive(const RegistryHive& hive);

}  // namespace veltrane
