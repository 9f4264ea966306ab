#pragma once
// The current user's hive kept in a file in the registry editor's text format
// ("Windows Registry Editor Version 5.00", UTF-8). Every write re-reads the file under an
// advisory lock, changes only its own key or value and replaces the file atomically; a file
// it cannot parse is never replaced.

#include <string>

#include "Registry.h"

namespace veltrane {

class RegistryFile : public Registry {
 public:
  explicit RegistryFile(std::string path);
  std::optional<RegistryKey> CreateKey(const RegistryKey* parent,
                                       const std::wstring& subKey) override;
  bool SetStringValue(const RegistryKey& key, const std::wstring& name,
                      const std::wstring& data) override;
  void CloseKey(RegistryKey& key) override;
  bool KeyExists(const std::wstring& path) override;
  std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                             const std::wstring& name) override;

 private:
  std::string path;
};

}  // namespace veltrane
