// The calibration reader through its C API (the shared library, as a tuner links it): every
// form of hive the program reads, written by the program's own writer or by hand as the
// registry editor writes them; hostile files; listing with details; the user's default file;
// reads from many threads while the program writes.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <veltrane/calibration.h>
#include <veltrane/calibration.hpp>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Text.h"
#include "platform/linux/RegistryFile.h"
#include "support/RegistrySettings.h"
#include "support/StoredNames.h"
#include "tests/platform/linux/HiveBytes.h"
#include "tests/platform/linux/TemporaryFolder.h"

namespace veltrane {
namespace {

namespace fs = std::filesystem;

std::string Utf16(const std::string& utf8) { return veltrane::Utf16(FromUtf8(utf8)); }

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";
const char kTuner[] = "[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\Tuner]\n";

struct Form {
  const char* name;
  std::string bytes;
  const char* folder, *prefix;
  int rate;
  const char* device;
  double ratio;
};

// What the editor writes and the program reads, each holding one calibration to find.
std::vector<Form> EditorForms() {
  const std::string plain = std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=\"0.999750\"\n";
  const std::string nonAscii = std::string(kHeader) + kTuner +
                               "\"Calib_44100_Of Mikrofon (Größe) \xF0\x9F\x8E\xB8\"=\"1.000120\"\n";
  return {
      {"UTF-8 LF", plain, "Tuner", "", 48000, "Mic", 0.99975},
      {"UTF-8 with BOM", "\xEF\xBB\xBF" + plain, "Tuner", "", 48000, "Mic", 0.99975},
      {"CRLF", WithCrLf(plain), "Tuner", "", 48000, "Mic", 0.99975},
      {"UTF-16LE CRLF as regedit exports", Utf16(WithCrLf(nonAscii)), "Tuner", "", 44100,
       "Mikrofon (Größe) \xF0\x9F\x8E\xB8", 1.00012},
      {"UTF-16LE LF", Utf16(plain), "Tuner", "", 48000, "Mic", 0.99975},
      {"REGEDIT4", "REGEDIT4\n\n" + std::string(kTuner) + "\"Calib_48000_Of Mic\"=\"0.999750\"\n",
       "Tuner", "", 48000, "Mic", 0.99975},
      {"escapes in the name", std::string(kHeader) + kTuner +
       "\"pre\\\\Calib_48000_Of \\\"Q\\\" \\\\ X\"=\"0.999000\"\n", "Tuner", "pre\\", 48000,
       "\"Q\" \\ X", 0.999},
      {"other types and continuation lines around it", std::string(kHeader) + kTuner +
       "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
       "  16,17,18\n\"Count\"=dword:00000010\n\"Calib_48000_Of Mic\"=\"0.999750\"\n"
       "\"Multi\"=hex(7):41,00,00,00,00,00\n", "Tuner", "", 48000, "Mic", 0.99975},
      {"comments and a key listed twice", std::string(kHeader) + "; a comment\n" + kTuner +
       "\"A\"=\"1\"\n\n" + kTuner + "\"Calib_48000_Of Mic\"=\"0.999750\"\n", "Tuner", "", 48000,
       "Mic", 0.99975},
      {"letter case of key and name", std::string(kHeader) +
       "[HKEY_CURRENT_USER\\software\\OMBREL'S PROJECTS\\tuner]\n\"CALIB_48000_of mic\"=\"0.999750\"\n",
       "Tuner", "", 48000, "Mic", 0.99975},
      {"folder trimmed as the store trims it", plain, "  Tuner \t", "", 48000, "Mic", 0.99975},
      {"nested folder", std::string(kHeader) +
       "[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\A\\B]\n\"Calib_8000_Of M\"=\"0.500000\"\n",
       "A\\B", "", 8000, "M", 0.5},
      {"empty folder is the maker key", std::string(kHeader) +
       "[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects]\n\"xCalib_8000_Of M\"=\"1.5\"\n", " ",
       "x", 8000, "M", 1.5},
  };
}

TEST(CalibrationReader, ReadsEveryFormTheEditorWrites) {
  TemporaryFolder folder;
  const std::string path = (folder.path / "hive.reg").string();
  for (const Form& form : EditorForms()) {
    SCOPED_TRACE(form.name);
    WriteBytes(path, form.bytes);
    double ratio = 0;
    veltrane_calibration_details details;
    ASSERT_EQ(veltrane_calibration_read_file(path.c_str(), form.folder, form.prefix, form.rate,
                                             form.device, &ratio, &details),
              VELTRANE_CALIBRATION_OK);
    EXPECT_DOUBLE_EQ(ratio, form.ratio);
    EXPECT_EQ(details.present, 0u);  // the dialog's way: no details
  }
}

// What the program's own writer leaves (the dialog's store: CRegistrySettings on the file),
// in each text form it keeps a file in.
TEST(CalibrationReader, ReadsWhatTheProgramWrites) {
  struct Case {
    const char* name;
    std::string before;  // the file before the program writes, "" for none
  };
  const std::vector<Case> cases = {
      {"new file", ""},
      {"kept UTF-16 CRLF", Utf16(WithCrLf(std::string(kHeader) + "[HKEY_CURRENT_USER\\Other]\n"))},
      {"kept REGEDIT4", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Other]\n\"x\"=\"y\"\n"},
  };
  TemporaryFolder folder;
  const std::string path = (folder.path / "hive.reg").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(path);
    if (!c.before.empty()) WriteBytes(path, c.before);
    CRegistrySettings settings(std::make_shared<RegistryFile>(path));
    settings.SetFolder(L" Tuner ");
    const std::wstring device = L"USB Mic \"2\" \\ Größe \U0001F3B8";
    ASSERT_TRUE(settings.WriteDouble(CalibrationValueName(L"p", 48000, device), 0.99975));
    double ratio = 0;
    ASSERT_EQ(veltrane_calibration_read_file(path.c_str(), "Tuner", "p", 48000,
                                             ToUtf8(device).c_str(), &ratio, nullptr),
              VELTRANE_CALIBRATION_OK);
    EXPECT_DOUBLE_EQ(ratio, 0.99975);
  }
}

