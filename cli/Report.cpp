#include "cli/Report.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "base/Text.h"
#include "platform/RegistryHive.h"

namespace veltrane {
namespace {

using Json = nlohmann::ordered_json;

// A stored ratio is a decimal number as we write it; anything else ("nan", "inf", a hex
// form, blanks) is said to be no number rather than read some way.
std::optional<double> StoredRatio(const std::wstring& text) { return ReadDecimal(text); }

// JSON's writer escapes C0 only; DEL and C1 (U+0080 to U+009F, whose CSI some terminals obey)
// are escaped here too. They can stand only inside strings, as the rest of JSON is ASCII.
// Malformed UTF-8 becomes U+FFFD rather than an exception.
std::string Dump(const Json& json) {
  const std::string text = json.dump(2, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size() + 1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    char escape[8];
    if (c == 0x7F) {
      out += "\\u007f";
    } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(next));
      out += escape;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out + "\n";
}

// A path as JSON: its text, and its bytes in hex where it is not UTF-8 (the text then holds
// U+FFFD for each bad byte, and only the bytes name the file).
void PutPath(Json& json, const std::string& field, const std::string& path) {
  json[field] = ToUtf8(FromUtf8(path));
  if (FromUtf8Strict(path)) return;
  std::string hex;
  for (const char c : path) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(c));
    hex += pair;
  }
  json[field + "_bytes"] = hex;
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

const char* SourceName(TimeSource source) {
  switch (source) {
    case TimeSource::Kernel: return "kernel";
    case TimeSource::Chrony: return "chrony";
    case TimeSource::None: break;
  }
  return "none";
}

constexpr const char* kIndent = "\n                 ";

std::string SlewText(const TrueTimeResult& trueTime) {
  if (!trueTime.slewPpm) return "";
  return std::string(kIndent) +
         Printf("largest slew of the disciplined clock: %.2f ppm (not used)", *trueTime.slewPpm);
}

std::string ReferenceClockText(const ReferenceClockState& clock, const TrueTimeResult& trueTime) {
  if (trueTime.againstTrueTime) {
    std::string text = std::string("true time, from ") + SourceName(clock.source);
    if (!clock.detail.empty()) text += " (" + ShowableText(clock.detail) + ")";
    text += kIndent + Printf("the raw clock runs %+.3f ppm fast (%+.3f to %+.3f ppm)",
                             *trueTime.rawFastPpm, *trueTime.rawFastLowPpm,
                             *trueTime.rawFastHighPpm);
    return text + SlewText(trueTime);
  }
  std::string text = "this computer's crystal (the raw clock), ";
  if (!clock.synchronized) {
    text += "whose own error is not known";
  } else if (!*clock.synchronized) {
    text += "not synchronized";
  } else {
    text += "whose error the time daemon's figures did not give";
  }
  text += std::string(kIndent) + "The result is relative to it, which may itself be tens of ppm" +
          kIndent + "off true time.";
  return text + SlewText(trueTime);
}

std::string LossesText(const MeasurementResult& measurement) {
  if (measurement.losses == 0) return "none seen";
  return std::to_string(measurement.losses) +
         Printf(" (%.1f ms lost without an overrun); ", measurement.lostMs) +
         "each stretch between them\n                 fitted with its own offset";
}

// The half-width of the 95 % band, the larger side: what --max-band-ppm judges.
double BandHalfWidth(const RateEstimate& estimate) {
  return std::max(estimate.ppm - estimate.bandLowPpm, estimate.bandHighPpm - estimate.ppm);
}

std::string DetailsLineText(const StoredResult& stored) {
  if (stored.detailsError) {
    return "Details:         not stored: " + ShowableText(*stored.detailsError) +
           "\n                 (a reader finds the value without details)\n";
  }
  std::string text = "Details:        ";
  for (const StoredDetail& detail : stored.details) {
    text += " " + ToUtf8(CalibrationDetailKey(detail.detail)) + "=\"" +
            ShowableText(detail.text) + "\"";
  }
  return text + "\n";
}

// The stored strings by key and name, as the registry compares them.
using StringIndex = std::unordered_map<std::wstring, const StoredString*>;

std::wstring Slot(const std::wstring& keyPath, const std::wstring& name) {
  return FoldedRegistryName(keyPath) + L'\n' + FoldedRegistryName(name);
}

StringIndex IndexOf(const std::vector<StoredString>& values) {
  StringIndex index;
  for (const StoredString& value : values) index.emplace(Slot(value.keyPath, value.name), &value);
  return index;
}

// The details beside value (in its key): nullopt when there are none, an empty list when
// those there belong to another run.
std::optional<std::vector<StoredString>> DetailsBeside(const StringIndex& index,
                                                      const StoredString& value) {
  std::optional<std::vector<StoredString>> details;
  const StoredString* of = nullptr;
  for (const CalibrationDetail detail : kDetails) {
    const auto found = index.find(Slot(value.keyPath, CalibrationDetailName(value.name, detail)));
    if (found == index.end()) continue;
    if (!details) details.emplace();
    if (detail == CalibrationDetail::Of) {
      of = found->second;
    } else {
      details->push_back(*found->second);
    }
  }
  if (details && (!of || of->data != value.data)) details->clear();
  return details;
}

std::string DetailsText(const StringIndex& index, const StoredString& value) {
  const auto details = DetailsBeside(index, value);
  if (!details) return "";
  if (details->empty()) return "      (the details beside it are of an earlier run)\n";
  std::string text;
  for (const StoredString& detail : *details) {
    text += "      " + ShowableText(detail.name.substr(value.name.size() + 1)) + ": " +
            ShowableText(detail.data) + "\n";
  }
  return text;
}

Json DetailsJson(const StringIndex& index, const StoredString& value) {
  const auto details = DetailsBeside(index, value);
  if (!details || details->empty()) return Json(nullptr);
  Json json = Json::object();
  for (const StoredString& detail : *details) {
    json[ToUtf8(detail.name.substr(value.name.size() + 1))] = ToUtf8(detail.data);
  }
  return json;
}

Json ReferenceClockJson(const CalibrationReport& report) {
  const ReferenceClockState& clock = report.referenceClock;
  return {
      {"synchronized", clock.synchronized ? Json(*clock.synchronized) : Json(nullptr)},
      {"frequency_ppm", Optional(clock.frequencyPpm)},
      {"estimated_error_us", Optional(clock.estimatedErrorUs)},
      {"source", SourceName(clock.source)},
      {"relative_to", report.trueTime.againstTrueTime ? "true time" : "crystal"},
      {"frequency_band_ppm", report.trueTime.rawFastLowPpm && report.trueTime.rawFastHighPpm
                                 ? Json::array({*report.trueTime.rawFastLowPpm,
                                                *report.trueTime.rawFastHighPpm})
                                 : Json(nullptr)},
      {"slew_ppm", Optional(report.trueTime.slewPpm)},
      {"figures", clock.detail.empty() ? Json(nullptr) : Json(clock.detail)}};
}

}  // namespace

