#include "calibration/Details.h"

#include <cmath>
#include <cstring>

#include "base/Text.h"
#include "platform/RegistryHive.h"
#include "support/StoredNames.h"

namespace veltrane {
namespace {

// Days from 1970-01-01 to the given civil date (Howard Hinnant's days_from_civil).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

std::optional<unsigned> Digits(const std::wstring& text, std::size_t at, std::size_t count) {
  unsigned number = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
    number = number * 10 + static_cast<unsigned>(text[i] - L'0');
  }
  return number;
}

// Copies UTF-8 text into out (size bytes with the terminator), cut at a character.
void CopyCut(const std::string& text, char* out, std::size_t size) {
  std::size_t length = text.size() < size - 1 ? text.size() : size - 1;
  // Not inside a character: back over continuation bytes to a character's start.
  if (length < text.size()) {
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(out, text.data(), length);
  out[length] = '\0';
}

void ReadDetail(CalibrationDetail detail, const std::wstring& text,
                veltrane_calibration_details& out) {
  switch (detail) {
    case CalibrationDetail::BandPpm:
      if (const auto band = ReadDecimal(text); band && *band >= 0) {
        out.band_ppm = *band;
        out.present |= VELTRANE_CALIBRATION_HAS_BAND;
      }
      break;
    case CalibrationDetail::Seconds:
      if (const auto seconds = ReadDecimal(text); seconds && *seconds >= 0) {
        out.seconds = *seconds;
        out.present |= VELTRANE_CALIBRATION_HAS_SECONDS;
      }
      break;
    case CalibrationDetail::Date:
      if (const auto date = ReadIsoDate(text)) {
        out.date = *date;
        CopyCut(ToUtf8(text), out.date_text, sizeof out.date_text);
        out.present |= VELTRANE_CALIBRATION_HAS_DATE;
      }
      break;
    case CalibrationDetail::Method:
      CopyCut(ToUtf8(text), out.method, sizeof out.method);
      out.present |= VELTRANE_CALIBRATION_HAS_METHOD;
      break;
    case CalibrationDetail::RelativeTo:
      if (text == L"true time") out.reference = VELTRANE_CALIBRATION_REFERENCE_TRUE_TIME;
      if (text == L"crystal") out.reference = VELTRANE_CALIBRATION_REFERENCE_CRYSTAL;
      if (out.reference != VELTRANE_CALIBRATION_REFERENCE_UNKNOWN) {
        out.present |= VELTRANE_CALIBRATION_HAS_REFERENCE;
      }
      break;
    case CalibrationDetail::Of: break;
  }
}

}  // namespace

std::optional<double> RatioOf(const std::wstring& text) {
  const auto ratio = ReadDecimal(text);
  if (!ratio || !std::isfinite(*ratio) || !(*ratio > 0.0) || !(*ratio < 2.0)) return std::nullopt;
  return ratio;
}

std::optional<long long> ReadIsoDate(const std::wstring& text) {
  // YYYY-MM-DDThh:mm:ssZ
  if (text.size() != 20 || text[4] != L'-' || text[7] != L'-' || text[10] != L'T' ||
      text[13] != L':' || text[16] != L':' || text[19] != L'Z') {
    return std::nullopt;
  }
  const auto year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  const auto hour = Digits(text, 11, 2), minute = Digits(text, 14, 2), second = Digits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || *month < 1 || *month > 12 ||
      *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60) {
    return std::nullopt;
  }
  return DaysFromCivil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

veltrane_calibration_details DetailsOf(const KeyValues& values, const std::wstring& valueName,
                                       const std::wstring& valueText) {
  veltrane_calibration_details details{};
  const FoundValue* of = values.Find(CalibrationDetailName(valueName, CalibrationDetail::Of));
  // Details of an earlier run, or of one whose details were not all stored, are no one's.
  if (!of || !of->isString || of->text != valueText) return details;
  for (const CalibrationDetail detail : kDetails) {
    const FoundValue* found = values.Find(CalibrationDetailName(valueName, detail));
    if (found && found->isString) ReadDetail(detail, found->text, details);
  }
  return details;
}

}  // namespace veltrane
