#include "Text.h"

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdarg>
#include <cwchar>
#include <locale.h>
#include <vector>

#include "Utf8.h"

namespace veltrane {

std::string ToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  AppendUtf8(out, text);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0;
    int extra = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out += L'\uFFFD';
      ++i;
      continue;
    }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= n || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not characters; letting
    // them through would hand invalid code points to the GUI and to the registry file.
    static constexpr std::uint32_t kSmallestOfLength[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (c < kSmallestOfLength[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) {
      ok = false;
    }
    if (!ok) {
      out += L'\uFFFD';
      ++i;
      continue;
    }
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return out;
}

std::wstring FormatText(const wchar_t* format, ...) {
  // A private "C" locale for this thread only, so the decimal separator is always '.'.
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  locale_t previous = uselocale(cLocale);
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
  uselocale(previous);
  return std::wstring(buffer.data(), static_cast<std::size_t>(written));
}

}  // namespace veltrane
