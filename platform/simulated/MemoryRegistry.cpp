#include "MemoryRegistry.h"

namespace veltrane {

std::optional<RegistryKey> MemoryRegistry::CreateKey(const RegistryKey* parent,
                                                     const std::wstring& subKey) {
  std::lock_guard lock(mutex);
  bool changed = false;
  auto path = hive.CreateKey(parent == nullptr ? std::wstring() : parent->path, subKey, changed);
  if (!path) return std::nullopt;
  return RegistryKey{std::move(*path)};
}

bool MemoryRegistry::SetStringValue(const RegistryKey& key, const std::wstring& name,
                                    const std::wstring& data) {
  std::lock_guard lock(mutex);
  bool changed = false;
  return hive.SetStringValue(key.path, name, data, changed);
}

void MemoryRegistry::CloseKey(RegistryKey&) {}

bool MemoryRegistry::KeyExists(const std::wstring& path) {
  std::lock_guard lock(mutex);
  return hive.KeyExists(path);
}

std::optional<std::wstring> MemoryRegistry::GetStringValue(const std::wstring& path,
                                                           const std::wstring& name) {
  std::lock_guard lock(mutex);
  return hive.GetStringValue(path, name);
}

}  // namespace veltrane
