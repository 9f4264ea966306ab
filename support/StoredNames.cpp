#include "support/StoredNames.h"

#include "base/Text.h"
#include "base/Unicode.h"

namespace veltrane {
namespace {

const wchar_t kCalib[] = L"Calib_";
const wchar_t kOf[] = L"_Of ";

// The rate at position at of name and what follows it: digits with an optional '-', then
// "_Of ". nullopt otherwise.
std::optional<CalibrationNameParts> PartsAt(const std::wstring& name, std::size_t at) {
  std::size_t end = at + (at < name.size() && name[at] == L'-' ? 1 : 0);
  const std::size_t digits = end;
  while (end < name.size() && name[end] >= L'0' && name[end] <= L'9') ++end;
  if (end == digits || name.compare(end, 4, kOf) != 0) return std::nullopt;
  const auto rate = ReadWholeDecimal(std::wstring_view(name).substr(at, end - at));
  if (!rate || *rate < INT32_MIN || *rate > INT32_MAX) return std::nullopt;
  return CalibrationNameParts{{}, static_cast<std::int32_t>(*rate), name.substr(end + 4)};
}

// The detail keys are ASCII: compared as the registry compares names.
bool SameLetters(const std::wstring& a, const wchar_t* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != L'\0'; ++i) {
    if (UpperCase(a[i]) != UpperCase(b[i])) return false;
  }
  return i == a.size() && b[i] == L'\0';
}

}  // namespace

std::wstring CalibrationValueName(const std::wstring& prefix, std::int32_t nominalRate,
                                  const std::wstring& deviceName) {
  return prefix + L"Calib_" + FormatText(L"%d", static_cast<int>(nominalRate)) + L"_Of " +
         deviceName;
}

std::optional<CalibrationNameParts> ParseCalibrationValueName(const std::wstring& name) {
  for (std::size_t at = name.find(kCalib); at != std::wstring::npos;
       at = name.find(kCalib, at + 1)) {
    if (auto parts = PartsAt(name, at + 6)) {
      parts->prefix = name.substr(0, at);
      return parts;
    }
  }
  return std::nullopt;
}

std::wstring TrimmedFolder(const std::wstring& folder) {
  std::size_t first = 0;
  std::size_t last = folder.size();
  while (first < last && IsWhiteSpace(folder[first])) ++first;
  while (last > first && IsWhiteSpace(folder[last - 1])) --last;
  return folder.substr(first, last - first);
}

std::wstring FolderKeyPath(const std::wstring& folder) {
  const std::wstring trimmed = TrimmedFolder(folder);
  return trimmed.empty() ? std::wstring(kMakerKey) : kMakerKey + (L"\\" + trimmed);
}

const wchar_t* CalibrationDetailKey(CalibrationDetail detail) {
  switch (detail) {
    case CalibrationDetail::BandPpm: return L"band_ppm";
    case CalibrationDetail::Seconds: return L"seconds";
    case CalibrationDetail::Date: return L"date";
    case CalibrationDetail::Method: return L"method";
    case CalibrationDetail::RelativeTo: return L"relative_to";
    case CalibrationDetail::Of: return L"of";
  }
  return L"";
}

std::wstring CalibrationDetailName(const std::wstring& valueName, CalibrationDetail detail) {
  return valueName + kDetailSeparator + CalibrationDetailKey(detail);
}

std::wstring LongestCalibrationDetailName(const std::wstring& valueName) {
  return CalibrationDetailName(valueName, CalibrationDetail::RelativeTo);
}

bool HoldsDetailSeparator(const std::wstring& text) {
  return text.find(kDetailSeparator) != std::wstring::npos;
}

bool IsCalibrationDetailName(const std::wstring& name) {
  const std::size_t separator = name.rfind(kDetailSeparator);
  if (separator == std::wstring::npos) return false;
  const std::wstring key = name.substr(separator + 1);
  for (const CalibrationDetail detail : kDetails) {
    if (SameLetters(key, CalibrationDetailKey(detail))) {
      return ParseCalibrationValueName(name.substr(0, separator)).has_value();
    }
  }
  return false;
}

}  // namespace veltrane
