#include "platform/RegistryHive.h"

#include <type_traits>
#include <utility>

#include "base/Unicode.h"

namespace veltrane {
namespace {

// Names compare as the Windows registry compares them, upper-cased. Two names are the same
// exactly when their folded forms are equal, so the folded form serves as the key of the
// indexes.
std::wstring Folded(const std::wstring& text) {
  std::wstring folded(text.size(), L'\0');
  for (std::size_t i = 0; i < text.size(); ++i) folded[i] = UpperCase(text[i]);
  return folded;
}

std::wstring ValueSlot(const std::wstring& foldedPath, const std::wstring& name) {
  return foldedPath + L'\n' + Folded(name);
}

std::wstring JoinPath(const std::wstring& parent, const std::wstring& level) {
  return parent.empty() ? level : parent + L'\\' + level;
}

// The registry counts UTF-16 code units; where wchar_t holds whole code points (Linux), one
// beyond U+FFFF takes two.
// A template, so that the comparison is not compiled where wchar_t cannot hold such a value.
template <typename Char>
std::size_t Utf16Length(const std::basic_string<Char>& text) {
  std::size_t units = text.size();
  if constexpr (sizeof(Char) > 2) {
    for (const Char c : text) units += c > 0xFFFF ? 1 : 0;
  }
  return units;
}

// The start of a long name, enough to recognise it in a message.
std::wstring Abbreviated(const std::wstring& text) {
  constexpr std::size_t kShown = 40;
  return text.size() <= kShown ? text : text.substr(0, kShown) + L"\u2026";
}

// Empty when the key path levels keep to the registry's limits, else why not. The levels
// before the first new one exist already and are taken as they are.
std::wstring WhyNotWithinKeyLimits(const std::vector<std::wstring>& levels,
                                   std::size_t firstNew = 0) {
  std::size_t units = levels.empty() ? 0 : levels.size() - 1;  // the separators
  for (const std::wstring& level : levels) units += Utf16Length(level);
  for (std::size_t i = firstNew; i < levels.size(); ++i) {
    const std::wstring& level = levels[i];
    if (Utf16Length(level) > kMostKeyNameUnits) {
      return L"The registry folder cannot be stored: its level \"" + Abbreviated(level) +
             L"\" is " + std::to_wstring(Utf16Length(level)) +
             L" characters long, and the registry allows at most " +
             std::to_wstring(kMostKeyNameUnits) + L" in a key name.";
    }
    // The mark that a decoder leaves for bytes that were not UTF-8: the name the user meant
    // is lost, and a key named with it would never be found again by that name.
    if (level.find(L'\uFFFD') != std::wstring::npos) {
      return L"The registry folder cannot be stored: its level \"" + Abbreviated(level) +
             L"\" holds U+FFFD, the mark of bytes that are not valid UTF-8. Give the folder "
             L"in UTF-8.";
    }
  }
  if (levels.size() > kMostKeyLevels) {
    return L"The registry folder cannot be stored: the key path has " +
           std::to_wstring(levels.size()) + L" levels, and the registry allows at most " +
           std::to_wstring(kMostKeyLevels) + L".";
  }
  if (units > kMostKeyPathUnits) {
    return L"The registry folder cannot be stored: the key path is " + std::to_wstring(units) +
           L" characters long, and at most " + std::to_wstring(kMostKeyPathUnits) +
           L" are kept whole by the registry.";
  }
  return {};
}

std::wstring WhyNotWithinValueNameLimit(const std::wstring& name) {
  if (Utf16Length(name) <= kMostValueNameUnits) return {};
  return L"The value name cannot be stored: it is " + std::to_wstring(Utf16Length(name)) +
         L" characters long, and the registry allows at most " +
         std::to_wstring(kMostValueNameUnits) + L".";
}

}  // namespace

std::wstring FoldedRegistryName(const std::wstring& name) { return Folded(name); }

bool SameRegistryName(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && UpperCase(a[i]) != UpperCase(b[i])) return false;
  }
  return true;
}

