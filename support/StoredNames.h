#pragma once
// The names under which both front ends store a calibration, so that the dialog and the
// command line write and find the same values, and the calibration reader finds them too.

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane {

// The maker's key below HKEY_CURRENT_USER; each folder is a key below it.
inline constexpr wchar_t kMakerKey[] = L"SOFTWARE\\Ombrel's Projects";

// prefix + "Calib_" + rate + "_Of " + device name.
std::wstring CalibrationValueName(const std::wstring& prefix, std::int32_t nominalRate,
                                  const std::wstring& deviceName);

// The parts of a value name that CalibrationValueName makes: the first "Calib_" followed by
// a whole number (the rate, within std::int32_t) and "_Of " splits it. nullopt when no
// "Calib_" in the name is followed so.
struct CalibrationNameParts {
  std::wstring prefix;
  std::int32_t rate = 0;
  std::wstring device;
};
std::optional<CalibrationNameParts> ParseCalibrationValueName(const std::wstring& name);

// The folder as the settings store takes it: leading and trailing white space removed.
std::wstring TrimmedFolder(const std::wstring& folder);
// The key, below HKEY_CURRENT_USER, that the settings store writes a folder's values to: the
// maker key, then '\' and the trimmed folder; the maker key itself for an empty folder. A
// folder holding '\' names nested keys.
std::wstring FolderKeyPath(const std::wstring& folder);

// What the command line stores beside a calibration value, each as a string value named
// valueName + ';' + the detail's own name. The dialog's prefix and device come from its
// ';'-separated command line, so no name the dialog writes holds ';'; the command line
// refuses to store for a prefix or device holding ';' (HoldsDetailSeparator), so no value
// name of either front end is ever a detail's name.
enum class CalibrationDetail {
  BandPpm,     // ";band_ppm": half-width of the 95 % band, ppm, "%.3f"
  Seconds,     // ";seconds": time span the measurement covered, "%.1f"
  Date,        // ";date": when it was stored, UTC, ISO 8601 "YYYY-MM-DDThh:mm:ssZ"
  Method,      // ";method": "veltrane-cli, device timestamps" or "veltrane-cli, polling"
  RelativeTo,  // ";relative_to": "true time" or "crystal"
  Of,          // ";of": the value's text the details belong to, written last
};
inline constexpr wchar_t kDetailSeparator = L';';
inline constexpr CalibrationDetail kDetails[] = {
    CalibrationDetail::BandPpm, CalibrationDetail::Seconds, CalibrationDetail::Date,
    CalibrationDetail::Method, CalibrationDetail::RelativeTo, CalibrationDetail::Of};
// "band_ppm", "seconds", ...: the part after ';'.
const wchar_t* CalibrationDetailKey(CalibrationDetail detail);
std::wstring CalibrationDetailName(const std::wstring& valueName, CalibrationDetail detail);
// The longest detail name of valueName, for checking before a measurement that it fits.
std::wstring LongestCalibrationDetailName(const std::wstring& valueName);
bool HoldsDetailSeparator(const std::wstring& text);
// True when name is a detail's name: a name that ParseCalibrationValueName splits, ';' and a
// detail's key (letter case aside).
bool IsCalibrationDetailName(const std::wstring& name);

}  // namespace veltrane
