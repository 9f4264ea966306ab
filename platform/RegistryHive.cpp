#include "RegistryHive.h"

#include <locale.h>
#include <wctype.h>

#include <cstddef>

namespace veltrane {
namespace {

// The Windows registry compares names by upper-casing every character. The full Unicode
// case table lives in the C.UTF-8 locale; the process locale may be plain "C" (ASCII only)
// or anything the user chose, so it is not used.
wint_t FoldCase(wchar_t c) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return unicode != static_cast<locale_t>(0) ? towupper_l(static_cast<wint_t>(c), unicode)
                                             : towupper(static_cast<wint_t>(c));
}

// True when the key path ancestor is path itself or one of its ancestors.
bool IsSameOrAncestor(const std::wstring& ancestor, const std::wstring& path) {
  if (ancestor.empty()) return true;
  if (path.size() < ancestor.size()) return false;
  if (path.size() > ancestor.size() && path[ancestor.size()] != L'\\') return false;
  return SameRegistryName(ancestor, path.substr(0, ancestor.size()));
}

std::wstring JoinPath(const std::wstring& parent, const std::wstring& level) {
  return parent.empty() ? level : parent + L'\\' + level;
}

}  // namespace

bool SameRegistryName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool IsStorableRegistryText(const std::wstring& text) {
  for (wchar_t wc : text) {
    const auto c = static_cast<unsigned long>(wc);
    if (c == 0 || c == L'\r' || c == L'\n') return false;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  }
  return true;
}

std::optional<std::vector<std::wstring>> SplitRegistryPath(const std::wstring& path) {
  std::vector<std::wstring> levels;
  if (path.empty()) return levels;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(L'\\', start);
    std::wstring level = path.substr(start, end == std::wstring::npos ? end : end - start);
    if (level.empty() || !IsStorableRegistryText(level)) return std::nullopt;
    levels.push_back(std::move(level));
    if (end == std::wstring::npos) return levels;
    start = end + 1;
  }
}

std::optional<RegistryHive> RegistryHive::FromKeys(std::vector<Key> keys) {
  RegistryHive hive;
  for (Key& key : keys) {
    if (!SplitRegistryPath(key.path) || hive.FindKey(key.path) != nullptr) return std::nullopt;
    for (std::size_t i = 0; i < key.values.size(); ++i) {
      if (!IsStorableRegistryText(key.values[i].name) ||
          !IsStorableRegistryText(key.values[i].data)) {
        return std::nullopt;
      }
      for (std::size_t j = 0; j < i; ++j) {
        if (SameRegistryName(key.values[i].name, key.values[j].name)) return std::nullopt;
      }
    }
    hive.keys.push_back(std::move(key));
  }
  return hive;
}

std::optional<std::wstring> RegistryHive::CreateKey(const std::wstring& parentPath,
                                                    const std::wstring& subKey, bool& changed) {
  changed = false;
  std::optional<std::wstring> current = StoredPath(parentPath);
  const auto levels = SplitRegistryPath(subKey);
  if (!current || !levels) return std::nullopt;
  for (const std::wstring& level : *levels) {
    const std::wstring wanted = JoinPath(*current, level);
    current = StoredPath(wanted).value_or(wanted);
    if (FindKey(*current) == nullptr) {
      keys.push_back(Key{*current, {}});
      changed = true;
    }
  }
  return current;
}

bool RegistryHive::SetStringValue(const std::wstring& path, const std::wstring& name,
                                  const std::wstring& data, bool& changed) {
  changed = false;
  if (!IsStorableRegistryText(name) || !IsStorableRegistryText(data)) return false;
  const auto stored = StoredPath(path);
  if (!stored) return false;
  Key* key = FindKey(*stored);
  if (key == nullptr) {
    // Implied by a descendant only: give it a section of its own to hold the value.
    keys.push_back(Key{*stored, {}});
    key = &keys.back();
  }
  for (Value& value : key->values) {
    if (SameRegistryName(value.name, name)) {
      changed = value.data != data;
      value.data = data;
      return true;
    }
  }
  key->values.push_back(Value{name, data});
  changed = true;
  return true;
}

bool RegistryHive::KeyExists(const std::wstring& path) const {
  return StoredPath(path).has_value();
}

std::optional<std::wstring> RegistryHive::GetStringValue(const std::wstring& path,
                                                         const std::wstring& name) const {
  const Key* key = FindKey(path);
  if (key == nullptr) return std::nullopt;
  for (const Value& value : key->values) {
    if (SameRegistryName(value.name, name)) return value.data;
  }
  return std::nullopt;
}

std::optional<std::wstring> RegistryHive::StoredPath(const std::wstring& path) const {
  if (!SplitRegistryPath(path)) return std::nullopt;
  if (path.empty()) return path;
  for (const Key& key : keys) {
    if (IsSameOrAncestor(path, key.path)) return key.path.substr(0, path.size());
  }
  return std::nullopt;
}

RegistryHive::Key* RegistryHive::FindKey(const std::wstring& path) {
  for (Key& key : keys) {
    if (SameRegistryName(key.path, path)) return &key;
  }
  return nullptr;
}

const RegistryHive::Key* RegistryHive::FindKey(const std::wstring& path) const {
  for (const Key& key : keys) {
    if (SameRegistryName(key.path, path)) return &key;
  }
  return nullptr;
}

}  // namespace veltrane
