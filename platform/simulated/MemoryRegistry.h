#pragma once
// A registry hive in memory, for tests.

#include <map>
#include <mutex>

#include "Registry.h"

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
};

}  // namespace veltrane
