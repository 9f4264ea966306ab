#pragma once
// What a calibration value's text and the details beside it say, as the C API gives them.
// Pure; any thread.

#include <optional>
#include <string>

#include <veltrane/calibration.h>

#include "calibration/KeyValues.h"

namespace veltrane {

// The ratio a value's text holds: a decimal number above 0 and below 2; nullopt otherwise.
std::optional<double> RatioOf(const std::wstring& text);

// The details of the value valueName whose text is valueText, looked up among values (the
// values of its key). present is 0 unless the details' ";of" equals valueText.
veltrane_calibration_details DetailsOf(const KeyValues& values, const std::wstring& valueName,
                                       const std::wstring& valueText);

// Seconds since 1970 of "YYYY-MM-DDThh:mm:ssZ"; nullopt for any other text.
std::optional<long long> ReadIsoDate(const std::wstring& text);

}  // namespace veltrane
