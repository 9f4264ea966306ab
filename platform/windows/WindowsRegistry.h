#pragma once
// The current user's registry itself: keys below HKEY_CURRENT_USER through RegCreateKeyExW,
// string values (REG_SZ) through RegSetValueExW. The registry already compares names without
// regard to letter case and keeps a key's first spelling; the naming rules that the other
// back ends share (RegistryHive.h) are checked here too, so a value stored on Windows can be
// exported to the registry editor's text format and read on Linux alike.

#include <mutex>

#include "platform/Registry.h"

namespace veltrane {

class WindowsRegistry : public Registry {
 public:
  // root: a key path below HKEY_CURRENT_USER that stands in for it (tests use a key of
  // their own); empty for HKEY_CURRENT_USER itself.
  explicit WindowsRegistry(std::wstring root = {});

  std::optional<RegistryKey> CreateKey(const RegistryKey* parent,
                                       const std::wstring& subKey) override;
  bool SetStringValue(const RegistryKey& key, const std::wstring& name,
                      const std::wstring& data) override;
  void CloseKey(RegistryKey& key) override;
  bool KeyExists(const std::wstring& path) override;
  std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                             const std::wstring& name) override;
  std::optional<std::vector<StoredString>> ReadStringsBelow(const std::wstring& path) override;
  std::wstring LastError() const override;

 private:
  std::wstring Below(const std::wstring& path) const;
  void Fail(const std::wstring& what, long code);

  const std::wstring root;
  mutable std::mutex mutex;
  std::wstring lastError;
};

}  // namespace veltrane