bool IsStorableRegistryText(const std::wstring& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned long>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
    if (c == 0 || c == L'\r' || c == L'\n') return false;
    // Where wchar_t holds UTF-16 (Windows), a character beyond U+FFFF is a surrogate pair.
    if (sizeof(wchar_t) == 2 && IsHighSurrogate(c) && i + 1 < text.size() &&
        IsLowSurrogate(static_cast<std::make_unsigned_t<wchar_t>>(text[i + 1]))) {
      ++i;
      continue;
    }
    if (!IsScalarValue(c)) return false;
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

std::wstring WhyNotStorable(const std::wstring& keyPath, const std::wstring& name,
                            const std::wstring& data) {
  const auto levels = SplitRegistryPath(keyPath);
  if (!levels) {
    return L"The registry folder is not a valid key path: one of its levels is empty or holds "
           L"a line break, a NUL or an invalid character.";
  }
  if (std::wstring why = WhyNotWithinKeyLimits(*levels); !why.empty()) return why;
  if (!IsStorableRegistryText(name)) {
    return L"The value name cannot be stored: it holds a line break, a NUL or an invalid "
           L"character.";
  }
  if (std::wstring why = WhyNotWithinValueNameLimit(name); !why.empty()) return why;
  if (!IsStorableRegistryText(data)) {
    return L"The value cannot be stored: it holds a line break, a NUL or an invalid character.";
  }
  return {};
}

std::optional<std::size_t> RegistryHive::AddKey(const std::wstring& path) {
  if (!SplitRegistryPath(path)) return std::nullopt;
  if (const auto found = FindKey(path)) return found;
  return AppendKey(path);
}

bool RegistryHive::AddValue(std::size_t key, Value value) {
  if (!IsStorableRegistryText(value.name) || !IsStorableRegistryText(value.data)) return false;
  const bool added =
      values.emplace(ValueSlot(Folded(keys[key].path), value.name), keys[key].values.size()).second;
  if (added) keys[key].values.push_back(std::move(value));
  return added;
}

std::optional<std::wstring> RegistryHive::CreateKey(const std::wstring& parentPath,
                                                    const std::wstring& subKey, bool& changed) {
  changed = false;
  std::optional<std::wstring> current = StoredPath(parentPath);
  const auto levels = SplitRegistryPath(subKey);
  if (!current || !levels) return std::nullopt;
  // The parent's levels are there already; the depth and the length count them too.
  auto all = SplitRegistryPath(*current);
  const std::size_t firstNew = all->size();
  all->insert(all->end(), levels->begin(), levels->end());
  if (!WhyNotWithinKeyLimits(*all, firstNew).empty()) return std::nullopt;
  for (const std::wstring& level : *levels) {
    const std::wstring wanted = JoinPath(*current, level);
    current = StoredPath(wanted).value_or(wanted);
    if (!FindKey(*current)) {
      AppendKey(*current);
      changed = true;
    }
  }
  return current;
}

bool RegistryHive::SetStringValue(const std::wstring& path, const std::wstring& name,
                                  const std::wstring& data, bool& changed) {
  changed = false;
  if (!IsStorableRegistryText(name) || !IsStorableRegistryText(data) ||
      !WhyNotWithinValueNameLimit(name).empty()) {
    return false;
  }
  const auto stored = StoredPath(path);
  if (!stored) return false;
  // A key implied by a descendant only gets a section of its own to hold the value.
  const std::size_t key = FindKey(*stored).value_or(keys.size());
  if (key == keys.size()) AppendKey(*stored);
  if (Value* value = FindValue(key, name)) {
    changed = value->data != data || !value->otherType.empty();
    value->data = data;
    value->otherType.clear();
    return true;
  }
  AddValue(key, Value{name, data, {}});
  changed = true;
  return true;
}

std::vector<StoredString> RegistryHive::StringsBelow(const std::wstring& path) const {
  std::vector<StoredString> found;
  const std::wstring folded = Folded(path);
  for (const Key& key : keys) {
    const std::wstring keyFolded = Folded(key.path);
    const bool below = folded.empty() || keyFolded == folded ||
                       (keyFolded.size() > folded.size() && keyFolded[folded.size()] == L'\\' &&
                        keyFolded.compare(0, folded.size(), folded) == 0);
    if (!below) continue;
    for (const Value& value : key.values) {
      if (value.otherType.empty()) found.push_back({key.path, value.name, value.data});
    }
  }
  return found;
}

bool RegistryHive::KeyExists(const std::wstring& path) const {
  return StoredPath(path).has_value();
}

std::optional<std::wstring> RegistryHive::GetStringValue(const std::wstring& path,
                                                         const std::wstring& name) const {
  const auto key = FindKey(path);
  if (!key) return std::nullopt;
  const auto slot = values.find(ValueSlot(Folded(path), name));
  if (slot == values.end()) return std::nullopt;
  const Value& value = keys[*key].values[slot->second];
  if (!value.otherType.empty()) return std::nullopt;
  return value.data;
}

std::optional<std::wstring> RegistryHive::StoredPath(const std::wstring& path) const {
  if (!SplitRegistryPath(path)) return std::nullopt;
  if (path.empty()) return path;
  const auto found = paths.find(Folded(path));
  if (found == paths.end()) return std::nullopt;
  return keys[found->second].path.substr(0, path.size());
}

std::optional<std::size_t> RegistryHive::FindKey(const std::wstring& path) const {
  const auto found = sections.find(Folded(path));
  if (found == sections.end()) return std::nullopt;
  return found->second;
}

std::size_t RegistryHive::AppendKey(const std::wstring& path) {
  const std::size_t position = keys.size();
  const std::wstring folded = Folded(path);
  keys.push_back(Key{path, {}});
  sections.emplace(folded, position);
  // Every ancestor exists through this key; the first key that implied one keeps it. A
  // level that is known already has all its ancestors known too, so the walk up ends there.
  for (std::size_t end = folded.size(); end != 0 && end != std::wstring::npos;
       end = folded.rfind(L'\\', end - 1)) {
    if (!paths.try_emplace(folded.substr(0, end), position).second) break;
  }
  return position;
}

RegistryHive::Value* RegistryHive::FindValue(std::size_t key, const std::wstring& name) {
  const auto slot = values.find(ValueSlot(Folded(keys[key].path), name));
  return slot == values.end() ? nullptr : &keys[key].values[slot->second];
}

}  // namespace veltrane
