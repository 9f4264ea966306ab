#pragma once
// Unicode's case and white space, the same whatever the process locale is (GTK switches it to
// the user's, and the plain "C" locale knows ASCII only), and UTF-16 surrogate pairs for every
// place that reads or writes UTF-16. Any thread.

#include <cstdint>

namespace veltrane {

// The upper case the Windows registry compares names by (its invariant upper-casing).
wchar_t UpperCase(wchar_t c);

// Blank, tab, CR, LF, VT, FF and the Unicode spaces.
bool IsWhiteSpace(wchar_t c);

constexpr bool IsHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// A code point that Unicode gives to characters: up to U+10FFFF and no surrogate.
constexpr bool IsScalarValue(std::uint32_t c) {
  return c <= 0x10FFFF && !IsHighSurrogate(c) && !IsLowSurrogate(c);
}

// The character that a high and a low surrogate stand for together.
constexpr std::uint32_t JoinSurrogates(std::uint32_t high, std::uint32_t low) {
  return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

// The two units of a character beyond U+FFFF.
constexpr std::uint32_t HighSurrogateOf(std::uint32_t c) { return 0xD800 + ((c - 0x10000) >> 10); }
constexpr std::uint32_t LowSurrogateOf(std::uint32_t c) { return 0xDC00 + ((c - 0x10000) & 0x3FF); }

}  // namespace veltrane
