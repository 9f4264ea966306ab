#include "tests/platform/RegistryContract.h"

#include <vector>

#include "base/Text.h"

namespace veltrane {
namespace {

// Names that the editor's text format must escape or that look like its syntax.
const std::vector<std::wstring> kAwkwardNames = {
    L"say \"hi\"",
    L"back\\slash\\",
    L"[bracket]",
    L"a=b",
    L"\"=\"",
    L"]",
    L"[",
    L"-dash",
    L"Grüße ÄÖÜ ß",
    L"日本語",
    L"emoji \U0001F3B5",
    L"tab\there",
    L"  spaced  ",
    L"\\\"",
};

TEST_P(RegistryContractTest, CreatesEveryLevelOfANestedPath) {
  const auto deep = registry().CreateKey(nullptr, L"SOFTWARE\\Maker\\A\\B");
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep->path, L"SOFTWARE\\Maker\\A\\B");
  for (const wchar_t* level :
       {L"SOFTWARE", L"SOFTWARE\\Maker", L"SOFTWARE\\Maker\\A", L"SOFTWARE\\Maker\\A\\B"}) {
    EXPECT_TRUE(registry().KeyExists(level)) << level;
  }
  EXPECT_FALSE(registry().KeyExists(L"SOFTWARE\\Maker\\B"));
  EXPECT_FALSE(registry().KeyExists(L"SOFTWARE\\Maker\\A\\B\\C"));

  const auto below = registry().CreateKey(&*deep, L"C\\D");
  ASSERT_TRUE(below);
  EXPECT_EQ(below->path, L"SOFTWARE\\Maker\\A\\B\\C\\D");
  EXPECT_TRUE(registry().KeyExists(L"SOFTWARE\\Maker\\A\\B\\C"));

  const auto same = registry().CreateKey(&*deep, L"");
  ASSERT_TRUE(same);
  EXPECT_EQ(same->path, deep->path);
}

TEST_P(RegistryContractTest, ListsTheStringsOfAKeyAndEveryKeyBelowIt) {
  ASSERT_TRUE(registry().StoreStringValue(L"Software\\Maker\\Tuner", L"a", L"1"));
  ASSERT_TRUE(registry().StoreStringValue(L"Software\\Maker\\Tuner\\Sub", L"b", L"2"));
  ASSERT_TRUE(registry().StoreStringValue(L"Software\\Maker\\Tuners", L"c", L"3"));
  ASSERT_TRUE(registry().StoreStringValue(L"Software\\Other", L"d", L"4"));

  const auto below = hive->Reopen()->ReadStringsBelow(L"SOFTWARE\\maker\\tuner");
  ASSERT_TRUE(below);
  std::vector<std::wstring> seen;
  for (const StoredString& value : *below)
    seen.push_back(value.keyPath + L":" + value.name + L"=" + value.data);
  EXPECT_EQ(seen, (std::vector<std::wstring>{L"Software\\Maker\\Tuner:a=1",
                                             L"Software\\Maker\\Tuner\\Sub:b=2"}));
  EXPECT_EQ(registry().ReadStringsBelow(L"")->size(), 4u);
  EXPECT_TRUE(registry().ReadStringsBelow(L"Software\\None")->empty());
}

TEST_P(RegistryContractTest, KeyNamesIgnoreLetterCaseAndKeepTheFirstSpelling) {
  const auto first = registry().CreateKey(nullptr, L"Software\\Ärger");
  ASSERT_TRUE(first);
  const auto second = registry().CreateKey(nullptr, L"SOFTWARE\\äRGER\\Sub");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->path, L"Software\\Ärger\\Sub");
  EXPECT_TRUE(registry().KeyExists(L"software\\ÄRGER"));

  const auto upper = registry().CreateKey(nullptr, L"SOFTWARE\\ÄRGER");
  ASSERT_TRUE(upper);
  EXPECT_EQ(upper->path, L"Software\\Ärger");
  ASSERT_TRUE(registry().SetStringValue(*upper, L"v", L"1"));
  EXPECT_EQ(registry().GetStringValue(L"software\\ärger", L"V"), L"1");
  EXPECT_EQ(hive->Reopen()->GetStringValue(L"Software\\Ärger", L"v"), L"1");
}

