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

// A string value as a reader finds it: the path of its key, its name and its text.
struct StoredString {
  std::wstring keyPath;
  std::wstring name;
  std::wstring data;
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
  // Every string value of the key path and of the keys below it, in the store's order; empty
  // when there is no such key, nullopt when the store cannot be read (or cannot list).
  virtual std::optional<std::vector<StoredString>> ReadStringsBelow(const std::wstring& path) {
    (void)path;
    return std::nullopt;
  }

  // Creates every missing level of keyPath below the root and stores the string value in
  // its key. This default opens one level at a time, as the operations above do; a back end
  // whose every operation rewrites its store does it all in one change. False on failure.
  virtual bool StoreStringValue(const std::wstring& keyPath, const std::wstring& name,
                                const std::wstring& data);

  // True when StoreStringValue(keyPath, name, ...) can be expected to succeed now: the names
  // are valid and the store can be read, understood and written. Writes nothing. reason
  // says why not, naming the store and the cause. This default checks the names only.
  virtual bool CanStore(const std::wstring& keyPath, const std::wstring& name,
                        std::wstring& reason);

  // Why the last operation that failed failed, as a sentence for the user naming the store
  // and the cause; empty when the back end cannot tell. Call it on the thread that made the
  // failed call, before the next one.
  virtual std::wstring LastError() const { return {}; }
};

}  // namespace veltrane
