#pragma once
// The keys and values of one hive, with the naming rules that every registry back end
// shares, so that the memory and the file registry behave alike:
// - key and value names compare without regard to letter case, as the Windows registry
//   does it (each character upper-cased on its own, whatever the process locale is);
// - a key keeps the spelling it was first created with;
// - a key path names every level between the root and the key, and all of them exist;
// - names and string data hold no NUL, carriage return or line feed and only Unicode scalar
//   values, because the registry editor's text format, which the file back end keeps,
//   cannot hold them in a string value;
// - what is written keeps to the Windows registry's own limits (kMostKeyNameUnits and the
//   others below), so that a file the editor imports holds nothing the registry refuses.
//   What a store already holds is read as it is.
// Values of other types read from a store are kept as their text and never interpreted.
// Look-ups go through indexes of the case-folded names, so a hive of hundreds of thousands
// of keys loads and changes in time proportional to its size.
// Not thread-safe: the back ends serialise access.

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Registry.h"

namespace veltrane {

// The Windows registry's limits, in UTF-16 code units: one level of a key path, a value
// name, and the levels of a key path below HKEY_CURRENT_USER. The registry takes a key's
// whole name up to 32,767 units, its own name of the user's hive (with the user's SID)
// included, and the editor cuts longer paths short without a word: a key path below
// HKEY_CURRENT_USER is kept well within that.
constexpr std::size_t kMostKeyNameUnits = 255;
constexpr std::size_t kMostValueNameUnits = 16383;
constexpr std::size_t kMostKeyLevels = 512;
constexpr std::size_t kMostKeyPathUnits = 32000;

// True when a and b name the same key or value.
bool SameRegistryName(const std::wstring& a, const std::wstring& b);
// The form in which names compare: two names are the same exactly when these are equal, so it
// serves as the key of an index.
std::wstring FoldedRegistryName(const std::wstring& name);

// True when text may be stored as a value name or as string data.
bool IsStorableRegistryText(const std::wstring& text);

// Splits a key path "A\B" into its levels. nullopt when a level is empty or holds a character
// a key name may not hold. The empty path is the hive's root and has no levels.
std::optional<std::vector<std::wstring>> SplitRegistryPath(const std::wstring& path);

// Empty when a string value name = data may be stored in the key keyPath, within the limits
// above; otherwise why not, as a sentence for the user.
std::wstring WhyNotStorable(const std::wstring& keyPath, const std::wstring& name,
                            const std::wstring& data);

class RegistryHive {
 public:
  struct Value {
    std::wstring name;
    std::wstring data;  // a string value's text
    // A value of another type (dword:, hex:, hex(n):) as the text after '=' that the store
    // held, continuation lines joined by '\n'; empty for a string value.
    std::wstring otherType;
  };
  struct Key {
    std::wstring path;  // below the root, levels separated by '\'; "" is the root itself
    std::vector<Value> values;
  };
  // How the store wrote the hive, so that it is written back the same way.
  struct TextForm {
    bool utf16 = false;     // UTF-16LE, as the registry editor exports; else UTF-8
    bool crlf = false;      // lines end with CR LF
    bool regedit4 = false;  // the older editor's header
  };

  RegistryHive() = default;

  // For a reader of a store: the position of key path's section, added when new. A key may be
  // listed more than once; its values are then merged. A key whose ancestors are not listed
  // still implies them. nullopt when path breaks the rules above.
  std::optional<std::size_t> AddKey(const std::wstring& path);

  // For a reader of a store: adds a value to the key at position key. False when the key
  // holds a value of that name already or the value breaks the rules above.
  bool AddValue(std::size_t key, Value value);

  // Opens or creates subKey below the existing key parentPath and returns the key's path in
  // its stored spelling. Every missing level gets a key of its own. changed tells whether
  // anything was added. nullopt when the parent does not exist or subKey is not a valid path
  // or breaks the registry's limits.
  std::optional<std::wstring> CreateKey(const std::wstring& parentPath, const std::wstring& subKey,
                                        bool& changed);

  // Stores a string value in the existing key path, replacing one of the same name whatever
  // its type. False when the key does not exist or the name or the data cannot be stored
  // (the name's length included).
  bool SetStringValue(const std::wstring& path, const std::wstring& name, const std::wstring& data,
                      bool& changed);

  bool KeyExists(const std::wstring& path) const;
  // nullopt when there is no such value or it is not a string.
  std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                             const std::wstring& name) const;

  // Every string value of the key path and of the keys below it, in the order of Keys().
  std::vector<StoredString> StringsBelow(const std::wstring& path) const;

  // The keys in the order they were read or created; new keys come last.
  const std::vector<Key>& Keys() const { return keys; }

  const TextForm& Form() const { return form; }
  void SetForm(const TextForm& newForm) { form = newForm; }

 private:
  // The stored spelling of an existing key, explicit or implied by a descendant.
  std::optional<std::wstring> StoredPath(const std::wstring& path) const;
  std::optional<std::size_t> FindKey(const std::wstring& path) const;
  std::size_t AppendKey(const std::wstring& path);
  Value* FindValue(std::size_t key, const std::wstring& name);

  std::vector<Key> keys;
  // Case-folded path of every key with a section → its position in keys.
  std::unordered_map<std::wstring, std::size_t> sections;
  // Case-folded path of every existing key, with a section or implied → the first key in
  // keys at or below it, whose path begins with the key's stored spelling.
  std::unordered_map<std::wstring, std::size_t> paths;
  // Case-folded key path, '\n', case-folded value name → the value's position in its key.
  std::unordered_map<std::wstring, std::size_t> values;
  TextForm form;
};

}  // namespace veltrane