TEST(CalibrationReader, RefusesHostileFilesWithAnErrorCode) {
  const std::string value = std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=\"0.999750\"\n";
  std::string badSurrogate = Utf16(value);
  badSurrogate.insert(badSurrogate.size() - 6, std::string("\x00\xD8", 2));  // a lone high half
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) & 0xFF);
  struct Case {
    const char* name;
    std::string bytes;
    veltrane_calibration_error want;
  };
  const std::vector<Case> cases = {
      {"truncated inside a string", value.substr(0, value.size() - 8),
       VELTRANE_CALIBRATION_BAD_FORMAT},
      {"truncated UTF-16 (odd length)", Utf16(value).substr(0, 101), VELTRANE_CALIBRATION_BAD_FORMAT},
      {"lone surrogate in UTF-16", badSurrogate, VELTRANE_CALIBRATION_BAD_FORMAT},
      {"binary garbage", binary, VELTRANE_CALIBRATION_BAD_FORMAT},
      {"malformed UTF-8", std::string(kHeader) + kTuner + "\"Calib_48000_Of \xC3(\"=\"1.0\"\n",
       VELTRANE_CALIBRATION_BAD_FORMAT},
      {"NUL bytes", std::string("\0\0\0\0", 4), VELTRANE_CALIBRATION_BAD_FORMAT},
      {"empty file", "", VELTRANE_CALIBRATION_BAD_FORMAT},
      {"a dword under the name", std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=dword:00000001\n",
       VELTRANE_CALIBRATION_WRONG_TYPE},
      {"not a number", std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=\"fast\"\n",
       VELTRANE_CALIBRATION_NOT_A_RATIO},
      {"not a plausible ratio", std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=\"-1\"\n",
       VELTRANE_CALIBRATION_NOT_A_RATIO},
      {"no such key", std::string(kHeader) + "[HKEY_CURRENT_USER\\SOFTWARE]\n",
       VELTRANE_CALIBRATION_NOT_FOUND},
      {"no such value", std::string(kHeader) + kTuner + "\"Calib_44100_Of Mic\"=\"1.0\"\n",
       VELTRANE_CALIBRATION_NOT_FOUND},
  };
  TemporaryFolder folder;
  const std::string path = (folder.path / "hive.reg").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(path, c.bytes);
    double ratio = 42;
    EXPECT_EQ(veltrane_calibration_read_file(path.c_str(), "Tuner", "", 48000, "Mic", &ratio,
                                             nullptr),
              c.want);
    EXPECT_EQ(ratio, 42);  // left alone
    veltrane_calibration_list* list = reinterpret_cast<veltrane_calibration_list*>(1);
    const auto listed = veltrane_calibration_list_file(path.c_str(), "Tuner", &list);
    if (c.want == VELTRANE_CALIBRATION_BAD_FORMAT) {
      EXPECT_EQ(listed, c.want);
      EXPECT_EQ(list, nullptr);
    }
    veltrane_calibration_list_free(list);
  }
}

