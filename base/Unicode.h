#pragma once
// Unicode's case and white space, the same whatever the process locale is (GTK switches it to
// the user's, and the plain "C" locale knows ASCII only). Any thread.

namespace veltrane {

// The upper case the Windows registry compares names by (its invariant upper-casing).
wchar_t UpperCase(wchar_t c);

// Blank, tab, CR, LF, VT, FF and the Unicode spaces.
bool IsWhiteSpace(wchar_t c);

}  // namespace veltrane
