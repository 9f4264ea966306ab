#pragma once
// A registry hive in memory, for tests. It follows the same naming rules as the file back
// end (see RegistryHive.h). Every operation may be called from any thread.

#include <mutex>

#include "platform/Registry.h"
#include "platform/RegistryHive.h"

namespace veltrane {

class MemoryRegistry : public Registry {
 public:
  std::optional<RegistryKey> CreateKey(const RegistryKey* parent,
                                       const std::wstring& subKey) override;
  bool SetStringValue(const RegistryKey& key, const std::wstring& name,
                      const std::wstring& data) override;
  void CloseKey(RegistryKey& key) override;
  bool KeyExists(const std::wstring& path) override;
  std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                             const std::wstring& name) override;
  std::optional<std::vector<StoredString>> ReadStringsBelow(const std::wstring& path) override;
  bool StoreStringValue(const std::wstring& keyPath, const std::wstring& name,
                        const std::wstring& data) override;
  bool CanStore(const std::wstring& keyPath, const std::wstring& name,
                std::wstring& reason) override;
  std::wstring LastError() const override;

 private:
  mutable std::mutex mutex;
  RegistryHive hive;
  std::wstring lastError;
};

}  // namespace veltrane
