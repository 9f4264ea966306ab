#include "base/Text.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <type_traits>
#include <vector>

#include "base/Locale.h"
#include "base/Unicode.h"

namespace veltrane {
namespace {

constexpr wchar_t kReplacementChar = 0xFFFD;

// Where wchar_t holds UTF-16 code units (Windows), a character beyond U+FFFF takes two.
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

void AppendWide(std::wstring& out, std::uint32_t c) {
  if (kWideIsUtf16 && c >= 0x10000) {
    out += static_cast<wchar_t>(HighSurrogateOf(c));
    out += static_cast<wchar_t>(LowSurrogateOf(c));
    return;
  }
  out += static_cast<wchar_t>(c);
}

// The character that starts at text[i] and the number of bytes it takes; 0 bytes when the
// sequence there is malformed.
std::size_t DecodeOne(std::string_view text, std::size_t i, std::uint32_t& c) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t extra = 0;
  std::uint32_t smallest = 0;
  if (lead < 0x80) {
    c = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    c = lead & 0x1Fu;
    extra = 1;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    c = lead & 0x0Fu;
    extra = 2;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    c = lead & 0x07u;
    extra = 3;
    smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - i <= extra) return 0;
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3Fu);
  }
  // Overlong forms, surrogates and values beyond Unicode are as broken as a bad byte;
  // letting them through would hand invalid code points to the GUI and the registry file.
  if (c < smallest || !IsScalarValue(c)) return 0;
  return extra + 1;
}

}  // namespace

void AppendUtf8(std::string& out, const std::wstring& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Through an unsigned type of wchar_t's own width, so a 16-bit unit never sign-extends.
    auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
    if (kWideIsUtf16 && IsHighSurrogate(c) && i + 1 < text.size()) {
      const auto low =
          static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i + 1]));
      if (IsLowSurrogate(low)) {
        c = JoinSurrogates(c, low);
        ++i;
      }
    }
    if (!IsScalarValue(c)) c = kReplacementChar;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

std::wstring FromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t c = 0;
    const std::size_t length = DecodeOne(text, i, c);
    AppendWide(out, length == 0 ? kReplacementChar : c);
    i += length == 0 ? 1 : length;
  }
  return out;
}

std::optional<std::wstring> FromUtf8Strict(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t c = 0;
    const std::size_t length = DecodeOne(text, i, c);
    if (length == 0) return std::nullopt;
    AppendWide(out, c);
    i += length;
  }
  return out;
}

std::wstring FormatText(const wchar_t* format, ...) {
  const ClassicLocaleForThisThread classic;
  // vswprintf reports a buffer that is too small and a text it cannot convert (a narrow
  // "%s" argument outside ASCII) the same way, so the buffer grows only up to a size no
  // message of the program comes near; past it the result is empty.
  constexpr std::size_t kLargestTextUnits = std::size_t{1} << 20;
  std::vector<wchar_t> buffer(256);
  int written = 0;
  for (;;) {
    va_list args;
    va_start(args, format);
    written = std::vswprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (written >= 0 && static_cast<std::size_t>(written) < buffer.size()) break;
    if (buffer.size() >= kLargestTextUnits) {
      written = 0;
      break;
    }
    buffer.resize(std::min(buffer.size() * 4, kLargestTextUnits));
  }
  return std::wstring(buffer.data(), static_cast<std::size_t>(written));
}

namespace {

// The length of the number at the start of text by ReadDecimal's rules (0 when there is none
// there); whole is false when it has a fraction or an exponent.
std::size_t DecimalLength(std::string_view text, bool& whole) {
  const auto digits = [&text](std::size_t i) {
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i;
  };
  std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  const std::size_t integerEnd = digits(i);
  bool anyDigit = integerEnd > i;
  i = integerEnd;
  whole = true;
  if (i < text.size() && text[i] == '.') {
    const std::size_t fractionEnd = digits(i + 1);
    anyDigit = anyDigit || fractionEnd > i + 1;
    i = fractionEnd;
    whole = false;
  }
  if (!anyDigit) return 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t k = i + 1;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
    const std::size_t exponentEnd = digits(k);
    if (exponentEnd == k) return 0;
    i = exponentEnd;
    whole = false;
  }
  return i;
}

// The narrow form of an ASCII text; nullopt when it holds anything else.
std::optional<std::string> Ascii(std::wstring_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) {
    if (static_cast<std::uint32_t>(c) > 0x7F) return std::nullopt;
    narrow += static_cast<char>(c);
  }
  return narrow;
}

void AppendEscape(std::string& out, const char* format, std::uint32_t c) {
  char escape[8];
  std::snprintf(escape, sizeof escape, format, static_cast<unsigned>(c));
  out += escape;
}

}  // namespace

std::optional<double> ReadDecimal(std::string_view text) {
  bool whole = false;
  if (text.empty() || DecimalLength(text, whole) != text.size()) return std::nullopt;
  // from_chars takes no '+', and reads in the "C" locale whatever the process locale is.
  const std::size_t start = text[0] == '+' ? 1 : 0;
  double value = 0.0;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> ReadDecimal(std::wstring_view text) {
  const auto narrow = Ascii(text);
  return narrow ? ReadDecimal(*narrow) : std::nullopt;
}

std::optional<long long> ReadWholeDecimal(std::wstring_view text) {
  const auto narrow = Ascii(text);
  bool whole = false;
  if (!narrow || narrow->empty() || DecimalLength(*narrow, whole) != narrow->size() || !whole) {
    return std::nullopt;
  }
  const std::size_t start = (*narrow)[0] == '+' ? 1 : 0;
  long long value = 0;
  const char* last = narrow->data() + narrow->size();
  const auto [end, error] = std::from_chars(narrow->data() + start, last, value, 10);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> ReadUnsignedDecimal(std::string_view text) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.empty() || !std::all_of(text.begin(), text.end(), isDigit)) return std::nullopt;
  std::uint64_t value = 0;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(text.data(), last, value, 10);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::string ShowableText(std::string_view utf8, bool keepLineFeeds) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    std::uint32_t c = 0;
    const std::size_t length = DecodeOne(utf8, i, c);
    if (length == 0) {
      AppendEscape(out, "\\x%02x", static_cast<unsigned char>(utf8[i]));
      ++i;
      continue;
    }
    if ((c < 0x20 && !(c == '\n' && keepLineFeeds)) || c == 0x7F) {
      AppendEscape(out, "\\x%02x", c);
    } else if ((c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
               (c >= 0x2066 && c <= 0x2069)) {
      AppendEscape(out, "\\u%04x", c);
    } else {
      out.append(utf8.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string ShowableText(const std::wstring& text, bool keepLineFeeds) {
  return ShowableText(ToUtf8(text), keepLineFeeds);
}

}  // namespace veltrane
