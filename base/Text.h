#pragma once
// Text at the program's edges: one UTF-8 codec (lenient for names and arguments, strict for
// files that must be read back exactly) and printf-style formatting that does not depend on
// the process locale (GTK switches the C locale to the user's, which would turn "0.999750"
// into "0,999750"). Every function may be called from any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane {

// Anything that is not a Unicode scalar value is written as U+FFFD.
std::string ToUtf8(const std::wstring& text);
void AppendUtf8(std::string& out, const std::wstring& text);

// Each malformed byte becomes one U+FFFD (overlong forms, surrogates and values beyond
// U+10FFFF included), so two different broken names stay different and the rest is kept.
std::wstring FromUtf8(std::string_view text);

// nullopt when text is not clean UTF-8.
std::optional<std::wstring> FromUtf8Strict(std::string_view text);

// swprintf-style formatting in the "C" locale whatever the process locale is. Empty when the
// text cannot be formed: longer than about a million characters, or a narrow "%s" or "%c"
// argument outside ASCII (pass wide texts with "%ls").
std::wstring FormatText(const wchar_t* format, ...);

// A decimal number as a person types it: an optional sign, ASCII digits with an optional
// fraction and exponent, and nothing else (no blanks, no hex, no "inf" or "nan", the same in
// every locale). nullopt otherwise, and for a value beyond the range of double.
std::optional<double> ReadDecimal(std::string_view text);
std::optional<double> ReadDecimal(std::wstring_view text);
// The same without fraction or exponent; nullopt beyond the range of long long.
std::optional<long long> ReadWholeDecimal(std::wstring_view text);
// A count: ASCII digits only, no sign; nullopt beyond the range of std::uint64_t.
std::optional<std::uint64_t> ReadUnsignedDecimal(std::string_view text);

// Text fit to show on a terminal: each control character (C0 and DEL as \xNN, C1 and the
// bidirectional overrides as \uNNNN; a line feed kept as it is when keepLineFeeds) and each
// malformed UTF-8 byte (as \xNN) escaped, so that no stored or given text can drive the
// terminal; the rest as it is.
std::string ShowableText(std::string_view utf8, bool keepLineFeeds = false);
std::string ShowableText(const std::wstring& text, bool keepLineFeeds = false);

}  // namespace veltrane
