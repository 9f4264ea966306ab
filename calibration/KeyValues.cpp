#include "calibration/KeyValues.h"

#include <optional>
#include <utility>

#include "platform/HiveFile.h"
#include "platform/RegistryHive.h"

namespace veltrane {

void KeyValues::Add(FoundValue value) {
  if (!byName.emplace(FoldedRegistryName(value.name), values.size()).second) return;
  values.push_back(std::move(value));
}

const FoundValue* KeyValues::Find(const std::wstring& name) const {
  const auto found = byName.find(FoldedRegistryName(name));
  return found == byName.end() ? nullptr : &values[found->second];
}

KeyValues ValuesInHive(const RegistryHive& hive, const std::wstring& keyPath) {
  KeyValues found;
  // A key listed twice was merged by the parser: one section at most has the path.
  for (const RegistryHive::Key& key : hive.Keys()) {
    if (!SameRegistryName(key.path, keyPath)) continue;
    for (const RegistryHive::Value& value : key.values) {
      const bool isString = value.otherType.empty();
      found.Add({value.name, isString ? value.data : value.otherType, isString});
    }
    break;
  }
  return found;
}

veltrane_calibration_error ValuesInFile(const std::string& path, const std::wstring& keyPath,
                                        KeyValues& out) {
  std::optional<RegistryHive> hive;
  std::wstring reason;
  switch (ReadHiveFile(path, hive, reason)) {
    case HiveFileRead::Read:
    case HiveFileRead::Missing: break;
    case HiveFileRead::CannotRead: return VELTRANE_CALIBRATION_UNREADABLE;
    case HiveFileRead::NoMemory: return VELTRANE_CALIBRATION_NO_MEMORY;
    case HiveFileRead::TooLarge: return VELTRANE_CALIBRATION_TOO_LARGE;
    case HiveFileRead::NotAHive: return VELTRANE_CALIBRATION_BAD_FORMAT;
  }
  if (!hive) return VELTRANE_CALIBRATION_UNREADABLE;
  out = ValuesInHive(*hive, keyPath);
  return VELTRANE_CALIBRATION_OK;
}

}  // namespace veltrane
