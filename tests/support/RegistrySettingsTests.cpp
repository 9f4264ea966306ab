#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "platform/simulated/MemoryRegistry.h"
#include "support/MessageBox.h"
#include "platform/linux/RegistryFile.h"
#include "support/RegistrySettings.h"
#include "support/StoredNames.h"
#include "startup/Startup.h"

namespace veltrane {
namespace {

namespace fs = std::filesystem;

const wchar_t kMakerKeyAsStored[] = L"SOFTWARE\\Ombrel's Projects";

// Passes every call on and keeps count of the keys that are open; can fail one call.
class TrackingRegistry : public Registry {
 public:
  explicit TrackingRegistry(std::shared_ptr<Registry> inner) : inner(std::move(inner)) {}

  std::optional<RegistryKey> CreateKey(const RegistryKey* parent,
                                       const std::wstring& subKey) override {
    if (++createCalls == failingCreateCall) return std::nullopt;
    auto key = inner->CreateKey(parent, subKey);
    if (key) openKeys.push_back(key->path);
    return key;
  }
  bool SetStringValue(const RegistryKey& key, const std::wstring& name,
                      const std::wstring& data) override {
    return !failSetValue && inner->SetStringValue(key, name, data);
  }
  void CloseKey(RegistryKey& key) override {
    const auto open = std::find(openKeys.begin(), openKeys.end(), key.path);
    if (open == openKeys.end()) {
      ++strayCloses;
    } else {
      openKeys.erase(open);
    }
    inner->CloseKey(key);
  }
  bool KeyExists(const std::wstring& path) override { return inner->KeyExists(path); }
  std::optional<std::wstring> GetStringValue(const std::wstring& path,
                                             const std::wstring& name) override {
    return inner->GetStringValue(path, name);
  }

  std::shared_ptr<Registry> inner;
  int createCalls = 0;
  int failingCreateCall = 0;  // 1 for the first CreateKey; 0 never
  bool failSetValue = false;
  std::vector<std::wstring> openKeys;
  int strayCloses = 0;
};

struct ShownBox {
  std::wstring text;
  std::wstring caption;
  MessageIcon icon;
  bool operator==(const ShownBox&) const = default;
};

class RegistrySettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    SetMessageBoxHandler(
        [this](const std::wstring& text, const std::wstring& caption, MessageIcon icon) {
          boxes.push_back({text, caption, icon});
        });
  }
  void TearDown() override {
    SetMessageBoxHandler({});
    EXPECT_TRUE(registry->openKeys.empty()) << "a key was left open";
    EXPECT_EQ(registry->strayCloses, 0);
  }

  std::shared_ptr<MemoryRegistry> memory = std::make_shared<MemoryRegistry>();
  std::shared_ptr<TrackingRegistry> registry = std::make_shared<TrackingRegistry>(memory);
  CRegistrySettings settings{registry};
  std::vector<ShownBox> boxes;
};

const ShownBox kNotSetBox{L"Registry folder not set.", L"Error", MessageIcon::None};

TEST_F(RegistrySettingsTest, WithoutAFolderEveryWriteShowsTheBoxAndCreatesNothing) {
  EXPECT_FALSE(settings.WriteString(L"a", L"1"));
  EXPECT_FALSE(settings.WriteDouble(L"b", 2.0));
  EXPECT_FALSE(settings.WriteString(L"a", L"3"));
  EXPECT_EQ(boxes, std::vector<ShownBox>(3, kNotSetBox));
  EXPECT_EQ(registry->createCalls, 0);
  EXPECT_FALSE(memory->KeyExists(L"SOFTWARE"));
}

TEST_F(RegistrySettingsTest, OnlyTheExactTextNotSetMeansNoFolder) {
  for (const wchar_t* folder : {L"Not set", L" \tNot set\r\n"}) {
    settings.SetFolder(folder);
    EXPECT_FALSE(settings.WriteString(L"v", L"1"));
  }
  EXPECT_EQ(boxes, std::vector<ShownBox>(2, kNotSetBox));
  EXPECT_FALSE(memory->KeyExists(L"SOFTWARE"));

  for (const wchar_t* folder : {L"not set", L"NOT SET", L"Not set."}) {
    settings.SetFolder(folder);
    EXPECT_TRUE(settings.WriteString(L"v", folder));
    EXPECT_EQ(memory->GetStringValue(std::wstring(kMakerKeyAsStored) + L"\\" + folder, L"v"), folder);
  }
  EXPECT_EQ(boxes.size(), 2u);
}

