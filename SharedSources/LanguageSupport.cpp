#include "SharedSources/LanguageSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "support/AppPaths.h"
#include "base/Files.h"
#include "base/Text.h"
#include "base/Unicode.h"
#include "support/Trace.h"
#include "support/WaitCursor.h"

namespace veltrane {

CLanguageSupport theLanguage;

namespace {

constexpr char16_t kTab = u'\t';
constexpr char16_t kCarriageReturn = u'\r';
constexpr char16_t kLineFeed = u'\n';
constexpr char16_t kBackslash = u'\\';
constexpr char16_t kByteOrderMark = 0xFEFF;

constexpr std::u16string_view kHeaderMarker = u"[Translate the text below]";
// A header is only looked for near the start, so a long file without one is not searched
// in full; the byte order mark counts as the first unit.
constexpr std::size_t kHeaderSearchUnits = 10000;
// The shipped files are a few kilobytes; a complete translation with comments stays far
// below this, while a larger file would be read whole into memory before it is parsed.
constexpr std::size_t kMaxLanguageFileBytes = 1024 * 1024;
// The line end after the marker, skipped whatever it is.
constexpr std::size_t kUnitsAfterHeaderMarker = 2;

void TraceLanguage(const std::wstring& message, int line) {
  Trace(L"TR_GENERAL", message, L"LanguageSupport", line);
}

bool IsSeparatorCharacter(wchar_t c) {
  switch (c) {
    case L' ':
    case L'!':
    case L'?':
    case L'.':
    case L',':
    case L':':
    case L'\t':
    case L'\r':
    case L'\n':
      return true;
    default:
      return false;
  }
}

bool IsEscapeLetter(wchar_t c) { return c == L'r' || c == L'n'; }

bool IsTerminator(char16_t unit) {
  return unit == kTab || unit == kCarriageReturn || unit == kLineFeed;
}

bool IsLineEndPair(char16_t first, char16_t second) {
  return (first == kCarriageReturn && second == kLineFeed) ||
         (first == kLineFeed && second == kCarriageReturn);
}

// The file's bytes seen as little-endian 16-bit code units, read in place; an odd last
// byte is not part of any unit.
class CodeUnits {
 public:
  CodeUnits(const unsigned char* bytes, std::size_t count)
      : bytes(bytes), unitCount(bytes == nullptr ? 0 : count / 2) {}

  std::size_t size() const { return unitCount; }
  char16_t operator[](std::size_t i) const {
    return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }

