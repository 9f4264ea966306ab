// Our hive file against a real registry: Wine's regedit imports what RegistryFile wrote, and
// RegistryFile changes what Wine's exporters wrote without losing anything. Skipped where
// `wine` is not on PATH.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/Files.h"
#include "platform/HiveFormat.h"
#include "platform/linux/RegistryFile.h"
#include "support/RegistrySettings.h"
#include "tests/platform/linux/TemporaryFolder.h"
#include "base/Text.h"

namespace veltrane {
namespace {

const wchar_t kMakerKey[] = L"Software\\Ombrel's Projects";
const char kMakerKeyForWine[] = "HKEY_CURRENT_USER\\Software\\Ombrel's Projects";
// A Wine program that hangs must not hold the test run; the first start in a fresh prefix,
// which creates it, takes well under this.
const char kWineTimeoutSeconds[] = "120";

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    if (::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// The program's exit status, or -1 when it could not run or was killed.
int RunTool(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"timeout", kWineTimeoutSeconds});
  const pid_t child = ::fork();
  if (child == 0) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO);
    ::dup2(quiet, STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::optional<RegistryHive> ReadHive(const std::filesystem::path& file) {
  std::string bytes;
  if (ReadWholeFile(file.string(), bytes) != FileRead::Read) return std::nullopt;
  return ParseHive(bytes);
}

// Every value of a hive: (key path, value name) → (string data, other type's text).
using Values =
    std::map<std::pair<std::wstring, std::wstring>, std::pair<std::wstring, std::wstring>>;

Values AllValues(const RegistryHive& hive) {
  Values all;
  for (const RegistryHive::Key& key : hive.Keys()) {
    for (const RegistryHive::Value& value : key.values) {
      all[{key.path, value.name}] = {value.data, value.otherType};
    }
  }
  return all;
}

// One Wine prefix for the whole program: creating it is the slow part.
class RegistryWineTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!OnPath("wine")) {
      skipReason = "wine is not on PATH";
      return;
    }
    folder = new TemporaryFolder;
    ::setenv("WINEPREFIX", (folder->path / "prefix").c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    // No Mono or Gecko installer, and no window: the registry tools need neither.
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    const auto start = std::chrono::steady_clock::now();
    if (RunTool({"wine", "wineboot", "--init"}) != 0) skipReason = "Wine could not create a prefix";
    std::cout << "Creating the Wine prefix took "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
              << " s\n";
  }
  static void TearDownTestSuite() {
    if (folder == nullptr) return;
    RunTool({"wineserver", "--kill"});
    delete folder;
    folder = nullptr;
  }
  void SetUp() override {
    if (!skipReason.empty()) GTEST_SKIP() << skipReason;
  }

  static std::filesystem::path File(const char* name) { return folder->path / name; }

  static inline TemporaryFolder* folder = nullptr;
  static inline std::string skipReason;
};

