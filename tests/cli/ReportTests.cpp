// What veltrane-cli prints, through the formatting functions: the stored values with their
// ppm, the line that says what was stored, and the JSON object with a failed store.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/Report.h"

namespace veltrane {
namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(ReportTest, StoredValuesShowTheirPpmAndOnlyCalibrations) {
  struct Row {
    std::vector<StoredString> values;
    std::vector<std::string> shown;
    std::vector<std::string> notShown;
  };
  const std::vector<Row> rows = {
      {{{L"K", L"Calib_44100_Of Mic", L"0.999750"}},
       {"\"Calib_44100_Of Mic\" = 0.999750 (-250.0 ppm)"},
       {"none"}},
      {{{L"K", L"Calib_48000_Of Mic", L"abc"}}, {"= abc (not a number)"}, {"ppm"}},
      {{{L"K", L"Other", L"1.0"}}, {"  none\n"}, {"Other"}},
      // A stored name cannot drive the terminal.
      {{{L"K", L"Calib_1_Of \x1b[2J", L"1.000000"}}, {"\\x1b[2J"}, {"\x1b"}},
      // Details are shown under their value, never as values, and only when they are its.
      {{{L"K", L"Calib_1_Of M", L"0.5"},
        {L"K", L"calib_1_of m;OF", L"0.5"},
        {L"K", L"Calib_1_Of M;band_ppm", L"0.412"},
        {L"Other key", L"Calib_1_Of M;seconds", L"9.8"}},
       {"= 0.5 (-500000.0 ppm)\n      band_ppm: 0.412\n"},
       {";", "seconds", "earlier run"}},
      {{{L"K", L"Calib_1_Of M", L"0.6"},
        {L"K", L"Calib_1_Of M;of", L"0.5"},
        {L"K", L"Calib_1_Of M;band_ppm", L"0.412"}},
       {"      (the details beside it are of an earlier run)\n"},
       {"0.412", ";"}},
  };
  for (const Row& row : rows) {
    const std::string text = FormatStoredText("file.reg", row.values);
    SCOPED_TRACE(text);
    for (const std::string& part : row.shown) EXPECT_TRUE(Has(text, part)) << part;
    for (const std::string& part : row.notShown) EXPECT_FALSE(Has(text, part)) << part;
  }
}

TEST(ReportTest, AFailedStoreIsSaidInTextAndJson) {
  CalibrationReport report;
  report.device = L"Mic";
  report.rate = 44100;
  report.measurement.estimate.valid = true;
  report.measurement.estimate.ratio = 0.99975;
  EXPECT_EQ(FormatStoredLineText(report), "Stored:          nothing (--store FOLDER stores it)\n");
  EXPECT_EQ(nlohmann::json::parse(FormatReportJson(report))["stored"], nullptr);

  report.storeError = L"The result could not be stored: disk full";
  report.storeErrorStatus = 4;
  EXPECT_EQ(FormatStoredLineText(report),
            "Stored:          nothing: The result could not be stored: disk full\n");
  const auto failed = nlohmann::json::parse(FormatReportJson(report));
  EXPECT_EQ(failed["stored"], nullptr);
  EXPECT_EQ(failed["error"], "The result could not be stored: disk full");
  EXPECT_EQ(failed["status"], 4);

  report.storeError.reset();
  report.stored = StoredResult{"file.reg", L"HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\T",
                               L"Calib_44100_Of Mic", L"0.999750", {}, std::nullopt};
  const auto stored = nlohmann::json::parse(FormatReportJson(report));
  EXPECT_EQ(stored["stored"]["value"], "0.999750");
  EXPECT_EQ(stored["stored"]["file"], "file.reg");
  EXPECT_FALSE(stored.contains("error"));
  EXPECT_TRUE(Has(FormatStoredLineText(report), "\"Calib_44100_Of Mic\"=\"0.999750\""));
}

}  // namespace
}  // namespace veltrane
