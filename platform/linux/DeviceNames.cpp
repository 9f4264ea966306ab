#include "platform/linux/DeviceNames.h"

#include <set>

namespace veltrane {
namespace {

bool IsBlank(wchar_t c) { return c == L' '; }

std::wstring TrimBlanks(std::wstring_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::wstring(text.substr(begin, end - begin));
}

}  // namespace

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
