#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <tuple>
#include <vector>

#include "base/Files.h"
#include "tests/platform/RegistryContract.h"
#include "platform/linux/RegistryFile.h"
#include "startup/Startup.h"
#include "tests/platform/linux/HiveBytes.h"
#include "tests/platform/linux/TemporaryFolder.h"
#include "base/Text.h"

namespace veltrane {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> FolderEntries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Runs body in a child process and returns its exit status (body's result, 0 for success).
template <typename Body>
int RunInChild(Body body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body());
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class FileUnderTest : public RegistryUnderTest {
 public:
  Registry& Current() override { return registry; }
  std::shared_ptr<Registry> Reopen() override { return std::make_shared<RegistryFile>(file); }

 private:
  TemporaryFolder folder;
  std::string file = (folder.path / "hive.reg").string();
  RegistryFile registry{file};
};

INSTANTIATE_TEST_SUITE_P(File, RegistryContractTest,
                         testing::Values(RegistryMaker{
                             "File", [] { return std::make_unique<FileUnderTest>(); }}),
                         RegistryMakerName);

class RegistryFileTest : public testing::Test {
 protected:
  TemporaryFolder folder;
  fs::path file = folder.path / "HKEY_CURRENT_USER.reg";
  RegistryFile registry{file.string()};
};

TEST_F(RegistryFileTest, WritesTheEditorFormatWithEscapes) {
  const auto tuner = registry.CreateKey(nullptr, L"SOFTWARE\\Ombrel's Projects\\Tuner");
  ASSERT_TRUE(tuner);
  ASSERT_TRUE(registry.SetStringValue(*tuner, L"Input1Calib_44100_Of USB \"Pro\"", L"0.999750"));
  ASSERT_TRUE(registry.SetStringValue(*tuner, L"C:\\dir\\", L"a\\b\"c"));
  ASSERT_TRUE(registry.SetStringValue(*tuner, L"Grüße", L"ÄÖÜ 日本"));
  ASSERT_TRUE(registry.SetStringValue(*tuner, L"", L"default"));
  ASSERT_TRUE(registry.SetStringValue(*tuner, L"GRÜSSE", L"second"));
  ASSERT_TRUE(registry.SetStringValue(*tuner, L"grüße", L"replaced"));
  const auto odd = registry.CreateKey(&*tuner, L"[A]=\"B\"]");
  ASSERT_TRUE(odd);
  ASSERT_TRUE(registry.SetStringValue(*odd, L"x", L""));

  // Text beyond ASCII makes it UTF-16, which the registry editor reads whatever its code page.
  EXPECT_EQ(ReadBytes(file), Utf16(LR"reg(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\SOFTWARE]

[HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects]

[HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\Tuner]
"Input1Calib_44100_Of USB \"Pro\""="0.999750"
"C:\\dir\\"="a\\b\"c"
"Grüße"="replaced"
@="default"
"GRÜSSE"="second"

[HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\Tuner\[A]="B"]]
"x"=""

)reg"));
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(FolderEntries(folder.path),
            (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
}

TEST_F(RegistryFileTest, KeepsEverythingElseInAFileWrittenElsewhere) {
  // Windows line ends, a byte order mark, blank lines with blanks and no final line end,
  // and a key whose ancestors have no section of their own. Line ends are kept; the mark
  // goes, as the registry editor refuses a file that begins with it.
  WriteBytes(file,
             "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
             "[HKEY_CURRENT_USER\\Other]\r\n\"keep\"=\"me \\\"too\\\"\"\r\n@=\"def\"\r\n \t\r\n"
             "[HKEY_CURRENT_USER\\SOFTWARE\\Ombrel's Projects\\Tuner]\r\n"
             "\"old\"=\"1\"\r\n\"ratio\"=\"0.5\"");
  const auto tuner = registry.CreateKey(nullptr, L"software\\OMBREL'S PROJECTS\\tuner");
  ASSERT_TRUE(tuner);
  EXPECT_EQ(tuner->path, L"SOFTWARE\\Ombrel's Projects\\Tuner");
  ASSERT_TRUE(registry.SetStringValue(*tuner, L"Ratio", L"0.999750"));

  EXPECT_EQ(ReadBytes(file), WithCrLf(R"reg(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Other]
"keep"="me \"too\""
@="def"

[HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects\Tuner]
"old"="1"
"ratio"="0.999750"

[HKEY_CURRENT_USER\SOFTWARE]

[HKEY_CURRENT_USER\SOFTWARE\Ombrel's Projects]

)reg"));
}

TEST_F(RegistryFileTest, NeverReplacesAFileItCannotParse) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n";
  const std::string good = header + "[HKEY_CURRENT_USER\\Other]\n\"keep\"=\"1\"\n";
  std::string utf16 = "\xFF\xFE";  // what the editor itself exports
  for (char c : std::string("Windows Registry Editor Version 5.00\r\n")) {
    utf16 += c;
    utf16 += '\0';
  }
  const std::vector<std::pair<const char*, std::string>> files = {
      {"empty", ""},
      {"UTF-16 cut in a character", utf16 + "A"},
      {"not a registry file", "hello world\n"},
      {"stray line", good + "hello\n"},
      {"unknown escape", good + "\"a\"=\"\\n\"\n"},
      {"unknown value type", good + "\"a\"=qword:00000001\n"},
      {"short dword", good + "\"a\"=dword:1\n"},
      {"malformed hex", good + "\"a\"=hex:1,02\n"},
      {"hex continued past the end", good + "\"a\"=hex:01,\\\n"},
      {"key deletion", good + "[-HKEY_CURRENT_USER\\Gone]\n"},
      {"value deletion", good + "\"a\"=-\n"},
      {"other hive", good + "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"},
      {"value before any key", header + "\"a\"=\"b\"\n"},
      {"text after a value", good + "\"a\"=\"b\" c\n"},
      {"blank before the equals sign", good + "\"a\" =\"b\"\n"},
      {"invalid UTF-8", good + "\"a\"=\"\xC3\x28\"\n"},
      {"overlong UTF-8", good + "\"a\"=\"\xC0\xAF\"\n"},
      {"UTF-8 surrogate", good + "\"a\"=\"\xED\xA0\x80\"\n"},
      {"truncated in a value", good + "\"a\"=\"0.99"},
      {"truncated in a section", good + "[HKEY_CURR"},
      {"truncated in a character", good + "\"a\"=\"\xC3"},
      {"value name twice", good + "\"KEEP\"=\"2\"\n"},
      {"value name twice in a key listed twice",
       good + "[HKEY_CURRENT_USER\\OTHER]\n\"KEEP\"=\"2\"\n"},
      {"empty key level", good + "[HKEY_CURRENT_USER\\A\\\\B]\n"},
      {"NUL byte", good + std::string("\"a\"=\"x\0y\"\n", 10)},
      {"carriage return inside a line", good + "\"a\"=\"x\ry\"\n"},
  };
  for (const auto& [what, bytes] : files) {
    SCOPED_TRACE(what);
    WriteBytes(file, bytes);
    EXPECT_FALSE(registry.CreateKey(nullptr, L"SOFTWARE"));
    EXPECT_FALSE(registry.SetStringValue(RegistryKey{L"Other"}, L"keep", L"2"));
    EXPECT_FALSE(registry.KeyExists(L"Other"));
    EXPECT_EQ(registry.GetStringValue(L"Other", L"keep"), std::nullopt);
    EXPECT_EQ(ReadBytes(file), bytes);
    EXPECT_EQ(FolderEntries(folder.path),
              (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
  }
  // The same file without the fault is taken, so each case above fails for its fault.
  WriteBytes(file, good);
  EXPECT_TRUE(registry.SetStringValue(RegistryKey{L"Other"}, L"keep", L"2"));
  EXPECT_EQ(registry.GetStringValue(L"Other", L"keep"), L"2");
}

TEST_F(RegistryFileTest, KeepsTheEditorsOwnExportsAsTheyWere) {
  // Comments go, a key listed twice is merged, every value is kept as it was written.
  const std::wstring exported =
      L"Windows Registry Editor Version 5.00\r\n\r\n; exported\r\n"
      L"[HKEY_CURRENT_USER\\Software\\Tuner]\r\n"
      L"\"Grüße \U0001F3B5\"=\"ä\"\r\n"
      L"\"Count\"=dword:0000002A\r\n"
      L"\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
      L"  16,17\r\n"
      L"\"Path\"=hex(2):25,00,48,00,00,00\r\n"
      L"\"None\"=hex:\r\n\r\n"
      L"[HKEY_CURRENT_USER\\Software\\Other]\r\n@=\"x\"\r\n\r\n"
      L"[HKEY_CURRENT_USER\\Software\\Tuner]\r\n"
      L"\"Multi\"=hex(7):61,00,00,00,00,00\r\n";
  const std::wstring stored =
      L"Windows Registry Editor Version 5.00\r\n\r\n"
      L"[HKEY_CURRENT_USER\\Software\\Tuner]\r\n"
      L"\"Grüße \U0001F3B5\"=\"ä\"\r\n"
      L"\"Count\"=dword:0000002A\r\n"
      L"\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
      L"  16,17\r\n"
      L"\"Path\"=hex(2):25,00,48,00,00,00\r\n"
      L"\"None\"=hex:\r\n"
      L"\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
      L"\"Ratio\"=\"0.999750\"\r\n\r\n"
      L"[HKEY_CURRENT_USER\\Software\\Other]\r\n@=\"x\"\r\n\r\n"
      L"[HKEY_CURRENT_USER\\Software]\r\n\r\n";  // every level gets a section of its own
  const std::vector<std::tuple<const char*, std::string, std::string>> cases = {
      {"UTF-16 export", Utf16(exported), Utf16(stored)},
      {"older editor's header",
       "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tuner]\n\"Count\"=dword:00000001\n",
       "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tuner]\n\"Count\"=dword:00000001\n"
       "\"Ratio\"=\"0.999750\"\n\n[HKEY_CURRENT_USER\\Software]\n\n"},
  };
  for (const auto& [what, before, after] : cases) {
    SCOPED_TRACE(what);
    WriteBytes(file, before);
    ASSERT_TRUE(registry.StoreStringValue(L"software\\tuner", L"Ratio", L"0.999750"))
        << ToUtf8(registry.LastError());
    EXPECT_EQ(ReadBytes(file), after);
    EXPECT_EQ(registry.GetStringValue(L"Software\\Tuner", L"Count"), std::nullopt);
  }
  EXPECT_EQ(registry.GetStringValue(L"Software\\Tuner", L"Ratio"), L"0.999750");
}

TEST_F(RegistryFileTest, FailsWhenTheFileCannotBeReachedOrRead) {
  fs::create_directory(file);
  EXPECT_FALSE(registry.CreateKey(nullptr, L"SOFTWARE"));
  EXPECT_TRUE(fs::is_directory(file));
  EXPECT_TRUE(fs::is_empty(file));

  WriteBytes(folder.path / "plain", "not a folder");
  RegistryFile belowAFile((folder.path / "plain" / "hive.reg").string());
  EXPECT_FALSE(belowAFile.CreateKey(nullptr, L"SOFTWARE"));
  EXPECT_EQ(ReadBytes(folder.path / "plain"), "not a folder");
}

TEST_F(RegistryFileTest, FailsWithoutPermissionAndLeavesTheFileAlone) {
  // Root reads and writes anything, so the user's side runs as nobody in a child process.
  const std::string bytes = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n";
  WriteBytes(file, bytes);
  WriteBytes(folder.path / "HKEY_CURRENT_USER.reg.lock", "");
  fs::permissions(folder.path / "HKEY_CURRENT_USER.reg.lock", fs::perms::all);
  fs::permissions(folder.path, fs::perms::all);

  const auto writeAs = [&](fs::perms filePermissions, fs::perms folderPermissions) {
    fs::permissions(file, filePermissions);
    fs::permissions(folder.path, folderPermissions);
    return RunInChild([&] {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
      RegistryFile asUser(file.string());
      const RegistryKey key{L"K"};
      return asUser.SetStringValue(key, L"v", L"1") ? 1 : 0;
    });
  };
  EXPECT_EQ(writeAs(fs::perms::none, fs::perms::all), 0) << "unreadable file";
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  const auto executable = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  EXPECT_EQ(writeAs(readOnly, readOnly | executable), 0) << "folder without write permission";
  fs::permissions(folder.path, fs::perms::owner_all);
  EXPECT_EQ(ReadBytes(file), bytes);
  EXPECT_EQ(FolderEntries(folder.path),
            (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
  // The same write is allowed to the file's owner.
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(registry.SetStringValue(RegistryKey{L"K"}, L"v", L"1"));
}

// A short wait keeps the test quick; the wait's bound is what is tested.
constexpr std::chrono::milliseconds kShortLockWait{100};
const std::string kGoodHive =
    "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Other]\n\"keep\"=\"1\"\n";

TEST_F(RegistryFileTest, RefusesWithAReasonAndLeavesTheFileAlone) {
  std::optional<FileDescriptor> heldLock;  // another program's hold on the hive's lock
  const std::vector<std::tuple<const char*, std::function<fs::path()>, const char*>> cases = {
      {"not parsed",
       [&] {
         WriteBytes(file, kGoodHive + "\"a\"=qword:1\n");
         return file;
       },
       "not in the registry editor's format at line 5: a value of an unknown type"},
      {"read-only",
       [&] {
         WriteBytes(file, kGoodHive);
         fs::permissions(file,
                         fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
         return file;
       },
       "is read-only"},
      {"in use",
       [&] {
         WriteBytes(file, kGoodHive);
         heldLock.emplace(::open((file.string() + ".lock").c_str(), O_RDWR | O_CREAT, 0600));
         EXPECT_EQ(::flock(heldLock->Get(), LOCK_EX), 0);
         return file;
       },
       "is in use by another program"},
      {"too large",
       [&] {
         WriteBytes(file, kGoodHive);
         fs::resize_file(file, RegistryFile::kMostFileBytes + 1);
         return file;
       },
       "is too large"},
      {"lock file a folder",
       [&] {
         WriteBytes(file, kGoodHive);
         fs::create_directory(file.string() + ".lock");
         return file;
       },
       "lock file"},
      {"folder below a file",
       [&] {
         WriteBytes(folder.path / "plain", "not a folder");
         return folder.path / "plain" / "hive.reg";
       },
       "cannot be created: Not a directory"},
  };
  for (const auto& [what, prepare, cause] : cases) {
    SCOPED_TRACE(what);
    const fs::path hive = prepare();
    const std::string before = ReadBytes(hive);
    RegistryFile store(hive.string(), RealFileSystemCalls(), kShortLockWait);
    std::wstring reason;
    EXPECT_FALSE(store.CanStore(L"SOFTWARE\\Tuner", L"Ratio", reason));
    EXPECT_NE(reason.find(FromUtf8(folder.path.string())), std::wstring::npos) << ToUtf8(reason);
    EXPECT_NE(reason.find(FromUtf8(cause)), std::wstring::npos) << ToUtf8(reason);
    EXPECT_FALSE(store.StoreStringValue(L"SOFTWARE\\Tuner", L"Ratio", L"1"));
    EXPECT_EQ(store.LastError(), reason);
    EXPECT_EQ(ReadBytes(hive), before);
    heldLock.reset();
    fs::remove(file.string() + ".lock");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  }
  // The same store is taken once the fault is gone, so each case fails for its own fault.
  WriteBytes(file, kGoodHive);
  std::wstring reason;
  EXPECT_TRUE(registry.CanStore(L"SOFTWARE\\Tuner", L"Ratio", reason)) << ToUtf8(reason);
  EXPECT_TRUE(registry.StoreStringValue(L"SOFTWARE\\Tuner", L"Ratio", L"1"));
}

// What the store will refuse, the check before measuring refuses too, with the cause. Runs
// as root here too, which passes every permission test.
TEST_F(RegistryFileTest, TheCheckRefusesWhatTheStoreWillRefuse) {
  const std::vector<std::pair<const char*, const char*>> rows = {
      {"/proc/self/mem", "No file can be written in the folder \"/proc/self\""},
      {"/proc/version", "No file can be written in the folder \"/proc\""},
      {"/proc/self/hive.reg", "No file can be written in the folder \"/proc/self\""},
      {"/proc/self/none/hive.reg",
       "The folder \"/proc/self/none\" for the settings file cannot be created"},
  };
  for (const auto& [path, cause] : rows) {
    SCOPED_TRACE(path);
    RegistryFile store(path);
    std::wstring reason;
    EXPECT_FALSE(store.CanStore(L"SOFTWARE\\Tuner", L"Ratio", reason));
    EXPECT_NE(reason.find(FromUtf8(cause)), std::wstring::npos) << ToUtf8(reason);
    EXPECT_FALSE(store.StoreStringValue(L"SOFTWARE\\Tuner", L"Ratio", L"1"));
  }
  // A read that fails says how, apart from a file that is not regular.
  const std::vector<std::pair<const char*, const char*>> reads = {
      {"/proc/self/mem", "cannot be read: Input/output error"},
      {"/proc/self", "cannot be read: it is not a regular file"},
  };
  for (const auto& [path, cause] : reads) {
    RegistryFile reader(path);
    EXPECT_FALSE(reader.ReadStringsBelow(L""));
    EXPECT_NE(reader.LastError().find(FromUtf8(cause)), std::wstring::npos)
        << ToUtf8(reader.LastError());
  }
}

// Stands in for a file-system call and fails it with error.
template <typename Result, int error, typename... Arguments>
Result Refuse(Arguments...) {
  errno = error;
  return -1;
}

// Each row replaces one call by one that fails.
struct FailingCall {
  const char* call;
  void (*inject)(FileSystemCalls& calls);
  const char* cause;
};

// clang-format off
const std::vector<FailingCall> kFailingCalls = {
    {"open", [](FileSystemCalls& c) { c.open = Refuse<int, EMFILE, const char*, int, mode_t>; }, "Too many open files"},
    {"flock", [](FileSystemCalls& c) { c.flock = Refuse<int, EWOULDBLOCK, int, int>; }, "in use by another program"},
    {"mkostemp", [](FileSystemCalls& c) { c.mkostemp = Refuse<int, EACCES, char*, int>; }, "Permission denied"},
    {"write", [](FileSystemCalls& c) { c.write = Refuse<ssize_t, ENOSPC, int, const void*, size_t>; }, "writing: No space left on device"},
    {"fchmod", [](FileSystemCalls& c) { c.fchmod = Refuse<int, EPERM, int, mode_t>; }, "Operation not permitted"},
    {"fsync", [](FileSystemCalls& c) { c.fsync = Refuse<int, EIO, int>; }, "Input/output error"},
    {"rename", [](FileSystemCalls& c) { c.rename = Refuse<int, EXDEV, const char*, const char*>; }, "Invalid cross-device link"},
};
// clang-format on

TEST_F(RegistryFileTest, AFailingFileSystemCallLosesNothing) {
  ASSERT_TRUE(registry.StoreStringValue(L"Other", L"keep", L"1"));
  const std::string before = ReadBytes(file);
  for (const FailingCall& row : kFailingCalls) {
    SCOPED_TRACE(row.call);
    FileSystemCalls calls = RealFileSystemCalls();
    row.inject(calls);
    RegistryFile failing(file.string(), calls, kShortLockWait);
    EXPECT_FALSE(failing.StoreStringValue(L"Other", L"keep", L"2"));
    EXPECT_NE(failing.LastError().find(FromUtf8(row.cause)), std::wstring::npos)
        << ToUtf8(failing.LastError());
    EXPECT_EQ(ReadBytes(file), before);
    EXPECT_EQ(FolderEntries(folder.path),
              (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
  }
}

TEST_F(RegistryFileTest, RemovesOnlyItsOwnStaleTemporaryFiles) {
  ASSERT_TRUE(registry.StoreStringValue(L"K", L"v", L"1"));
  const pid_t exited = [] {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
  }();
  const std::string own = "HKEY_CURRENT_USER.reg.veltrane-tmp-";
  const std::string dead = own + std::to_string(exited) + "-a1B2c3";
  const std::string mine = own + std::to_string(::getpid()) + "-Zz09Yy";
  // name | a file of ours that its writer left behind
  const std::vector<std::pair<std::string, bool>> rows = {
      {dead, true},
      {mine, true},
      {own + std::to_string(::getppid()) + "-a1B2c3", false},  // its writer still runs
      {"HKEY_CURRENT_USER.reg.tmp-backup", false},
      {"HKEY_CURRENT_USER.reg.tmp-a1B2c3", false},
      {own + std::to_string(exited) + "-a1B2c", false},
      {own + std::to_string(exited) + "-a1.2c3", false},
      {own + "x" + std::to_string(exited) + "-a1B2c3", false},
      {"other.reg.veltrane-tmp-" + std::to_string(exited) + "-a1B2c3", false},
  };
  std::set<std::string> kept = {"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"};
  for (const auto& [name, stale] : rows) {
    WriteBytes(folder.path / name, "partial");
    if (!stale) kept.insert(name);
  }
  fs::create_directory(folder.path / (own + std::to_string(exited) + "-Folder"));
  kept.insert(own + std::to_string(exited) + "-Folder");
  ASSERT_TRUE(registry.StoreStringValue(L"K", L"v", L"2"));
  EXPECT_EQ(FolderEntries(folder.path), kept);
}

int renames = 0;

TEST_F(RegistryFileTest, StoresInALargeHiveWithOneRewrite) {
  // Parsing used to compare every pair of keys: minutes for this many. The bound is generous
  // for a calm machine and sanitizer builds; bench/HiveStoreBench measures.
  constexpr int kKeys = 50000;
  std::string bytes = "Windows Registry Editor Version 5.00\n\n";
  for (int i = 0; i < kKeys; ++i) {
    bytes += "[HKEY_CURRENT_USER\\SOFTWARE\\Vendor " + std::to_string(i % 100) + "\\Key " +
             std::to_string(i) + "]\n\"v\"=\"" + std::to_string(i) + "\"\n\n";
  }
  WriteBytes(file, bytes);
  FileSystemCalls counting = RealFileSystemCalls();
  counting.rename = [](const char* from, const char* to) {
    ++renames;
    return ::rename(from, to);
  };
  RegistryFile store(file.string(), counting);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(store.StoreStringValue(L"SOFTWARE\\Ombrel's Projects\\Tuner", L"Ratio", L"1"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(renames, 1);
  EXPECT_EQ(store.GetStringValue(L"software\\vendor 7\\key 49907", L"V"), L"49907");
}

TEST_F(RegistryFileTest, CreatesMissingFolders) {
  const fs::path deep = folder.path / "a" / "b" / "c" / "hive.reg";
  RegistryFile fresh(deep.string());
  EXPECT_FALSE(fresh.KeyExists(L"K"));
  EXPECT_FALSE(fs::exists(deep.parent_path()));
  const auto key = fresh.CreateKey(nullptr, L"K");
  ASSERT_TRUE(key);
  ASSERT_TRUE(fresh.SetStringValue(*key, L"v", L"1"));
  EXPECT_EQ(ReadBytes(deep),
            "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n"
            "\"v\"=\"1\"\n\n");
}

TEST_F(RegistryFileTest, ReplacesTheFileByRenameKeepingItsPermissions) {
  const auto key = registry.CreateKey(nullptr, L"K");
  ASSERT_TRUE(key);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  // Nothing changes: the file is not rewritten.
  ASSERT_TRUE(registry.CreateKey(nullptr, L"k"));
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);

  ASSERT_TRUE(registry.SetStringValue(*key, L"v", L"1"));
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(FolderEntries(folder.path),
            (std::set<std::string>{"HKEY_CURRENT_USER.reg", "HKEY_CURRENT_USER.reg.lock"}));
}

TEST_F(RegistryFileTest, WritesThroughASymbolicLink) {
  const fs::path target = folder.path / "real.reg";
  fs::create_symlink("real.reg", file);
  const auto key = registry.CreateKey(nullptr, L"K");
  ASSERT_TRUE(key);
  ASSERT_TRUE(registry.SetStringValue(*key, L"v", L"1"));
  EXPECT_TRUE(fs::is_symlink(file));
  EXPECT_EQ(RegistryFile(target.string()).GetStringValue(L"K", L"v"), L"1");
}

TEST_F(RegistryFileTest, ConcurrentWriterProcessesKeepEachOthersValues) {
  constexpr int kWriters = 2;
  constexpr int kWritesEach = 100;
  const auto shared = registry.CreateKey(nullptr, L"SOFTWARE\\Shared");
  ASSERT_TRUE(shared);
  ASSERT_TRUE(registry.SetStringValue(*shared, L"present", L"yes"));
  const fs::path done = folder.path / "done";

  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      RegistryFile own(file.string());
      int failures = 0;
      for (int i = 0; i < kWritesEach; ++i) {
        const auto key = own.CreateKey(nullptr, L"SOFTWARE\\Shared");
        const std::wstring name = L"w" + std::to_wstring(w) + L"_" + std::to_wstring(i);
        if (!key || !own.SetStringValue(*key, name, std::to_wstring(i))) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    writers.push_back(child);
  }
  // A reader that must see a whole file every time, never one half written.
  const pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    RegistryFile view(file.string());
    int reads = 0;
    while (!fs::exists(done) || reads == 0) {
      if (view.GetStringValue(L"SOFTWARE\\Shared", L"present") != L"yes") ::_exit(1);
      ++reads;
    }
    ::_exit(0);
  }

  for (pid_t writer : writers) {
    int status = 0;
    ASSERT_EQ(::waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  WriteBytes(done, "");
  int status = 0;
  ASSERT_EQ(::waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the reader saw a broken file";

  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kWritesEach; ++i) {
      const std::wstring name = L"w" + std::to_wstring(w) + L"_" + std::to_wstring(i);
      EXPECT_EQ(registry.GetStringValue(L"SOFTWARE\\Shared", name), std::to_wstring(i));
    }
  }
}

class EnvironmentVariable {
 public:
  explicit EnvironmentVariable(const char* name) : name(name) {
    const char* value = std::getenv(name);
    if (value != nullptr) saved = value;
  }
  ~EnvironmentVariable() {
    if (saved) {
      ::setenv(name, saved->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  void Set(const char* value) {
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }

 private:
  const char* name;
  std::optional<std::string> saved;
};

TEST(UserRegistryPathTest, FollowsTheEnvironment) {
  EnvironmentVariable named("VELTRANE_REGISTRY_FILE");
  EnvironmentVariable config("XDG_CONFIG_HOME");
  EnvironmentVariable home("HOME");
  home.Set("/home/someone");

  named.Set("/tmp/elsewhere.reg");
  config.Set("/etc/cfg");
  EXPECT_EQ(UserRegistryPath(), "/tmp/elsewhere.reg");
  named.Set(nullptr);
  EXPECT_EQ(UserRegistryPath(), "/etc/cfg/veltrane/HKEY_CURRENT_USER.reg");
  config.Set("relative/cfg");
  EXPECT_EQ(UserRegistryPath(), "/home/someone/.config/veltrane/HKEY_CURRENT_USER.reg");
  config.Set(nullptr);
  EXPECT_EQ(UserRegistryPath(), "/home/someone/.config/veltrane/HKEY_CURRENT_USER.reg");
}

}  // namespace
}  // namespace veltrane
