#pragma once
// The keys and string values of one hive, with the naming rules that every registry back end
// shares, so that the memory and the file registry behave alike:
// - key and value names compare without regard to letter case, as the Windows registry
//   does it (each character upper-cased on its own, whatever the process locale is);
// - a key keeps the spelling it was first created with;
// - a key path names every level between the root and the key, and all of them exist;
// - names and data hold no NUL, carriage return or line feed and only Unicode scalar values,
//   because the registry editor's text format, which the file back end keeps, cannot hold
//   them in a string value.
// Not thread-safe: the back ends serialise access.

#include <optional>
#include <string>
#include <vector>

namespace veltrane {

// True when a and b name the same key or value.
bool SameRegistryName(const std::wstring& a, const std::wstring& b);

// True when text may be stored as a value name or as string data.
bool IsStorableRegistryText(const std::wstring& text);

// Splits a key path "A\B" into its levels. nullopt when a level is empty or holds a character
// a key name may not hold. The empty path is the hive's root and has no levels.
std::optional<std::vector<std::wstring>> SplitRegistryPath(const std::wstring& path);

class RegistryHive {
 public:
  struct Value {
    std::wstring name;
    std::wstring data;
  };
  struct Key {
    std::wstring path;  // below the root, levels separated by '\'; "" is the root itself
    std::vector<Value> values;
  };

  RegistryHive() = default;

  // A hive made of keys read from a store, in their order. A key whose ancestors are not
  // listed still implies them, as an imported .reg file does. nullopt when a path or a value
  // breaks the rules above or a key or a value name appears twice.
  static std::optional<RegistryHive> FromKeys(std::vector<Key> keys);

  // Opens or creates subKey below the existing key parentPath and returns the key's path in
  // its stored spelling. Every missing level gets a key of its own. changed tells whether
  // anything was added. nullopt when the parent does not exist or subKey is not a valid path.
  std::optional<std::wstring> CreateKey(const std::wstring& parentPath, const std::wstring& subKey,
                                        bool& changed);

  // Stores a string value in the existing key path, replacing one of the same name.
  // False when the key does not exist or the name or the data cannot be stored.
  bool SetStringValue(const std::wstring& path, const std::wstring& name, const std::wstring& data,
                      bool& changed);

  bool KeyExists(const std::wstring& path) const;
  std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                             const std::wstring& name) const;

  // The keys in the order they were read or created; new keys come last.
  const std::vector<Key>& Keys() const { return keys; }

 private:
  // The stored spelling of an existing key, explicit or implied by a descendant.
  std::optional<std::wstring> StoredPath(const std::wstring& path) const;
  Key* FindKey(const std::wstring& path);
  const Key* FindKey(const std::wstring& path) const;

  std::vector<Key> keys;
};

}  // namespace veltrane
