#include "platform/Registry.h"

#include "platform/RegistryHive.h"

namespace veltrane {

bool Registry::StoreStringValue(const std::wstring& keyPath, const std::wstring& name,
                                const std::wstring& data) {
  const auto levels = SplitRegistryPath(keyPath);
  if (!levels) return false;
  std::optional<RegistryKey> key;
  for (const std::wstring& level : *levels) {
    auto below = CreateKey(key ? &*key : nullptr, level);
    if (key) CloseKey(*key);
    if (!below) return false;
    key = std::move(below);
  }
  if (!key) key = CreateKey(nullptr, L"");  // the root itself
  if (!key) return false;
  const bool stored = SetStringValue(*key, name, data);
  CloseKey(*key);
  return stored;
}

bool Registry::CanStore(const std::wstring& keyPath, const std::wstring& name,
                        std::wstring& reason) {
  reason = WhyNotStorable(keyPath, name, L"");
  return reason.empty();
}

}  // namespace veltrane