std::vector<StoredDetail> DetailsToStore(const CalibrationReport& report, const std::wstring& date) {
  const RateEstimate& estimate = report.measurement.estimate;
  return {{CalibrationDetail::BandPpm, FormatText(L"%.3f", BandHalfWidth(estimate))},
          {CalibrationDetail::Seconds, FormatText(L"%.1f", estimate.seconds)},
          {CalibrationDetail::Date, date},
          {CalibrationDetail::Method, L"veltrane-cli, " + FromUtf8(Timing(report.measurement))},
          {CalibrationDetail::RelativeTo,
           report.trueTime.againstTrueTime ? L"true time" : L"crystal"}};
}

std::string FormatReportText(const CalibrationReport& report) {
  return FormatMeasurementText(report) + FormatStoredLineText(report);
}

std::string FormatMeasurementText(const CalibrationReport& report) {
  const RateEstimate& estimate = report.measurement.estimate;
  std::string text;
  text += "Device:          " + ShowableText(report.device) + "\n";
  text += "Nominal rate:    " + std::to_string(report.rate) + " Hz\n";
  text += Printf("Ratio:           %.7f (%+.2f ppm)\n", estimate.ratio, estimate.ppm);
  text +=
      Printf("95 %% band:       %+.2f to %+.2f ppm\n", estimate.bandLowPpm, estimate.bandHighPpm);
  text += Printf("Measured:        %.1f s, ", estimate.seconds) + std::to_string(estimate.steps) +
          " position steps of " + std::to_string(report.measurement.stepFrames) +
          " frames, timing by " +
          std::string(Timing(report.measurement)) + "\n";
  text += "Losses:          " + LossesText(report.measurement) + "\n";
  if (report.measurement.busySeconds > 0.0) {
    text += Printf("Processors:      kept busy by other programs for %.0f s of the run",
                   report.measurement.busySeconds) +
            kIndent + "(a calm computer gives the narrowest band)\n";
  }
  text += "Reference clock: " + ReferenceClockText(report.referenceClock, report.trueTime) + "\n";
  return text;
}

