#pragma once
// Product names of recording devices as the waveIn capabilities carry them: at most 31
// characters, readable, and distinct within one enumeration. Pure functions, so the rules
// can be checked without a sound card.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

// The capabilities record holds 32 characters including the terminator.
constexpr std::size_t kMaxProductNameChars = 31;

// The first line of an ALSA description, with tabs and other control characters as blanks
// and leading and trailing blanks removed.
std::wstring FirstLine(std::wstring_view text);

// Cuts name to at most maxChars characters, dropping blanks left dangling at the cut.
std::wstring ShortenName(std::wstring_view name, std::size_t maxChars = kMaxProductNameChars);

// "<pcm name> (<card name>)", the way the other platform shows an input and its adapter; the
// parenthesis is left out when it would only repeat the pcm name. Not yet shortened.
std::wstring HardwareDeviceName(std::wstring_view cardName, std::wstring_view pcmName);

// Shortens every name and tells apart those that end up equal: the first keeps its name, the
// later ones get " #2", " #3", ... (cutting the name further to make room). The result has the
// order and length of names, and the same input always gives the same output.
std::vector<std::wstring> MakeProductNames(const std::vector<std::wstring>& names);

}  // namespace veltrane