 private:
  const unsigned char* bytes;
  std::size_t unitCount;
};

// Where the entries begin: after the header marker and the two units that follow it when
// the marker ends within the first units, otherwise after the byte order mark, if any.
std::size_t FindEntriesStart(const CodeUnits& units) {
  const std::size_t searchEnd = std::min(units.size(), kHeaderSearchUnits);
  for (std::size_t start = 0; start + kHeaderMarker.size() <= searchEnd; ++start) {
    std::size_t k = 0;
    while (k < kHeaderMarker.size() && units[start + k] == kHeaderMarker[k]) ++k;
    if (k == kHeaderMarker.size()) {
      return std::min(units.size(), start + k + kUnitsAfterHeaderMarker);
    }
  }
  return units.size() > 0 && units[0] == kByteOrderMark ? 1 : 0;
}

// Appends the text character at units[i] to text, converting the escapes \r and \n and
// joining surrogate pairs where wchar_t holds whole code points. Returns the index of the
// last unit used.
std::size_t AppendCharacter(const CodeUnits& units, std::size_t i, std::wstring& text) {
  const char16_t unit = units[i];
  const bool hasNext = i + 1 < units.size();
  if (unit == kBackslash && hasNext && IsEscapeLetter(units[i + 1])) {
    text += units[i + 1] == u'r' ? L'\r' : L'\n';
    return i + 1;
  }
  if constexpr (sizeof(wchar_t) >= 4) {
    if (IsHighSurrogate(unit) && hasNext && IsLowSurrogate(units[i + 1])) {
      text += static_cast<wchar_t>(JoinSurrogates(unit, units[i + 1]));
      return i + 1;
    }
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      text += L'\uFFFD';
      return i;
    }
  }
  text += static_cast<wchar_t>(unit);
  return i;
}

// Where the sentence that starts at position ends: after the full stop of ". ", after an
// escape pair \r or \n, after a carriage return or line feed, or at the end of the body.
std::size_t SegmentEnd(const std::wstring& body, std::size_t position) {
  for (std::size_t j = position; j < body.size(); ++j) {
    const wchar_t c = body[j];
    const bool hasNext = j + 1 < body.size();
    if (c == L'.' && hasNext && body[j + 1] == L' ') return j + 1;
    if (c == L'\\' && hasNext && IsEscapeLetter(body[j + 1])) return j + 2;
    if (c == L'\r' || c == L'\n') return j + 1;
  }
  return body.size();
}

// Calls visit(lead, core, trail) for each sentence of body, in order.
template <typename Visit>
void ForEachSentence(const std::wstring& body, Visit visit) {
  std::size_t position = 0;
  while (position < body.size()) {
    const std::size_t end = SegmentEnd(body, position);
    std::wstring core = body.substr(position, end - position);
    const std::wstring lead = CLanguageSupport::SplitLeading(core);
    const std::wstring trail = CLanguageSupport::SplitTrailing(core);
    visit(lead, core, trail);
    position = end;
  }
}

// A language name that holds the platform's path separator is a complete path.
bool IsPath(const std::wstring& name) { return name.find(kPathSeparator) != std::wstring::npos; }

std::wstring LanguageFilePath(const std::wstring& directory, const std::wstring& name) {
  if (IsPath(name)) return name;
  return directory + L"Text - " + name + L".txt";
}

class WaitCursorScope {
 public:
  WaitCursorScope() { BeginWaitCursor(); }
  ~WaitCursorScope() { EndWaitCursor(); }
  WaitCursorScope(const WaitCursorScope&) = delete;
  WaitCursorScope& operator=(const WaitCursorScope&) = delete;
};

}  // namespace

std::wstring CLanguageSupport::SplitLeading(std::wstring& text) {
  std::size_t end = 0;
  while (end < text.size()) {
    if (IsSeparatorCharacter(text[end])) {
      end += 1;
    } else if (text[end] == L'\\' && end + 1 < text.size() && IsEscapeLetter(text[end + 1])) {
      end += 2;
    } else {
      break;
    }
  }
  std::wstring removed = text.substr(0, end);
  text.erase(0, end);
  return removed;
}

std::wstring CLanguageSupport::SplitTrailing(std::wstring& text) {
  std::size_t start = text.size();
  while (start > 0) {
    const wchar_t last = text[start - 1];
    const bool afterBackslash = start >= 2 && text[start - 2] == L'\\';
    if (!IsSeparatorCharacter(last) && !(afterBackslash && IsEscapeLetter(last))) break;
    // A separator after a backslash goes together with it.
    start -= afterBackslash ? 2 : 1;
  }
  std::wstring removed = text.substr(start);
  text.erase(start);
  return removed;
}

bool CLanguageSupport::LoadLanguage(const std::wstring& name) {
  languageName = name;
  loaded = false;
  if (name == L"English") return true;
  if (!LoadLanguageFile(name)) {
    TraceLanguage(L"Load language failed. Using English.", __LINE__);
    return false;
  }
  return true;
}

