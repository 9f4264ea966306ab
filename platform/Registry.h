#pragma once
// The current user's registry hive: keys below HKEY_CURRENT_USER holding string values.
// Key and value names compare without regard to letter case. Paths use '\' between levels.

#include <optional>
#include <string>
#include <vector>

namespace veltrane {

// An open key: its full path below HKEY_CURRENT_USER, in the letter case first given.
struct RegistryKey {
  std::wstring path;
};

class Registry {
 public:
  virtual ~Registry() = default;

  // Creates or opens subKey below parent (nullptr: the hive's root). subKey may name several
  // levels separated by '\'; every missing level is created. nullopt on failure.
  virtual std::optional<RegistryKey> CreateKey(const RegistryKey* parent,
                                               const std::wstring& subKey) = 0;

  // Stores a string value (REG_SZ) in key, replacing one of the same name. False on failure.
  virtual bool SetStringValue(const RegistryKey& key, const std::wstring& name,
                              const std::wstring& data) = 0;

  // Releases the key. Never fails.
  virtual void CloseKey(RegistryKey& key) = 0;

  // Reading back, as the tuner application does.
  virtual bool KeyExists(const std::wstring& path) = 0;
  virtual std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                                     const std::wstring& name) = 0;
};

}  // namespace veltrane
