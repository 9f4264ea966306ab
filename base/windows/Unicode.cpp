// Windows has no newlocale; its invariant upper-casing is the one the registry uses, and its
// wide classification is Unicode's in every locale.
#include "base/Unicode.h"

#include <wctype.h>
#include <windows.h>

namespace veltrane {

wchar_t UpperCase(wchar_t c) {
  if (c < 0x80) return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c;  // the common case, fast
  wchar_t upper = c;
  return LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &c, 1, &upper, 1) == 1 ? upper : c;
}

bool IsWhiteSpace(wchar_t c) { return iswspace(static_cast<wint_t>(c)) != 0; }

}  // namespace veltrane
