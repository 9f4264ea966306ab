#pragma once
// What veltrane-cli prints: the result of a calibration as text or as one JSON object, the
// progress line, and the stored values. Pure formatting; the caller writes it out.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Clock.h"
#include "RateMeasurement.h"
#include "Registry.h"

namespace veltrane {

struct StoredResult {
  std::string file;    // the settings file
  std::wstring key;    // HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\<folder>
  std::wstring name;   // <prefix>Calib_<rate>_Of <device>
  std::wstring value;  // as stored, "%f"
};

struct CalibrationReport {
  std::wstring device;
  std::int32_t rate = 0;
  MeasurementResult measurement;
  ReferenceClockState referenceClock;
  std::optional<StoredResult> stored;
};

std::string FormatReportText(const CalibrationReport& report);
std::string FormatReportJson(const CalibrationReport& report);

// One line of progress: elapsed time, steps, the estimate with its band, time left.
std::string FormatProgress(const MeasurementProgress& progress);

// The calibration values among the strings below the maker's key.
std::string FormatStoredText(const std::string& file, const std::vector<StoredString>& values);
std::string FormatStoredJson(const std::string& file, const std::vector<StoredString>& values);

struct DeviceListing {
  std::wstring name;                 // as the dialog's first field takes it
  std::vector<std::uint32_t> rates;  // recorded without resampling; empty where not known
};

// The recording devices, one a line with its id (the rates, where known, on a line of their
// own below, so that the names stay easy to pick out), or as JSON.
std::string FormatDevicesText(const std::vector<DeviceListing>& devices);
std::string FormatDevicesJson(const std::vector<DeviceListing>& devices);

}  // namespace veltrane