TEST_P(RegistryContractTest, ValueNamesIgnoreLetterCaseAndALaterWriteReplaces) {
  const auto key = registry().CreateKey(nullptr, L"K");
  ASSERT_TRUE(key);
  ASSERT_TRUE(registry().SetStringValue(*key, L"Ratio", L"1.000000"));
  ASSERT_TRUE(registry().SetStringValue(*key, L"Other", L"x"));
  ASSERT_TRUE(registry().SetStringValue(*key, L"RATIO", L"0.999750"));
  ASSERT_TRUE(registry().SetStringValue(*key, L"Ëmpty", L""));
  ASSERT_TRUE(registry().SetStringValue(*key, L"ëMPTY", L""));

  const auto reopened = hive->Reopen();
  for (Registry* view : {&registry(), reopened.get()}) {
    EXPECT_EQ(view->GetStringValue(L"k", L"ratio"), L"0.999750");
    EXPECT_EQ(view->GetStringValue(L"K", L"Other"), L"x");
    EXPECT_EQ(view->GetStringValue(L"K", L"ËMPTY"), L"");
    EXPECT_EQ(view->GetStringValue(L"K", L"Missing"), std::nullopt);
    EXPECT_EQ(view->GetStringValue(L"Nowhere", L"Ratio"), std::nullopt);
  }
}

TEST_P(RegistryContractTest, AwkwardNamesAndDataRoundTrip) {
  const auto key = registry().CreateKey(nullptr, L"SOFTWARE\\Ombrel's Projects");
  ASSERT_TRUE(key);
  std::vector<std::wstring> folders;
  for (const std::wstring& name : kAwkwardNames) {
    ASSERT_TRUE(registry().SetStringValue(*key, name, L"data " + name)) << name.size();
    // Key names cannot hold '\', which separates levels.
    if (name.find(L'\\') != std::wstring::npos) continue;
    const auto folder = registry().CreateKey(&*key, name);
    ASSERT_TRUE(folder) << name.size();
    ASSERT_TRUE(registry().SetStringValue(*folder, name, name));
    folders.push_back(name);
  }
  ASSERT_TRUE(registry().SetStringValue(*key, L"", L"default \"value\""));

  const auto reopened = hive->Reopen();
  for (Registry* view : {&registry(), reopened.get()}) {
    for (const std::wstring& name : kAwkwardNames) {
      EXPECT_EQ(view->GetStringValue(L"SOFTWARE\\Ombrel's Projects", name), L"data " + name);
    }
    for (const std::wstring& folder : folders) {
      EXPECT_EQ(view->GetStringValue(L"SOFTWARE\\Ombrel's Projects\\" + folder, folder), folder);
    }
    EXPECT_EQ(view->GetStringValue(L"SOFTWARE\\Ombrel's Projects", L""), L"default \"value\"");
  }
}

TEST_P(RegistryContractTest, RefusesWhatAStringValueCannotHold) {
  const auto key = registry().CreateKey(nullptr, L"K");
  ASSERT_TRUE(key);
  ASSERT_TRUE(registry().SetStringValue(*key, L"v", L"kept"));
  const std::vector<std::wstring> unstorable = {L"line\nfeed", L"carriage\rreturn",
                                                std::wstring(L"nul\0inside", 10),
                                                std::wstring(1, static_cast<wchar_t>(0xD800))};
  for (const std::wstring& text : unstorable) {
    EXPECT_FALSE(registry().SetStringValue(*key, L"v", text));
    EXPECT_FALSE(registry().SetStringValue(*key, text, L"data"));
    EXPECT_FALSE(registry().CreateKey(&*key, text));
  }
  EXPECT_EQ(registry().GetStringValue(L"K", L"v"), L"kept");
  EXPECT_EQ(hive->Reopen()->GetStringValue(L"K", L"v"), L"kept");
}