TEST_F(RegistrySettingsTest, TheFolderIsTrimmedOfWhiteSpace) {
  const std::vector<std::pair<std::wstring, std::wstring>> cases = {
      {L"  Tuner  ", L"\\Tuner"},
      {L"\t\r\n\v\f Tuner \u3000\u2003", L"\\Tuner"},
      {L" In ner ", L"\\In ner"},
      {L"\u00A0NoBreak", L"\\\u00A0NoBreak"},  // a no-break space is not white space
      {L"", L""},
      {L" \t\r\n ", L""},
  };
  int n = 0;
  for (const auto& [folder, keySuffix] : cases) {
    const std::wstring name = L"value" + std::to_wstring(++n);
    settings.SetFolder(folder);
    EXPECT_TRUE(settings.WriteString(name, L"x"));
    EXPECT_EQ(memory->GetStringValue(kMakerKeyAsStored + keySuffix, name), L"x") << n;
  }
  EXPECT_TRUE(boxes.empty());
}

TEST_F(RegistrySettingsTest, AnEmptyFolderStoresInTheMakerKeyOpeningOnlyTwoLevels) {
  settings.SetFolder(L"");
  EXPECT_TRUE(settings.WriteString(L"v", L"1"));
  EXPECT_EQ(registry->createCalls, 2);
  EXPECT_EQ(memory->GetStringValue(kMakerKeyAsStored, L"v"), L"1");
}

TEST_F(RegistrySettingsTest, AFolderWithABackslashNamesNestedKeys) {
  settings.SetFolder(L"A\\B");
  EXPECT_TRUE(settings.WriteString(L"v", L"1"));
  EXPECT_TRUE(memory->KeyExists(std::wstring(kMakerKeyAsStored) + L"\\A"));
  EXPECT_EQ(memory->GetStringValue(std::wstring(kMakerKeyAsStored) + L"\\A\\B", L"v"), L"1");
  EXPECT_EQ(memory->GetStringValue(std::wstring(kMakerKeyAsStored) + L"\\A", L"v"), std::nullopt);
}

TEST_F(RegistrySettingsTest, WritesStringsAndReplacesEarlierValues) {
  settings.SetFolder(L"Tuner");
  const std::wstring key = std::wstring(kMakerKeyAsStored) + L"\\Tuner";
  EXPECT_TRUE(settings.WriteString(L"v", L"first"));
  EXPECT_TRUE(settings.WriteString(L"V", L"second"));
  EXPECT_TRUE(settings.WriteString(L"empty", L""));
  EXPECT_EQ(memory->GetStringValue(key, L"v"), L"second");
  EXPECT_EQ(memory->GetStringValue(key, L"empty"), L"");

  settings.SetFolder(L"Other");
  EXPECT_TRUE(settings.WriteString(L"v", L"third"));
  EXPECT_EQ(memory->GetStringValue(key, L"v"), L"second");
  EXPECT_EQ(memory->GetStringValue(std::wstring(kMakerKeyAsStored) + L"\\Other", L"v"), L"third");
}

TEST_F(RegistrySettingsTest, WritesNumbersWithSixDecimalsInAnyLocale) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  // A locale with a decimal comma, when the machine has one.
  std::setlocale(LC_ALL, "de_DE.UTF-8");
  settings.SetFolder(L"Tuner");
  const std::vector<std::pair<double, std::wstring>> cases = {
      {0.0123456789, L"0.012346"}, {-2.0, L"-2.000000"}, {0.99975, L"0.999750"},
      {1.5, L"1.500000"},          {0.0, L"0.000000"},   {1234567.0000004, L"1234567.000000"},
  };
  for (const auto& [value, text] : cases) {
    EXPECT_TRUE(settings.WriteDouble(L"ratio", value));
    EXPECT_EQ(memory->GetStringValue(std::wstring(kMakerKeyAsStored) + L"\\Tuner", L"ratio"), text);
  }
  std::setlocale(LC_ALL, previous.c_str());
}

TEST_F(RegistrySettingsTest, AFailingRegistryCallFailsTheWriteAndClosesWhatWasOpened) {
  settings.SetFolder(L"Tuner");
  for (int failing = 1; failing <= 3; ++failing) {
    registry->createCalls = 0;
    registry->failingCreateCall = failing;
    EXPECT_FALSE(settings.WriteString(L"v", L"1")) << failing;
    EXPECT_EQ(registry->createCalls, failing);
  }
  // Keys created by the earlier levels of a failed attempt stay.
  EXPECT_TRUE(memory->KeyExists(kMakerKeyAsStored));
  EXPECT_FALSE(memory->KeyExists(std::wstring(kMakerKeyAsStored) + L"\\Tuner"));

  registry->failingCreateCall = 0;
  registry->failSetValue = true;
  EXPECT_FALSE(settings.WriteString(L"v", L"1"));
  EXPECT_TRUE(memory->KeyExists(std::wstring(kMakerKeyAsStored) + L"\\Tuner"));
  EXPECT_EQ(memory->GetStringValue(std::wstring(kMakerKeyAsStored) + L"\\Tuner", L"v"), std::nullopt);
  EXPECT_TRUE(boxes.empty());
}