TEST(CalibrationReader, RefusesWhatItCannotReadAndBadArguments) {
  TemporaryFolder folder;
  const std::string huge = (folder.path / "huge.reg").string();
  WriteBytes(huge, kHeader);
  fs::resize_file(huge, RegistryFile::kMostFileBytes + 1);  // sparse: no disk taken
  const std::string missing = (folder.path / "none.reg").string();
  const std::string directory = folder.path.string();
  const std::string good = (folder.path / "good.reg").string();
  WriteBytes(good, std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=\"0.999750\"\n");
  double ratio = 0;
  struct Case {
    const char* name;
    const char* path, *folder, *prefix, *device;
    double* ratio;
    veltrane_calibration_error want;
  };
  const std::vector<Case> cases = {
      {"too large", huge.c_str(), "Tuner", "", "Mic", &ratio, VELTRANE_CALIBRATION_TOO_LARGE},
      {"missing file", missing.c_str(), "Tuner", "", "Mic", &ratio, VELTRANE_CALIBRATION_NOT_FOUND},
      {"a directory", directory.c_str(), "Tuner", "", "Mic", &ratio,
       VELTRANE_CALIBRATION_UNREADABLE},
      {"no path", nullptr, "Tuner", "", "Mic", &ratio, VELTRANE_CALIBRATION_INVALID_ARGUMENT},
      {"no folder", good.c_str(), nullptr, "", "Mic", &ratio, VELTRANE_CALIBRATION_INVALID_ARGUMENT},
      {"no device", good.c_str(), "Tuner", "", nullptr, &ratio,
       VELTRANE_CALIBRATION_INVALID_ARGUMENT},
      {"no ratio", good.c_str(), "Tuner", "", "Mic", nullptr, VELTRANE_CALIBRATION_INVALID_ARGUMENT},
      {"folder not UTF-8", good.c_str(), "Tun\xFF", "", "Mic", &ratio,
       VELTRANE_CALIBRATION_INVALID_ARGUMENT},
      {"empty key level", good.c_str(), "A\\\\B", "", "Mic", &ratio,
       VELTRANE_CALIBRATION_INVALID_ARGUMENT},
      {"line feed in the device", good.c_str(), "Tuner", "", "M\nic", &ratio,
       VELTRANE_CALIBRATION_INVALID_ARGUMENT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(veltrane_calibration_read_file(c.path, c.folder, c.prefix, 48000, c.device, c.ratio,
                                             nullptr),
              c.want);
  }
  EXPECT_EQ(veltrane_calibration_list_file(good.c_str(), "Tuner", nullptr),
            VELTRANE_CALIBRATION_INVALID_ARGUMENT);
}

TEST(CalibrationReader, EveryErrorHasItsOwnText) {
  std::vector<std::string> texts;
  for (int code = VELTRANE_CALIBRATION_OK; code <= VELTRANE_CALIBRATION_UNSUPPORTED; ++code) {
    const char* text = veltrane_calibration_error_text(static_cast<veltrane_calibration_error>(code));
    ASSERT_NE(text, nullptr);
    for (const std::string& other : texts) EXPECT_NE(other, text);
    texts.emplace_back(text);
  }
  EXPECT_NE(veltrane_calibration_error_text(static_cast<veltrane_calibration_error>(99)), nullptr);
}

const char kWithDetails[] =
    "\"Calib_48000_Of Mic\"=\"0.999750\"\n"
    "\"Calib_48000_Of Mic;of\"=\"0.999750\"\n"
    "\"Calib_48000_Of Mic;band_ppm\"=\"0.412\"\n"
    "\"Calib_48000_Of Mic;seconds\"=\"60.0\"\n"
    "\"Calib_48000_Of Mic;date\"=\"2026-12-09T16:36:01Z\"\n"
    "\"Calib_48000_Of Mic;method\"=\"veltrane-cli, polling\"\n"
    "\"Calib_48000_Of Mic;relative_to\"=\"true time\"\n";

TEST(CalibrationReader, GivesDetailsOnlyWhenTheyBelongToTheValue) {
  struct Case {
    const char* name;
    std::string values;
    unsigned present;
  };
  const unsigned all = VELTRANE_CALIBRATION_HAS_BAND | VELTRANE_CALIBRATION_HAS_SECONDS |
                       VELTRANE_CALIBRATION_HAS_DATE | VELTRANE_CALIBRATION_HAS_METHOD |
                       VELTRANE_CALIBRATION_HAS_REFERENCE;
  std::string stale = kWithDetails;
  stale.replace(stale.find("0.999750"), 8, "0.999800");  // stored again since, by the dialog
  std::string halfWritten = kWithDetails;
  halfWritten.replace(halfWritten.find(";of\"=\"0.999750"), 14, ";of\"=\"");
  std::string badDate = kWithDetails;
  badDate.replace(badDate.find("2026-12-09T16:36:01Z"), 20, "yesterday");
  const std::vector<Case> cases = {
      {"all", kWithDetails, all},
      {"value stored again since", stale, 0},
      {"details half written", halfWritten, 0},
      {"a date that does not read", badDate, all & ~VELTRANE_CALIBRATION_HAS_DATE},
  };
  TemporaryFolder folder;
  const std::string path = (folder.path / "hive.reg").string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(path, std::string(kHeader) + kTuner + c.values);
    double ratio = 0;
    veltrane_calibration_details details;
    ASSERT_EQ(veltrane_calibration_read_file(path.c_str(), "Tuner", "", 48000, "Mic", &ratio,
                                             &details),
              VELTRANE_CALIBRATION_OK);
    EXPECT_EQ(details.present, c.present);
    if (c.present != all) continue;
    EXPECT_DOUBLE_EQ(details.band_ppm, 0.412);
    EXPECT_DOUBLE_EQ(details.seconds, 60.0);
    EXPECT_EQ(details.date, 1796834161);  // date -d 2026-12-09T16:36:01Z +%s
    EXPECT_STREQ(details.date_text, "2026-12-09T16:36:01Z");
    EXPECT_STREQ(details.method, "veltrane-cli, polling");
    EXPECT_EQ(details.reference, VELTRANE_CALIBRATION_REFERENCE_TRUE_TIME);
  }
}

