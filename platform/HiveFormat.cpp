#include "HiveFormat.h"

#include <utility>
#include <vector>

#include "Text.h"

namespace veltrane {
namespace {

const wchar_t kHeader[] = L"Windows Registry Editor Version 5.00";
const wchar_t kRoot[] = L"HKEY_CURRENT_USER";

// The registry editor's text format, limited to what this hive holds: keys of
// HKEY_CURRENT_USER with string values. Anything else (other hives, other value types,
// comments, deletions) is refused rather than dropped on the next write.

bool IsBlank(const std::wstring& line) {
  return line.find_first_not_of(L" \t") == std::wstring::npos;
}

// Reads a quoted string starting at line[pos] == '"'; leaves pos after the closing quote.
std::optional<std::wstring> ParseQuoted(const std::wstring& line, std::size_t& pos) {
  if (pos >= line.size() || line[pos] != L'"') return std::nullopt;
  std::wstring text;
  for (++pos; pos < line.size(); ++pos) {
    const wchar_t c = line[pos];
    if (c == L'"') {
      ++pos;
      return text;
    }
    if (c == L'\\') {
      if (++pos >= line.size() || (line[pos] != L'\\' && line[pos] != L'"')) return std::nullopt;
      text += line[pos];
    } else {
      text += c;
    }
  }
  return std::nullopt;  // the line ended inside the string
}

std::optional<RegistryHive::Value> ParseValueLine(const std::wstring& line) {
  RegistryHive::Value value;
  std::size_t pos = 0;
  if (line[0] == L'@') {
    pos = 1;  // the key's default value, whose name is empty
  } else {
    auto name = ParseQuoted(line, pos);
    if (!name) return std::nullopt;
    value.name = std::move(*name);
  }
  if (pos >= line.size() || line[pos] != L'=') return std::nullopt;
  ++pos;
  auto data = ParseQuoted(line, pos);
  if (!data || pos != line.size()) return std::nullopt;
  value.data = std::move(*data);
  return value;
}

std::optional<std::wstring> ParseSectionLine(const std::wstring& line) {
  if (line.size() < 2 || line.back() != L']') return std::nullopt;
  const std::wstring inner = line.substr(1, line.size() - 2);
  const std::wstring root = kRoot;
  if (inner == root) return std::wstring();
  if (inner.size() <= root.size() + 1 || inner.compare(0, root.size(), root) != 0 ||
      inner[root.size()] != L'\\') {
    return std::nullopt;
  }
  return inner.substr(root.size() + 1);
}

}  // namespace

std::optional<RegistryHive> ParseHive(const std::string& bytes) {
  std::string body = bytes;
  if (body.compare(0, 3, "\xEF\xBB\xBF") == 0) body.erase(0, 3);
  const auto text = FromUtf8Strict(body);
  if (!text) return std::nullopt;

  std::vector<RegistryHive::Key> keys;
  bool headerSeen = false;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find(L'\n', start);
    if (end == std::wstring::npos) end = text->size();
    std::wstring line = text->substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    if (line.find_first_of(std::wstring(L"\r\0", 2)) != std::wstring::npos) return std::nullopt;

    if (!headerSeen) {
      if (line != kHeader) return std::nullopt;
      headerSeen = true;
    } else if (IsBlank(line)) {
      continue;
    } else if (line[0] == L'[') {
      auto path = ParseSectionLine(line);
      if (!path) return std::nullopt;
      keys.push_back(RegistryHive::Key{std::move(*path), {}});
    } else if (line[0] == L'"' || line[0] == L'@') {
      auto value = ParseValueLine(line);
      if (!value || keys.empty()) return std::nullopt;
      keys.back().values.push_back(std::move(*value));
    } else {
      return std::nullopt;
    }
  }
  if (!headerSeen) return std::nullopt;
  return RegistryHive::FromKeys(std::move(keys));
}

namespace {

void AppendQuoted(std::string& out, const std::wstring& text) {
  out += '"';
  for (wchar_t c : text) {
    if (c == L'\\' || c == L'"') out += '\\';
    AppendUtf8(out, std::wstring(1, c));
  }
  out += '"';
}

}  // namespace

std::string FormatHive(const RegistryHive& hive) {
  std::string out;
  AppendUtf8(out, kHeader);
  out += "\n\n";
  for (const RegistryHive::Key& key : hive.Keys()) {
    out += '[';
    AppendUtf8(out, kRoot);
    if (!key.path.empty()) {
      out += '\\';
      AppendUtf8(out, key.path);
    }
    out += "]\n";
    for (const RegistryHive::Value& value : key.values) {
      if (value.name.empty()) {
        out += '@';
      } else {
        AppendQuoted(out, value.name);
      }
      out += '=';
      AppendQuoted(out, value.data);
      out += '\n';
    }
    out += '\n';
  }
  return out;
}

}  // namespace veltrane
