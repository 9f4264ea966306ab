#pragma once
// What veltrane-cli prints: the result of a calibration as text or as one JSON object, the
// progress line, and the stored values. Pure formatting; the caller writes it out. Text is
// made fit for a terminal (ShowableText: stored values, names and paths cannot drive it);
// JSON escapes every control character, and a path that is not UTF-8 is given as text with
// U+FFFD for each bad byte and, beside it, as "<field>_bytes", its bytes in hex. Never throws
// for what it formats.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "engine/fit/RateMeasurement.h"
#include "engine/fit/TrueTime.h"
#include "platform/Registry.h"
#include "support/StoredNames.h"

namespace veltrane {

// One of the details stored beside the value (support/StoredNames.h names them).
struct StoredDetail {
  CalibrationDetail detail;
  std::wstring text;
};

struct StoredResult {
  std::string file;    // the settings file
  std::wstring key;    // HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\<folder>
  std::wstring name;   // <prefix>Calib_<rate>_Of <device>
  std::wstring value;  // as stored, "%f"
  std::vector<StoredDetail> details;       // stored after the value, when all were
  std::optional<std::wstring> detailsError;  // why they were not, the value stored all the same
};

struct CalibrationReport {
  std::wstring device;
  std::int32_t rate = 0;
  MeasurementResult measurement;
  ReferenceClockState referenceClock;
  // What the rate is relative to; measurement.estimate is already the one it gives.
  TrueTimeResult trueTime;
  std::optional<StoredResult> stored;
  std::optional<std::wstring> storeError;  // why --store failed, after measuring
  int storeErrorStatus = 0;                // the exit status that failure gives
};

// The text report comes in two parts, so that the measurement can be printed before the
// store is tried: what was measured, then the line that says what was stored.
std::string FormatReportText(const CalibrationReport& report);
std::string FormatMeasurementText(const CalibrationReport& report);
std::string FormatStoredLineText(const CalibrationReport& report);
// With a failed store, "stored" is null and "error" and "status" say why.
std::string FormatReportJson(const CalibrationReport& report);

// The details --store writes beside the value, ";of" (written last, by the caller) aside:
// the band's half-width, the span, the date (UTC, "YYYY-MM-DDThh:mm:ssZ", given), the
// method and what the result is relative to.
std::vector<StoredDetail> DetailsToStore(const CalibrationReport& report, const std::wstring& date);

// A refusal or failure with --json: one object with "error" and "status".
std::string FormatErrorJson(const std::wstring& message, int status);

// One line of progress: elapsed time, steps, the estimate with its band, time left.
std::string FormatProgress(const MeasurementProgress& progress);

// The calibration values among the strings below the maker's key, each with the details
// stored beside it when they belong to it (their ";of" is its text).
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