TEST(CalibrationReader, ListsAFolderWithPartsAndDetails) {
  TemporaryFolder folder;
  const std::string path = (folder.path / "hive.reg").string();
  WriteBytes(path, std::string(kHeader) + kTuner + kWithDetails +
                       "\"Other\"=\"x\"\n\"pCalib_44100_Of Line In\"=\"1.000100\"\n"
                       "\"Calib_x_Of y\"=\"0.9\"\n\"Calib_8000_Of D\"=dword:00000001\n"
                       "[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\Tuner\\Below]\n"
                       "\"Calib_1_Of Z\"=\"1.0\"\n");
  const auto listing = calibration::ListFile(path, "Tuner");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing.key, "SOFTWARE\\Ombrel's Projects\\Tuner");
  ASSERT_EQ(listing.entries.size(), 4u);  // details, "Other" and the key below are not listed
  const auto& mic = listing.entries[0];
  EXPECT_EQ(mic.name, "Calib_48000_Of Mic");
  EXPECT_TRUE(mic.nameParsed);
  EXPECT_EQ(mic.device, "Mic");
  EXPECT_EQ(mic.rate, 48000);
  EXPECT_EQ(mic.ratio, 0.99975);
  EXPECT_NE(mic.details.present, 0u);
  const auto& line = listing.entries[1];
  EXPECT_EQ(line.prefix, "p");
  EXPECT_EQ(line.device, "Line In");
  EXPECT_EQ(line.details.present, 0u);
  EXPECT_FALSE(listing.entries[2].nameParsed);  // "Calib_x_Of y"
  EXPECT_TRUE(listing.entries[2].ratio.has_value());
  EXPECT_FALSE(listing.entries[3].isString);
  EXPECT_EQ(listing.entries[3].text, "dword:00000001");
  EXPECT_FALSE(listing.entries[3].ratio.has_value());

  const auto read = calibration::ReadFile(path, "Tuner", "", 48000, "Mic");
  EXPECT_TRUE(read);
  EXPECT_EQ(read.ratio, 0.99975);
  EXPECT_DOUBLE_EQ(calibration::Correct(440.0, read.ratio), 440.0 * 0.99975);
  const auto missing = calibration::ReadFile(path, "Tuner", "", 48000, "No such device");
  EXPECT_EQ(missing.error, VELTRANE_CALIBRATION_NOT_FOUND);
  EXPECT_EQ(missing.ratio, 1.0);  // no correction
  EXPECT_FALSE(calibration::ErrorText(missing.error).empty());

  const auto none = calibration::ListFile(path, "No such folder");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none.entries.empty());
  EXPECT_EQ(veltrane_calibration_list_entry(nullptr, 0), nullptr);
  EXPECT_EQ(veltrane_calibration_list_count(nullptr), 0u);
}

