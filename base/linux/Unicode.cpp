// The full Unicode tables live in the C.UTF-8 locale, asked for explicitly; without it (a
// system that lacks it) the process locale's are the best there is.
#include "base/Unicode.h"

#include <locale.h>
#include <wctype.h>

namespace veltrane {
namespace {

locale_t UnicodeLocale() {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return unicode;
}

}  // namespace

wchar_t UpperCase(wchar_t c) {
  if (c < 0x80) return c >= L'a' && c <= L'z' ? c - (L'a' - L'A') : c;  // the common case, fast
  const locale_t unicode = UnicodeLocale();
  return static_cast<wchar_t>(unicode != static_cast<locale_t>(0)
                                  ? towupper_l(static_cast<wint_t>(c), unicode)
                                  : towupper(static_cast<wint_t>(c)));
}

bool IsWhiteSpace(wchar_t c) {
  const locale_t unicode = UnicodeLocale();
  return unicode != static_cast<locale_t>(0) ? iswspace_l(static_cast<wint_t>(c), unicode) != 0
                                             : iswspace(static_cast<wint_t>(c)) != 0;
}

}  // namespace veltrane