std::wstring Repeated(const std::wstring& text, std::size_t times, const std::wstring& between) {
  std::wstring out;
  for (std::size_t i = 0; i < times; ++i) out += (i == 0 ? L"" : between) + text;
  return out;
}

// The Windows registry's own limits, counted in UTF-16 code units: its editor refuses or cuts
// short a file that breaks them.
TEST_P(RegistryContractTest, KeepsToTheRegistrysOwnLimits) {
  const std::wstring note = L"\U0001F3B5";  // two UTF-16 code units
  struct Row {
    const char* what;
    std::wstring keyPath;
    std::wstring name;
    bool storable;
  };
  const std::vector<Row> rows = {
      {"key name of 255", L"K\\" + std::wstring(255, L'k'), L"v", true},
      {"key name of 256", L"K\\" + std::wstring(256, L'k'), L"v", false},
      {"key name of 127 notes", L"K\\" + Repeated(note, 127, L"") + L"k", L"v", true},
      {"key name of 128 notes", L"K\\" + Repeated(note, 128, L""), L"v", false},
      {"value name of 16383", L"K", std::wstring(16383, L'n'), true},
      {"value name of 16384", L"K", std::wstring(16384, L'n'), false},
      {"value name of 8192 notes", L"K", Repeated(note, 8192, L""), false},
      {"512 levels", Repeated(L"d", 512, L"\\"), L"v", true},
      {"513 levels", Repeated(L"e", 513, L"\\"), L"v", false},
      // 128 levels of 249 and their separators: 31,999 units.
      {"path of 32000", Repeated(std::wstring(249, L'f'), 128, L"\\") + L"f", L"v", true},
      {"path of 32001", Repeated(std::wstring(249, L'g'), 128, L"\\") + L"gg", L"v", false},
      {"replacement character", L"K\\bad\uFFFD", L"v", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::wstring reason = L"stale";
    EXPECT_EQ(registry().CanStore(row.keyPath, row.name, reason), row.storable)
        << row.keyPath.size();
    EXPECT_EQ(reason.empty(), row.storable);
    EXPECT_EQ(registry().StoreStringValue(row.keyPath, row.name, L"1"), row.storable);
    EXPECT_EQ(hive->Reopen()->GetStringValue(row.keyPath, row.name),
              row.storable ? std::optional<std::wstring>(L"1") : std::nullopt);
    if (!row.storable) {
      EXPECT_NE(registry().LastError().find(L"cannot be stored"), std::wstring::npos)
          << ToUtf8(registry().LastError());
    }
  }
  // Nor by one level at a time.
  const auto key = registry().CreateKey(nullptr, L"K");
  ASSERT_TRUE(key);
  EXPECT_FALSE(registry().CreateKey(&*key, std::wstring(256, L'k')));
  EXPECT_FALSE(registry().SetStringValue(*key, std::wstring(16384, L'n'), L"1"));
  EXPECT_FALSE(hive->Reopen()->KeyExists(L"K\\" + std::wstring(256, L'k')));
}

TEST_P(RegistryContractTest, RefusesKeyPathsWithAnEmptyLevel) {
  for (const wchar_t* path : {L"\\Lead", L"Trail\\", L"Dou\\\\ble", L"\\"}) {
    EXPECT_FALSE(registry().CreateKey(nullptr, path)) << path;
  }
  EXPECT_FALSE(registry().KeyExists(L"Lead"));
  EXPECT_FALSE(registry().KeyExists(L"Trail"));
  EXPECT_FALSE(registry().KeyExists(L"Dou"));
}

TEST_P(RegistryContractTest, AValueNeedsAnExistingKey) {
  EXPECT_FALSE(registry().SetStringValue(RegistryKey{L"Never\\Created"}, L"v", L"1"));
  EXPECT_FALSE(registry().KeyExists(L"Never"));
  EXPECT_EQ(registry().GetStringValue(L"Never\\Created", L"v"), std::nullopt);
}

}  // namespace
}  // namespace veltrane