// The user's own file, found as the program finds it. Changes the environment: runs alone.
TEST(CalibrationReader, FindsTheUsersFileAsTheProgramDoes) {
  TemporaryFolder folder;
  const fs::path config = folder.path / "config";
  const fs::path home = folder.path / "home";
  fs::create_directories(config / "veltrane");
  fs::create_directories(home / ".config" / "veltrane");
  WriteBytes(config / "veltrane" / "HKEY_CURRENT_USER.reg",
             std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=\"0.999000\"\n");
  WriteBytes(home / ".config" / "veltrane" / "HKEY_CURRENT_USER.reg",
             std::string(kHeader) + kTuner + "\"Calib_48000_Of Mic\"=\"0.998000\"\n");
  struct Case {
    const char* name;
    std::string xdg;
    veltrane_calibration_error want;
    double ratio;
  };
  const std::vector<Case> cases = {
      {"XDG_CONFIG_HOME", config.string(), VELTRANE_CALIBRATION_OK, 0.999},
      {"relative XDG_CONFIG_HOME: HOME/.config", "relative", VELTRANE_CALIBRATION_OK, 0.998},
      {"no XDG_CONFIG_HOME: HOME/.config", "", VELTRANE_CALIBRATION_OK, 0.998},
      {"no file there yet", (folder.path / "empty").string(), VELTRANE_CALIBRATION_NOT_FOUND, 0},
  };
  const char* kept = std::getenv("VELTRANE_REGISTRY_FILE");
  const std::string keptFile = kept ? kept : "";
  ::unsetenv("VELTRANE_REGISTRY_FILE");
  ::setenv("HOME", home.c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.xdg.empty()) {
      ::unsetenv("XDG_CONFIG_HOME");
    } else {
      ::setenv("XDG_CONFIG_HOME", c.xdg.c_str(), 1);
    }
    double ratio = 0;
    EXPECT_EQ(veltrane_calibration_read(" Tuner", "", 48000, "Mic", &ratio, nullptr), c.want);
    if (c.want == VELTRANE_CALIBRATION_OK) {
      EXPECT_DOUBLE_EQ(ratio, c.ratio);
    }
  }
  if (!keptFile.empty()) ::setenv("VELTRANE_REGISTRY_FILE", keptFile.c_str(), 1);
}

// Threads read and list one file while the program keeps replacing it: every read finds the
// value, as each write replaces the file whole.
TEST(CalibrationReader, ReadsFromManyThreadsWhileTheProgramWrites) {
  TemporaryFolder folder;
  const std::string path = (folder.path / "hive.reg").string();
  CRegistrySettings settings(std::make_shared<RegistryFile>(path));
  settings.SetFolder(L"Tuner");
  ASSERT_TRUE(settings.WriteDouble(L"Calib_48000_Of Mic", 0.99975));
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 8; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        double ratio = 0;
        if (veltrane_calibration_read_file(path.c_str(), "Tuner", "", 48000, "Mic", &ratio,
                                           nullptr) != VELTRANE_CALIBRATION_OK ||
            ratio != 0.99975) {
          ++failures;
        }
        const auto listing = calibration::ListFile(path, "Tuner");
        if (!listing || listing.entries.empty()) ++failures;
      }
    });
  }
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) settings.WriteDouble(L"Calib_44100_Of Other", 1.0 + i * 1e-6);
  });
  for (std::thread& reader : readers) reader.join();
  stop = true;
  writer.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(CalibrationReader, CorrectsInTheRightDirection) {
  // A device that records 47988 samples a second for a nominal 48000: ratio 0.99975. One
  // period of a true 440 Hz spans 47988 / 440 samples, which a tuner assuming 48000 reads as
  // 48000 / (47988 / 440) = 440.110028 Hz; the correction brings it back to 440.
  const double ratio = 47988.0 / 48000.0;
  const double measured = 48000.0 / (47988.0 / 440.0);
  EXPECT_NEAR(measured, 440.110028, 1e-6);
  EXPECT_NEAR(veltrane_calibration_correct(measured, ratio), 440.0, 1e-9);
  EXPECT_STREQ(veltrane_calibration_version(), "0.1.0");
}

}  // namespace
}  // namespace veltrane