std::string FormatStoredLineText(const CalibrationReport& report) {
  if (report.stored) {
    return "Stored:          \"" + ShowableText(report.stored->name) + "\"=\"" +
           ShowableText(report.stored->value) + "\"\n                 in [" +
           ShowableText(report.stored->key) + "]\n                 of " +
           ShowableText(report.stored->file) + "\n" + DetailsLineText(*report.stored);
  }
  if (report.storeError) return "Stored:          nothing: " + ShowableText(*report.storeError) + "\n";
  return "Stored:          nothing (--store FOLDER stores it)\n";
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
  json["busy_seconds"] = report.measurement.busySeconds;
  json["reference_clock"] = ReferenceClockJson(report);
  if (report.stored) {
    Json stored;
    PutPath(stored, "file", report.stored->file);
    stored["key"] = ToUtf8(report.stored->key);
    stored["name"] = ToUtf8(report.stored->name);
    stored["value"] = ToUtf8(report.stored->value);
    Json details = Json::object();
    for (const StoredDetail& detail : report.stored->details) {
      details[ToUtf8(CalibrationDetailKey(detail.detail))] = ToUtf8(detail.text);
    }
    stored["details"] = report.stored->detailsError ? Json(nullptr) : details;
    stored["details_error"] =
        report.stored->detailsError ? Json(ToUtf8(*report.stored->detailsError)) : Json(nullptr);
    json["stored"] = stored;
  } else {
    json["stored"] = nullptr;
  }
  if (report.storeError) {
    json["error"] = ToUtf8(*report.storeError);
    json["status"] = report.storeErrorStatus;
  }
  return Dump(json);
}

std::string FormatErrorJson(const std::wstring& message, int status) {
  return Dump(Json({{"error", ToUtf8(message)}, {"status", status}}));
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
  std::string text = "Calibration values in " + ShowableText(file) + ":\n";
  const StringIndex index = IndexOf(values);
  std::size_t shown = 0;
  for (const StoredString& value : values) {
    if (value.name.find(L"Calib_") == std::wstring::npos || IsCalibrationDetailName(value.name)) {
      continue;
    }
    ++shown;
    text += "  [" + ShowableText(value.keyPath) + "] \"" + ShowableText(value.name) +
            "\" = " + ShowableText(value.data);
    const auto ratio = StoredRatio(value.data);
    text += ratio ? Printf(" (%+.1f ppm)", (*ratio - 1.0) * 1e6) : " (not a number)";
    text += "\n" + DetailsText(index, value);
  }
  if (shown == 0) text += "  none\n";
  return text;
}

std::string FormatStoredJson(const std::string& file, const std::vector<StoredString>& values) {
  Json list = Json::array();
  const StringIndex index = IndexOf(values);
  for (const StoredString& value : values) {
    if (value.name.find(L"Calib_") == std::wstring::npos || IsCalibrationDetailName(value.name)) {
      continue;
    }
    list.push_back({{"key", ToUtf8(value.keyPath)},
                    {"name", ToUtf8(value.name)},
                    {"value", ToUtf8(value.data)},
                    {"ratio", Optional(StoredRatio(value.data))},
                    {"details", DetailsJson(index, value)}});
  }
  Json json;
  PutPath(json, "file", file);
  json["values"] = list;
  return Dump(json);
}

std::string FormatDevicesText(const std::vector<DeviceListing>& devices) {
  std::string text;
  for (std::size_t id = 0; id < devices.size(); ++id) {
    text += std::to_string(id) + "  " + ShowableText(devices[id].name) + "\n";
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
  return Dump(Json({{"devices", list}}));
}

}  // namespace veltrane
