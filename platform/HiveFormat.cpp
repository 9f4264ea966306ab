#include "platform/HiveFormat.h"

#include <utility>
#include <vector>

#include "base/Text.h"
#include "base/Unicode.h"

namespace veltrane {
namespace {

const wchar_t kHeader[] = L"Windows Registry Editor Version 5.00";
const wchar_t kOldHeader[] = L"REGEDIT4";
const wchar_t kRoot[] = L"HKEY_CURRENT_USER";
const char kUtf8Mark[] = "\xEF\xBB\xBF";
const char kUtf16Mark[] = "\xFF\xFE";

struct Fault {
  std::size_t line;
  const wchar_t* cause;
};

bool IsBlank(const std::wstring& line) {
  return line.find_first_not_of(L" \t") == std::wstring::npos;
}

bool IsHexDigit(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool StartsWith(const std::wstring& text, std::size_t pos, const wchar_t* prefix) {
  return text.compare(pos, std::wstring(prefix).size(), prefix) == 0;
}

// Decoded lines without their line ends. UTF-8 is decoded line by line so that a broken
// character is reported on its own line.
std::optional<std::vector<std::wstring>> SplitUtf8(const std::string& bytes, std::size_t start,
                                                   std::optional<Fault>& fault) {
  std::vector<std::wstring> lines;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    auto line = FromUtf8Strict(std::string_view(bytes).substr(start, end - start));
    if (!line) {
      fault = Fault{lines.size() + 1, L"it is not valid UTF-8"};
      return std::nullopt;
    }
    lines.push_back(std::move(*line));
    start = end + 1;
  }
  return lines;
}

std::optional<std::vector<std::wstring>> SplitUtf16(const std::string& bytes, std::size_t start,
                                                    std::optional<Fault>& fault) {
  if ((bytes.size() - start) % 2 != 0) {
    fault = Fault{0, L"it ends in the middle of a UTF-16 character"};
    return std::nullopt;
  }
  std::vector<std::wstring> lines(1);
  bool lastEnded = false;
  for (std::size_t i = start; i < bytes.size(); i += 2) {
    auto unit = static_cast<unsigned long>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (IsLowSurrogate(unit)) unit = 0x110000;  // a low surrogate alone
    if (IsHighSurrogate(unit)) {
      const unsigned long low =
          i + 3 < bytes.size()
              ? (static_cast<unsigned char>(bytes[i + 2]) |
                 static_cast<unsigned long>(static_cast<unsigned char>(bytes[i + 3])) << 8)
              : 0;
      unit = IsLowSurrogate(low) ? JoinSurrogates(unit, low) : 0x110000;
      i += 2;
    }
    if (unit > 0x10FFFF) {
      fault = Fault{lines.size(), L"it is not valid UTF-16"};
      return std::nullopt;
    }
    lastEnded = unit == L'\n';
    if (lastEnded) {
      lines.emplace_back();
    } else {
      lines.back() += static_cast<wchar_t>(unit);
    }
  }
  if (lastEnded || (lines.size() == 1 && lines[0].empty())) lines.pop_back();
  return lines;
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

// "xx,xx,...": bytes as pairs of hex digits, blanks allowed anywhere.
bool IsHexList(const std::wstring& list) {
  std::wstring digits;
  for (wchar_t c : list) {
    if (c != L' ' && c != L'\t') digits += c;
  }
  if (digits.empty()) return true;
  for (std::size_t i = 0;; i += 3) {
    if (i + 2 > digits.size() || !IsHexDigit(digits[i]) || !IsHexDigit(digits[i + 1])) return false;
    if (i + 2 == digits.size()) return true;
    if (digits[i + 2] != L',') return false;
  }
}

// The text after "hex:" or "hex(n):" begins at pos, or npos when the data is no hex list.
std::size_t HexListStart(const std::wstring& line, std::size_t pos) {
  if (StartsWith(line, pos, L"hex:")) return pos + 4;
  if (!StartsWith(line, pos, L"hex(")) return std::wstring::npos;
  std::size_t end = pos + 4;
  while (end < line.size() && IsHexDigit(line[end])) ++end;
  if (end == pos + 4 || !StartsWith(line, end, L"):")) return std::wstring::npos;
  return end + 2;
}

std::optional<std::wstring> ParseSectionLine(const std::wstring& line, std::optional<Fault>& fault,
                                             std::size_t number) {
  if (line.size() < 2 || line.back() != L']') {
    fault = Fault{number, L"a key line without its closing bracket"};
    return std::nullopt;
  }
  if (line[1] == L'-') {
    fault = Fault{number, L"deleting a key is not supported"};
    return std::nullopt;
  }
  const std::wstring inner = line.substr(1, line.size() - 2);
  const std::wstring root = kRoot;
  if (inner == root) return std::wstring();
  if (inner.size() <= root.size() + 1 || inner.compare(0, root.size(), root) != 0 ||
      inner[root.size()] != L'\\') {
    fault = Fault{number, L"only keys of HKEY_CURRENT_USER are supported"};
    return std::nullopt;
  }
  return inner.substr(root.size() + 1);
}

class Parser {
 public:
  explicit Parser(std::vector<std::wstring> lines) : lines(std::move(lines)) {}

  std::optional<RegistryHive> Parse(RegistryHive::TextForm form, std::optional<Fault>& fault) {
    if (lines.empty()) return Fail(fault, 0, L"it is empty");
    form.crlf = !lines[0].empty() && lines[0].back() == L'\r';
    for (std::wstring& line : lines) {
      if (!line.empty() && line.back() == L'\r') line.pop_back();
    }
    if (lines[0] == kOldHeader) {
      form.regedit4 = true;
    } else if (lines[0] != kHeader) {
      return Fail(fault, 1, L"the first line is not \"Windows Registry Editor Version 5.00\"");
    }
    hive.SetForm(form);
    for (next = 1; next < lines.size();) {
      const std::size_t number = next + 1;
      const std::wstring& line = lines[next++];
      if (line.find_first_of(std::wstring(L"\r\0", 2)) != std::wstring::npos) {
        return Fail(fault, number, L"a NUL character or a stray carriage return");
      }
      if (IsBlank(line) || line[0] == L';') continue;
      if (line[0] == L'[') {
        auto path = ParseSectionLine(line, fault, number);
        if (!path) return std::nullopt;
        key = hive.AddKey(*path);
        if (!key) return Fail(fault, number, L"a key path with an empty or invalid level");
      } else if (line[0] == L'"' || line[0] == L'@') {
        if (!key) return Fail(fault, number, L"a value before the first key");
        const wchar_t* cause = ParseValue(line);
        if (cause != nullptr) return Fail(fault, number, cause);
      } else {
        return Fail(fault, number, L"a line that is not a key, a value or a comment");
      }
    }
    return std::move(hive);
  }

 private:
  static std::optional<RegistryHive> Fail(std::optional<Fault>& fault, std::size_t line,
                                          const wchar_t* cause) {
    fault = Fault{line, cause};
    return std::nullopt;
  }

  // nullptr when the value line (and its continuation lines) was added to the current key.
  const wchar_t* ParseValue(const std::wstring& line) {
    RegistryHive::Value value;
    std::size_t pos = 0;
    if (line[0] == L'@') {
      pos = 1;  // the key's default value, whose name is empty
    } else {
      auto name = ParseQuoted(line, pos);
      if (!name) return L"a malformed value name";
      value.name = std::move(*name);
    }
    if (pos >= line.size() || line[pos] != L'=') return L"a value name not followed by '='";
    ++pos;
    if (pos < line.size() && line[pos] == L'"') {
      auto data = ParseQuoted(line, pos);
      if (!data || pos != line.size()) return L"a malformed string value";
      value.data = std::move(*data);
    } else if (line.compare(pos, std::wstring::npos, L"-") == 0) {
      return L"deleting a value is not supported";
    } else if (StartsWith(line, pos, L"dword:")) {
      if (line.size() != pos + 14) return L"a malformed dword value";
      for (std::size_t i = pos + 6; i < line.size(); ++i) {
        if (!IsHexDigit(line[i])) return L"a malformed dword value";
      }
      value.otherType = line.substr(pos);
    } else if (const std::size_t list = HexListStart(line, pos); list != std::wstring::npos) {
      value.otherType = line.substr(pos);
      std::wstring bytes = line.substr(list);
      while (!bytes.empty() && bytes.back() == L'\\') {
        if (next >= lines.size()) return L"a hex value whose continuation line is missing";
        bytes.pop_back();
        bytes += lines[next];
        value.otherType += L'\n' + lines[next++];
      }
      if (!IsHexList(bytes)) return L"a malformed hex value";
    } else {
      return L"a value of an unknown type";
    }
    if (!hive.AddValue(*key, std::move(value))) return L"a value name that the key holds already";
    return nullptr;
  }

  std::vector<std::wstring> lines;
  std::size_t next = 0;
  RegistryHive hive;
  std::optional<std::size_t> key;
};

// Encodes into the hive's encoding as it goes, so that a large hive is not held twice.
class Writer {
 public:
  explicit Writer(const RegistryHive::TextForm& form) : form(form) {
    if (form.utf16) out += kUtf16Mark;
  }
  void Text(const std::wstring& text) {
    if (!form.utf16) return AppendUtf8(out, text);
    for (wchar_t wc : text) {
      auto c = static_cast<unsigned long>(wc);
      if (!IsScalarValue(c)) c = 0xFFFD;
      if (c >= 0x10000) {
        Unit(HighSurrogateOf(c));
        c = LowSurrogateOf(c);
      }
      Unit(c);
    }
  }
  void LineEnd() { Text(form.crlf ? L"\r\n" : L"\n"); }
  void Quoted(const std::wstring& text) {
    std::wstring escaped = L"\"";
    for (wchar_t c : text) {
      if (c == L'\\' || c == L'"') escaped += L'\\';
      escaped += c;
    }
    Text(escaped + L'"');
  }
  std::string Take() { return std::move(out); }

 private:
  void Unit(unsigned long unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  }

  RegistryHive::TextForm form;
  std::string out;
};

bool IsAscii(const std::wstring& text) {
  for (wchar_t c : text) {
    if (static_cast<unsigned long>(c) > 0x7F) return false;
  }
  return true;
}

bool HoldsOnlyAscii(const RegistryHive& hive) {
  for (const RegistryHive::Key& key : hive.Keys()) {
    if (!IsAscii(key.path)) return false;
    for (const RegistryHive::Value& value : key.values) {
      if (!IsAscii(value.name) || !IsAscii(value.data) || !IsAscii(value.otherType)) return false;
    }
  }
  return true;
}

// The registry editor reads a file without a UTF-16 byte order mark in the system's ANSI
// code page and refuses one that begins with a UTF-8 byte order mark. UTF-8 is therefore
// written only as plain ASCII; any other text goes out as UTF-16LE, as the editor exports.
RegistryHive::TextForm WrittenForm(const RegistryHive& hive) {
  RegistryHive::TextForm form = hive.Form();
  form.utf16 = form.utf16 || !HoldsOnlyAscii(hive);
  return form;
}

}  // namespace

std::optional<RegistryHive> ParseHive(const std::string& bytes, HiveParseError& error) {
  RegistryHive::TextForm form;
  std::optional<Fault> fault;
  std::optional<std::vector<std::wstring>> lines;
  if (bytes.compare(0, 2, kUtf16Mark) == 0) {
    form.utf16 = true;
    lines = SplitUtf16(bytes, 2, fault);
  } else {
    lines = SplitUtf8(bytes, bytes.compare(0, 3, kUtf8Mark) == 0 ? 3 : 0, fault);
  }
  std::optional<RegistryHive> hive;
  if (lines) hive = Parser(std::move(*lines)).Parse(form, fault);
  if (!hive && fault) error = HiveParseError{fault->line, fault->cause};
  return hive;
}

std::optional<RegistryHive> ParseHive(const std::string& bytes) {
  HiveParseError ignored;
  return ParseHive(bytes, ignored);
}

std::string FormatHive(const RegistryHive& hive) {
  const RegistryHive::TextForm form = WrittenForm(hive);
  Writer out(form);
  out.Text(form.regedit4 ? kOldHeader : kHeader);
  out.LineEnd();
  out.LineEnd();
  for (const RegistryHive::Key& key : hive.Keys()) {
    out.Text(L"[" + std::wstring(kRoot) + (key.path.empty() ? L"" : L"\\" + key.path) + L"]");
    out.LineEnd();
    for (const RegistryHive::Value& value : key.values) {
      if (value.name.empty()) {
        out.Text(L"@");
      } else {
        out.Quoted(value.name);
      }
      out.Text(L"=");
      if (value.otherType.empty()) {
        out.Quoted(value.data);
      } else {
        // Continuation lines go out with the hive's own line ends.
        std::size_t start = 0;
        for (std::size_t end; (end = value.otherType.find(L'\n', start)) != std::wstring::npos;
             start = end + 1) {
          out.Text(value.otherType.substr(start, end - start));
          out.LineEnd();
        }
        out.Text(value.otherType.substr(start));
      }
      out.LineEnd();
    }
    out.LineEnd();
  }
  return out.Take();
}

}  // namespace veltrane
