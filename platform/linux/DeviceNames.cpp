#include "DeviceNames.h"

#include <set>

namespace veltrane {
namespace {

constexpr wchar_t kReplacementChar = 0xFFFD;

bool IsBlank(wchar_t c) { return c == L' '; }

std::wstring TrimBlanks(std::wstring_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::wstring(text.substr(begin, end - begin));
}

}  // namespace

std::wstring DecodeUtf8(std::string_view text) {
  std::wstring result;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      code = lead & 0x1F;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      code = lead & 0x0F;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      code = lead & 0x07;
      minimum = 0x10000;
    }
    bool valid = length != 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
      } else {
        code = (code << 6) | (next & 0x3F);
      }
    }
    // Overlong forms, surrogates and values beyond Unicode are as broken as a bad byte.
    if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    if (valid) {
      result.push_back(static_cast<wchar_t>(code));
      i += length;
    } else {
      result.push_back(kReplacementChar);
      ++i;
    }
  }
  return result;
}

std::wstring FirstLine(std::wstring_view text) {
  const std::size_t end = text.find_first_of(L"\r\n");
  std::wstring line(text.substr(0, end));
  for (wchar_t& c : line) {
    if (c < 0x20 || c == 0x7F) c = L' ';
  }
  return TrimBlanks(line);
}

std::wstring ShortenName(std::wstring_view name, std::size_t maxChars) {
  std::wstring shortened = TrimBlanks(name);
  if (shortened.size() > maxChars) shortened = TrimBlanks(shortened.substr(0, maxChars));
  return shortened;
}

std::wstring HardwareDeviceName(std::wstring_view cardName, std::wstring_view pcmName) {
  const std::wstring card = FirstLine(cardName);
  const std::wstring pcm = FirstLine(pcmName);
  if (pcm.empty()) return card;
  if (card.empty() || card == pcm) return pcm;
  return pcm + L" (" + card + L")";
}

std::vector<std::wstring> MakeProductNames(const std::vector<std::wstring>& names) {
  std::vector<std::wstring> result;
  result.reserve(names.size());
  std::set<std::wstring> taken;
  for (const std::wstring& name : names) {
    std::wstring candidate = ShortenName(name);
    for (unsigned number = 2; taken.count(candidate) != 0; ++number) {
      const std::wstring suffix = L" #" + std::to_wstring(number);
      candidate = ShortenName(name, kMaxProductNameChars - suffix.size()) + suffix;
    }
    taken.insert(candidate);
    result.push_back(candidate);
  }
  return result;
}

}  // namespace veltrane
