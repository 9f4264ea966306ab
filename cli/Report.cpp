#include "Report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "Text.h"

namespace veltrane {
namespace {

using Json = nlohmann::ordered_json;

// Stored ratios are read back as a tuner reads them: a number, or nothing where the text is
// not one.
std::optional<double> StoredRatio(const std::wstring& text) {
  wchar_t* end = nullptr;
  const double value = std::wcstod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != L'\0') return std::nullopt;
  return value;
}

std::string Printf(const char* format, double a, double b = 0.0, double c = 0.0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

const char* Timing(const MeasurementResult& measurement) {
  return measurement.deviceTimestamps ? "device timestamps" : "polling";
}

Json Optional(const std::optional<double>& value) { return value ? Json(*value) : Json(nullptr); }

std::string ReferenceClockText(const ReferenceClockState& clock) {
  if (!clock.synchronized) {
    return "unknown; the result is relative to this computer's clock, whose own error is not "
           "known";
  }
  std::string text = *clock.synchronized ? "synchronized" : "not synchronized";
  if (clock.frequencyPpm) text += Printf(", frequency correction %+.3f ppm", *clock.frequencyPpm);
  if (clock.estimatedErrorUs && *clock.synchronized) {
    text += Printf(", estimated error %.0f us", *clock.estimatedErrorUs);
  }
  if (!*clock.synchronized) {
    text +=
        "\n                 The result is relative to this computer's own crystal, which may "
        "itself be\n                 tens of ppm off.";
  }
  return text;
}

std::string LossesText(const MeasurementResult& measurement) {
  if (measurement.losses == 0) return "none seen";
  return std::to_string(measurement.losses) +
         Printf(" (%.1f ms lost without an overrun); ", measurement.lostMs) +
         "each stretch between them\n                 fitted with its own offset";
}

}  // namespace

std::string FormatReportText(const CalibrationReport& report) {
  const RateEstimate& estimate = report.measurement.estimate;
  std::string text;
  text += "Device:          " + ToUtf8(report.device) + "\n";
  text += "Nominal rate:    " + std::to_string(report.rate) + " Hz\n";
  text += Printf("Ratio:           %.7f (%+.2f ppm)\n", estimate.ratio, estimate.ppm);
  text +=
      Printf("95 %% band:       %+.2f to %+.2f ppm\n", estimate.bandLowPpm, estimate.bandHighPpm);
  text += Printf("Measured:        %.1f s, ", estimate.seconds) + std::to_string(estimate.steps) +
          " position steps of " + std::to_string(report.measurement.stepFrames) +
          " frames, timing by " +
          std::string(Timing(report.measurement)) + "\n";
  text += "Losses:          " + LossesText(report.measurement) + "\n";
  text += "Reference clock: " + ReferenceClockText(report.referenceClock) + "\n";
  if (report.stored) {
    text += "Stored:          \"" + ToUtf8(report.stored->name) + "\"=\"" +
            ToUtf8(report.stored->value) + "\"\n                 in [" +
            ToUtf8(report.stored->key) + "]\n                 of " + report.stored->file + "\n";
  } else {
    text += "Stored:          nothing (--store FOLDER stores it)\n";
  }
  return text;
}

std::string FormatReportJson(const CalibrationReport& report) {
  const RateEstimate& estimate = report.measurement.estimate;
  Json json;
  json["device"] = ToUtf8(report.device);
  json["rate"] = report.rate;
  json["ratio"] = estimate.ratio;
  json["ppm"] = estimate.ppm;
  json["band_ppm"] = Json::array({estimate.bandLowPpm, estimate.bandHighPpm});
  json["seconds"] = estimate.seconds;
  json["steps"] = estimate.steps;
  json["timing"] = Timing(report.measurement);
  json["step_frames"] = report.measurement.stepFrames;
  json["losses"] = report.measurement.losses;
  json["lost_ms"] = report.measurement.lostMs;
  const ReferenceClockState& clock = report.referenceClock;
  json["reference_clock"] = {
      {"synchronized", clock.synchronized ? Json(*clock.synchronized) : Json(nullptr)},
      {"frequency_ppm", Optional(clock.frequencyPpm)},
      {"estimated_error_us", Optional(clock.estimatedErrorUs)}};
  if (report.stored) {
    json["stored"] = {{"file", report.stored->file},
                      {"key", ToUtf8(report.stored->key)},
                      {"name", ToUtf8(report.stored->name)},
                      {"value", ToUtf8(report.stored->value)}};
  } else {
    json["stored"] = nullptr;
  }
  return json.dump(2) + "\n";
}

std::string FormatProgress(const MeasurementProgress& progress) {
  const RateEstimate& estimate = progress.estimate;
  std::string line =
      Printf("%5.0f s  ", progress.elapsedSeconds) + std::to_string(estimate.steps) + " steps  ";
  if (estimate.valid) {
    const double halfWidth = (estimate.bandHighPpm - estimate.bandLowPpm) / 2.0;
    line += Printf("%+.2f ppm +- %.2f", estimate.ppm, halfWidth);
  } else {
    line += "no estimate yet";
  }
  return line + Printf("  %.0f s left", progress.secondsLeft);
}

std::string FormatStoredText(const std::string& file, const std::vector<StoredString>& values) {
  std::string text = "Calibration values in " + file + ":\n";
  std::size_t shown = 0;
  for (const StoredString& value : values) {
    if (value.name.find(L"Calib_") == std::wstring::npos) continue;
    ++shown;
    text +=
        "  [" + ToUtf8(value.keyPath) + "] \"" + ToUtf8(value.name) + "\" = " + ToUtf8(value.data);
    if (const auto ratio = StoredRatio(value.data)) {
      text += Printf(" (%+.1f ppm)", (*ratio - 1.0) * 1e6);
    }
    text += "\n";
  }
  if (shown == 0) text += "  none\n";
  return text;
}

std::string FormatStoredJson(const std::string& file, const std::vector<StoredString>& values) {
  Json list = Json::array();
  for (const StoredString& value : values) {
    if (value.name.find(L"Calib_") == std::wstring::npos) continue;
    list.push_back({{"key", ToUtf8(value.keyPath)},
                    {"name", ToUtf8(value.name)},
                    {"value", ToUtf8(value.data)},
                    {"ratio", Optional(StoredRatio(value.data))}});
  }
  return Json({{"file", file}, {"values", list}}).dump(2) + "\n";
}

std::string FormatDevicesText(const std::vector<DeviceListing>& devices) {
  std::string text;
  for (std::size_t id = 0; id < devices.size(); ++id) {
    text += std::to_string(id) + "  " + ToUtf8(devices[id].name) + "\n";
    if (devices[id].rates.empty()) continue;
    text += "     rates without resampling:";
    for (const std::uint32_t rate : devices[id].rates) text += " " + std::to_string(rate);
    text += "\n";
  }
  return text;
}

std::string FormatDevicesJson(const std::vector<DeviceListing>& devices) {
  Json list = Json::array();
  for (std::size_t id = 0; id < devices.size(); ++id) {
    const auto& rates = devices[id].rates;
    list.push_back({{"id", id},
                    {"name", ToUtf8(devices[id].name)},
                    {"rates", rates.empty() ? Json(nullptr) : Json(rates)}});
  }
  return Json({{"devices", list}}).dump(2) + "\n";
}

}  // namespace veltrane
