#include "platform/simulated/MemoryRegistry.h"

#include "base/Text.h"

namespace veltrane {
namespace {

std::wstring NoSuchKey(const std::wstring& path) {
  return FormatText(L"The registry key \"%ls\" does not exist.", path.c_str());
}

}  // namespace

std::optional<RegistryKey> MemoryRegistry::CreateKey(const RegistryKey* parent,
                                                     const std::wstring& subKey) {
  std::lock_guard lock(mutex);
  const std::wstring parentPath = parent == nullptr ? std::wstring() : parent->path;
  bool changed = false;
  auto path = hive.CreateKey(parentPath, subKey, changed);
  if (!path) {
    lastError = WhyNotStorable(subKey, L"", L"");
    if (lastError.empty()) lastError = NoSuchKey(parentPath);
    return std::nullopt;
  }
  return RegistryKey{std::move(*path)};
}

bool MemoryRegistry::SetStringValue(const RegistryKey& key, const std::wstring& name,
                                    const std::wstring& data) {
  std::lock_guard lock(mutex);
  bool changed = false;
  if (hive.SetStringValue(key.path, name, data, changed)) return true;
  lastError = WhyNotStorable(L"", name, data);
  if (lastError.empty()) lastError = NoSuchKey(key.path);
  return false;
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

std::optional<std::vector<StoredString>> MemoryRegistry::ReadStringsBelow(
    const std::wstring& path) {
  std::lock_guard lock(mutex);
  return hive.StringsBelow(path);
}

bool MemoryRegistry::StoreStringValue(const std::wstring& keyPath, const std::wstring& name,
                                      const std::wstring& data) {
  {
    std::lock_guard lock(mutex);
    lastError = WhyNotStorable(keyPath, name, data);
    if (!lastError.empty()) return false;
  }
  // Through the operations one at a time, so that a test's registry that refuses one of
  // them refuses the store too.
  return Registry::StoreStringValue(keyPath, name, data);
}

bool MemoryRegistry::CanStore(const std::wstring& keyPath, const std::wstring& name,
                              std::wstring& reason) {
  reason = WhyNotStorable(keyPath, name, L"");
  return reason.empty();
}

std::wstring MemoryRegistry::LastError() const {
  std::lock_guard lock(mutex);
  return lastError;
}

}  // namespace veltrane
