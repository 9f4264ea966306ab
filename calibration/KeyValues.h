#pragma once
// The values of one key as a store holds them, read in one go, and where the reader gets
// them: a hive file in the registry editor's format, or the current user's own store (the
// file the programs write on Linux, the registry on Windows). Any thread; no state.

#include <string>
#include <unordered_map>
#include <vector>

#include <veltrane/calibration.h>

namespace veltrane {

class RegistryHive;

struct FoundValue {
  std::wstring name;
  std::wstring text;  // a string's text; for another type, the store's text of it
  bool isString = true;
};

// Looked up by name through an index, so that a key of many values is listed in time
// proportional to their number.
class KeyValues {
 public:
  // Keeps the first of values whose names are the same (a store holds one).
  void Add(FoundValue value);
  // The value of that name (letter case aside), or nullptr.
  const FoundValue* Find(const std::wstring& name) const;
  // In the store's order; empty when the key does not exist.
  const std::vector<FoundValue>& Values() const { return values; }

 private:
  std::vector<FoundValue> values;
  std::unordered_map<std::wstring, std::size_t> byName;  // folded name -> position
};

// The values of keyPath (below HKEY_CURRENT_USER) in hive.
KeyValues ValuesInHive(const RegistryHive& hive, const std::wstring& keyPath);

// Reads the hive file at path (UTF-8); a missing file is an empty store.
veltrane_calibration_error ValuesInFile(const std::string& path, const std::wstring& keyPath,
                                        KeyValues& out);

// The current user's store, as the programs write it (each system's file defines it).
veltrane_calibration_error ValuesInUserStore(const std::wstring& keyPath, KeyValues& out);

}  // namespace veltrane