TEST_F(RegistryWineTest, RegeditImportsWhatWeWrite) {
  struct Row {
    std::wstring folder;
    std::wstring name;
    std::wstring data;
    std::optional<double> number;  // stored with WriteDouble; data is what it must read
  };
  struct Start {
    const char* what;
    std::string bytes;  // the file before the rows are written; empty: no file
    std::vector<Row> rows;
  };
  // A new file gets every awkward name and datum; a file that another editor saved with a
  // UTF-8 byte order mark gets the program's own kind of value.
  const std::vector<Start> starts = {
      {"new file",
       "",
       {{L"Tuner", L"Input1Calib_44100_Of USB Audio", L"0.999750", 0.99975},
        {L"Tuner", L"Say \"hi\" to C:\\dir\\", L"a\\b\"c\\", {}},
        {L"Tuner", L"", L"", {}},
        {L"Réglages", L"Grüße", L"ÄÖÜ 日本 \U0001F3B5", {}},
        {L"Tuner\\[A]=\"B\"; x", L"=;[", L"' ; not a comment", {}}}},
      {"UTF-8 with a byte order mark",
       "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n",
       {{L"Marked", L"Input1Calib_48000_Of USB Audio", L"1.000125", 1.000125}}},
  };
  for (const Start& start : starts) {
    SCOPED_TRACE(start.what);
    const auto file = File("written.reg");
    std::filesystem::remove(file);
    if (!start.bytes.empty()) std::ofstream(file, std::ios::binary) << start.bytes;
    CRegistrySettings settings(std::make_shared<RegistryFile>(file.string()));
    for (const Row& row : start.rows) {
      settings.SetFolder(row.folder);
      ASSERT_TRUE(row.number ? settings.WriteDouble(row.name, *row.number)
                             : settings.WriteString(row.name, row.data))
          << ToUtf8(settings.LastError());
    }

    const auto began = std::chrono::steady_clock::now();
    const auto exported = File("exported.reg");
    ASSERT_EQ(RunTool({"wine", "regedit", "/S", file.string()}), 0);
    ASSERT_EQ(RunTool({"wine", "reg", "export", kMakerKeyForWine, exported.string(), "/y"}), 0);
    std::cout << "Import and export took "
              << std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count()
              << " s\n";

    // reg query prints in the console's code page; the export is UTF-16, read by our reader.
    const auto hive = ReadHive(exported);
    ASSERT_TRUE(hive);
    EXPECT_TRUE(hive->Form().utf16);
    for (const Row& row : start.rows) {
      SCOPED_TRACE(ToUtf8(row.folder + L" / " + row.name));
      EXPECT_EQ(hive->GetStringValue(kMakerKey + (L"\\" + row.folder), row.name), row.data);
    }
  }
}

TEST_F(RegistryWineTest, WhatWineExportedKeepsEveryValueWhenWeStoreOne) {
  const std::string key = kMakerKeyForWine + std::string("\\Exported");
  const std::vector<std::vector<std::string>> values = {
      {"/ve", "/d", "default"},
      {"/v", "Text", "/d", "say \"hi\" C:\\dir\\"},
      {"/v", "Count", "/t", "REG_DWORD", "/d", "42"},
      {"/v", "Big", "/t", "REG_QWORD", "/d", "1"},
      {"/v", "Blob", "/t", "REG_BINARY", "/d",
       "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f2021222324252627"},
      {"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%HOME%\\x"},
      {"/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b"},
  };
  for (const auto& value : values) {
    std::vector<std::string> command = {"wine", "reg", "add", key + "\\Sub"};
    command.insert(command.end(), value.begin(), value.end());
    command.push_back("/f");
    ASSERT_EQ(RunTool(command), 0);
  }
  const auto file = File("from-wine.reg");
  ASSERT_EQ(RunTool({"wine", "regedit", "/E", file.string(), key}), 0);
  const auto before = ReadHive(file);
  ASSERT_TRUE(before);
  ASSERT_TRUE(before->Form().utf16 && before->Form().crlf);

  const std::wstring sub = kMakerKey + std::wstring(L"\\Exported\\Sub");
  RegistryFile registry(file.string());
  ASSERT_TRUE(registry.StoreStringValue(sub, L"Ratio", L"0.999750"))
      << ToUtf8(registry.LastError());
  ASSERT_EQ(RunTool({"wine", "reg", "delete", key, "/f"}), 0);
  ASSERT_EQ(RunTool({"wine", "regedit", "/S", file.string()}), 0);
  const auto again = File("again.reg");
  ASSERT_EQ(RunTool({"wine", "regedit", "/E", again.string(), key}), 0);
  const auto after = ReadHive(again);
  ASSERT_TRUE(after);

  Values expected = AllValues(*before);
  EXPECT_EQ(expected.size(), values.size());
  expected[{sub, L"Ratio"}] = {L"0.999750", L""};
  EXPECT_EQ(AllValues(*after), expected);
}

}  // namespace
}  // namespace veltrane