TEST_F(RegistrySettingsTest, CheckWritableSaysWhyNotAndWritesNothing) {
  const std::vector<std::tuple<std::wstring, std::wstring, bool, const wchar_t*>> cases = {
      {L"Not set", L"v", false, L"Registry folder not set."},
      {L"Tuner", L"line\nbreak", false, L"The value name cannot be stored"},
      {L"Tu\\\\ner", L"v", false, L"not a valid key path"},
      {L"\\\\", L"v", false, L"not a valid key path"},
      {L"Tuner\\", L"v", false, L"not a valid key path"},
      {L"\\Tuner", L"v", false, L"not a valid key path"},
      {L"  " + std::wstring(255, L't') + L"  ", L"v", true, L""},
      {std::wstring(256, L't'), L"v", false,
       L"is 256 characters long, and the registry allows "
       L"at most 255 in a key name"},
      {L"Tuner\\" + std::wstring(10000, L't'), L"v", false, L"is 10000 characters long"},
      {L"Tuner", std::wstring(16384, L'n'), false,
       L"is 16384 characters long, and the "
       L"registry allows at most 16383"},
      {L"Tu\uFFFDner", L"v", false, L"holds U+FFFD"},
      {L"Tuner", L"v", true, L""},
  };
  for (const auto& [folder, name, writable, reason] : cases) {
    settings.SetFolder(folder);
    std::wstring why = L"stale";
    EXPECT_EQ(settings.CheckWritable(name, why), writable) << folder.size();
    EXPECT_NE(why.find(reason), std::wstring::npos) << folder.size();
    EXPECT_EQ(why.empty(), writable) << folder.size();
  }
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(registry->createCalls, 0);
  EXPECT_FALSE(memory->KeyExists(L"SOFTWARE"));
}

// Reports name the key the value went to, whatever white space the folder came with.
TEST_F(RegistrySettingsTest, KeyPathNamesTheKeyWrittenTo) {
  const std::vector<std::pair<std::wstring, std::wstring>> cases = {
      {L"  Tuner  ", L"\\Tuner"},
      {L"", L""},
      {L" \t ", L""},
      {L"A\\B ", L"\\A\\B"},
  };
  for (const auto& [folder, keySuffix] : cases) {
    settings.SetFolder(folder);
    EXPECT_EQ(settings.KeyPath(), kMakerKeyAsStored + keySuffix);
    const std::wstring name = L"v" + std::to_wstring(folder.size());
    EXPECT_TRUE(settings.WriteString(name, L"x"));
    EXPECT_EQ(memory->GetStringValue(settings.KeyPath(), name), L"x") << folder.size();
  }
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RegistrySettingsFileTest, TheDefaultStoreWritesTheFileNamedByTheEnvironment) {
  std::string folder = (fs::temp_directory_path() / "veltrane-settings-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const fs::path file = fs::path(folder) / "user" / "hive.reg";
  const char* saved = std::getenv("VELTRANE_REGISTRY_FILE");
  const std::optional<std::string> previous =
      saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("VELTRANE_REGISTRY_FILE", file.c_str(), 1);

  CRegistrySettings settings(MakeUserRegistry());
  settings.SetFolder(L" Tuner ");
  EXPECT_TRUE(settings.WriteDouble(L"Input1Calib_44100_Of USB Audio", 0.99975));
  EXPECT_EQ(
      RegistryFile(file.string())
          .GetStringValue(L"SOFTWARE\\Ombrel's Projects\\Tuner", L"Input1Calib_44100_Of USB Audio"),
      L"0.999750");

  const std::string foreign = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << foreign;
  EXPECT_FALSE(settings.WriteDouble(L"Input1Calib_44100_Of USB Audio", 1.0));
  EXPECT_EQ(ReadBytes(file), foreign);
  // The reason names the file and the line, for the dialog to show.
  EXPECT_NE(settings.LastError().find(file.wstring()), std::wstring::npos);
  EXPECT_NE(settings.LastError().find(L"line 3: only keys of HKEY_CURRENT_USER"),
            std::wstring::npos)
      << settings.LastError().size();

  if (previous) {
    ::setenv("VELTRANE_REGISTRY_FILE", previous->c_str(), 1);
  } else {
    ::unsetenv("VELTRANE_REGISTRY_FILE");
  }
  fs::remove_all(folder);
}

TEST(CalibrationValueNameTest, JoinsPrefixRateAndDevice) {
  EXPECT_EQ(CalibrationValueName(L"Tuner2_", 48000, L"Mic"), L"Tuner2_Calib_48000_Of Mic");
  EXPECT_EQ(CalibrationValueName(L"", 44100, L"Line In"), L"Calib_44100_Of Line In");
  EXPECT_EQ(std::wstring(kMakerKey), kMakerKeyAsStored);
}

}  // namespace
}  // namespace veltrane