bool CLanguageSupport::LoadLanguageFile(const std::wstring& name) {
  std::wstring path = LanguageFilePath(GetModuleDirectory(), name);
  TraceLanguage(L"Opening language file: " + path, __LINE__);
  std::string bytes;
  FileRead result = ReadWholeFile(ToUtf8(path), bytes, nullptr, kMaxLanguageFileBytes);
  // An installed program's language files lie in its data folder; one beside the program
  // still comes first, so a copy there overrides what is installed.
  if (result == FileRead::Missing && !IsPath(name)) {
    path = LanguageFilePath(GetInstalledDataDirectory(), name);
    TraceLanguage(L"Opening language file: " + path, __LINE__);
    result = ReadWholeFile(ToUtf8(path), bytes, nullptr, kMaxLanguageFileBytes);
  }
  if (result == FileRead::TooLarge) {
    TraceLanguage(L"Error: Failed to load the language file.", __LINE__);
    TraceLanguage(L"The language file is larger than 1 MiB.", __LINE__);
    loaded = false;
    return false;
  }
  if (result == FileRead::Missing || result == FileRead::CannotOpen) {
    TraceLanguage(L"Error: Failed to load the language file.", __LINE__);
    loaded = false;
    return false;
  }
  // A file that cannot be read to the end counts as not loaded: half a file could leave
  // the entries cut at an arbitrary place, and English is the safe fallback.
  if (result == FileRead::Failed) {
    TraceLanguage(L"Error: Failed to load the language file.", __LINE__);
  } else if (result == FileRead::Read) {
    ParseLanguageText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  }
  bytes = std::string();
  TraceLanguage(L"Closing language file", __LINE__);
  loaded = result == FileRead::Read;
  return loaded;
}

void CLanguageSupport::ParseLanguageText(const unsigned char* bytes, std::size_t count) {
  const WaitCursorScope waitCursor;
  sourceTexts.clear();
  translatedTexts.clear();

  const CodeUnits units(bytes, count);
  enum class ReaderState { kReadingSource, kReadingTranslation, kSkipping };
  ReaderState state = ReaderState::kReadingSource;
  std::wstring current;
  std::wstring pendingSource;
  try {
    // i == units.size() is the end of the data, one last terminator; no unit is read there.
    for (std::size_t i = FindEntriesStart(units); i <= units.size(); ++i) {
      const bool atEnd = i == units.size();
      if (state == ReaderState::kSkipping) {
        if (!atEnd && units[i] == kLineFeed) state = ReaderState::kReadingSource;
        continue;
      }
      if (!atEnd && !IsTerminator(units[i])) {
        i = AppendCharacter(units, i, current);
        continue;
      }
      SplitLeading(current);
      SplitTrailing(current);
      const bool pairFollows = !atEnd && i + 1 < units.size() && IsLineEndPair(units[i], units[i + 1]);
      if (state == ReaderState::kReadingSource) {
        pendingSource = std::move(current);
        current.clear();
        if (pendingSource.empty()) break;
        if (pairFollows) ++i;
        state = ReaderState::kReadingTranslation;
      } else {
        translatedTexts.push_back(std::move(current));
        current.clear();
        sourceTexts.push_back(std::move(pendingSource));
        pendingSource.clear();
        if (pairFollows) ++i;
        state = !atEnd && units[i] == kLineFeed ? ReaderState::kReadingSource
                                                : ReaderState::kSkipping;
      }
    }
  } catch (const std::bad_alloc&) {
    // Out of memory in the middle of a huge file: no entries rather than a half list.
    sourceTexts.clear();
    translatedTexts.clear();
  }
}

std::wstring CLanguageSupport::LookUp(const std::wstring& core) const {
  const auto found = std::find(sourceTexts.begin(), sourceTexts.end(), core);
  if (found == sourceTexts.end()) return core;
  const std::wstring& translation = translatedTexts[found - sourceTexts.begin()];
  return translation.empty() ? core : translation;
}

std::wstring CLanguageSupport::Translate(const std::wstring& text) const {
  if (!loaded) return text;
  std::wstring body = text;
  const std::wstring prefix = SplitLeading(body);
  const std::wstring suffix = SplitTrailing(body);
  std::wstring output;
  output.reserve(body.size());
  ForEachSentence(body, [&](const std::wstring& lead, const std::wstring& core,
                            const std::wstring& trail) {
    output += lead;
    if (!core.empty()) output += LookUp(core);
    output += trail;
  });
  return prefix + output + suffix;
}

std::vector<std::wstring> CLanguageSupport::GetLookUpKeys(const std::wstring& text) {
  std::wstring body = text;
  SplitLeading(body);
  SplitTrailing(body);
  std::vector<std::wstring> keys;
  ForEachSentence(body, [&](const std::wstring&, const std::wstring& core, const std::wstring&) {
    if (!core.empty()) keys.push_back(core);
  });
  return keys;
}

}  // namespace veltrane
