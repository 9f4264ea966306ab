#pragma once
// The names under which both front ends store a calibration, so that the dialog and the
// command line write and find the same values.

#include <cstdint>
#include <string>

namespace veltrane {

// The maker's key below HKEY_CURRENT_USER; each folder is a key below it.
inline constexpr wchar_t kMakerKey[] = L"SOFTWARE\\Ombrel's Projects";

// prefix + "Calib_" + rate + "_Of " + device name.
std::wstring CalibrationValueName(const std::wstring& prefix, std::int32_t nominalRate,
                                  const std::wstring& deviceName);

}  // namespace veltrane
