// The hive's own interface: the reasons it gives, what a reader of a store adds, and what
// creating and setting report as changed. What every registry does through it is the
// registry contract's.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/RegistryHive.h"

namespace veltrane {
namespace {

std::wstring Repeated(const std::wstring& text, std::size_t times, const std::wstring& between) {
  std::wstring out;
  for (std::size_t i = 0; i < times; ++i) out += (i == 0 ? L"" : between) + text;
  return out;
}

TEST(RegistryHiveTest, WhyNotStorableSaysWhichPartBreaksWhichRule) {
  const std::wstring note = L"\U0001F3B5";  // two UTF-16 code units
  struct Row {
    const char* what;
    std::wstring keyPath;
    std::wstring name;
    std::wstring data;
    std::wstring reason;  // a part of the sentence; empty: storable
  };
  const std::vector<Row> rows = {
      {"the root", L"", L"v", L"1", L""},
      {"within every limit", L"K\\" + std::wstring(255, L'k'), std::wstring(16383, L'n'), L"1",
       L""},
      {"an empty level", L"K\\\\L", L"v", L"1", L"The registry folder is not a valid key path"},
      {"a line feed in a level", L"K\\a\nb", L"v", L"1", L"not a valid key path"},
      {"a level of 256", L"K\\" + std::wstring(256, L'k'), L"v", L"1",
       L"is 256 characters long, and the registry allows at most 255 in a key name."},
      {"a level of 128 notes", L"K\\" + Repeated(note, 128, L""), L"v", L"1",
       L"is 256 characters long"},
      {"the replacement character", L"K\\bad\uFFFD", L"v", L"1", L"holds U+FFFD"},
      {"513 levels", Repeated(L"e", 513, L"\\"), L"v", L"1", L"the key path has 513 levels"},
      {"a path of 32001", Repeated(std::wstring(249, L'g'), 128, L"\\") + L"gg", L"v", L"1",
       L"the key path is 32001 characters long, and at most 32000"},
      {"a carriage return in the name", L"K", L"a\rb", L"1",
       L"The value name cannot be stored: it holds a line break"},
      {"a name of 8192 notes", L"K", Repeated(note, 8192, L""), L"1",
       L"The value name cannot be stored: it is 16384 characters long"},
      {"a NUL in the data", L"K", L"v", std::wstring(L"a\0b", 3),
       L"The value cannot be stored: it holds"},
      {"a lone surrogate in the data", L"K", L"v", std::wstring(1, static_cast<wchar_t>(0xDC00)),
       L"The value cannot be stored"},
  };
  for (const Row& row : rows) {
    const std::wstring why = WhyNotStorable(row.keyPath, row.name, row.data);
    if (row.reason.empty()) {
      EXPECT_EQ(why, L"") << row.what;
    } else {
      EXPECT_NE(why.find(row.reason), std::wstring::npos) << row.what << ": " << ToUtf8(why);
    }
  }
}

TEST(RegistryHiveTest, NamesAndPathsFollowTheRegistrysRules) {
  EXPECT_TRUE(SameRegistryName(L"Tuner", L"tUNER"));
  EXPECT_TRUE(SameRegistryName(L"\u00e9t\u00e9", L"\u00c9T\u00c9"));  // beyond ASCII too
  EXPECT_FALSE(SameRegistryName(L"Tuner", L"Tuners"));
  EXPECT_FALSE(SameRegistryName(L"a", L"b"));
  using Levels = std::optional<std::vector<std::wstring>>;
  EXPECT_EQ(SplitRegistryPath(L""), Levels(std::vector<std::wstring>{}));
  EXPECT_EQ(SplitRegistryPath(L"A\\b c\\D"), Levels({L"A", L"b c", L"D"}));
  for (const std::wstring& bad : {std::wstring(L"A\\"), std::wstring(L"\\A"),
                                  std::wstring(L"A\\\\B"), std::wstring(L"A\r\\B")}) {
    EXPECT_EQ(SplitRegistryPath(bad), std::nullopt) << ToUtf8(bad);
  }
}

// As a reader of a store fills the hive: sections listed twice are merged, a section implies
// its ancestors, and a value of another type is kept but never read as a string.
TEST(RegistryHiveTest, AReaderMergesSectionsAndKeepsValuesOfOtherTypes) {
  RegistryHive hive;
  const auto key = hive.AddKey(L"Tuner\\Input");
  ASSERT_TRUE(key);
  EXPECT_EQ(hive.AddKey(L"TUNER\\input"), key);
  EXPECT_EQ(hive.AddKey(L"Tuner\\\\x"), std::nullopt);
  EXPECT_TRUE(hive.KeyExists(L"tuner"));
  EXPECT_EQ(hive.Keys().size(), 1u);

  EXPECT_TRUE(hive.AddValue(*key, {L"Rate", L"0.99", {}}));
  EXPECT_FALSE(hive.AddValue(*key, {L"RATE", L"1.01", {}})) << "the same name again";
  EXPECT_FALSE(hive.AddValue(*key, {L"Line\nfeed", L"1", {}}));
  EXPECT_TRUE(hive.AddValue(*key, {L"Count", L"", L"dword:00000001"}));
  EXPECT_EQ(hive.GetStringValue(L"tuner\\INPUT", L"rate"), L"0.99");
  EXPECT_EQ(hive.GetStringValue(L"Tuner\\Input", L"Count"), std::nullopt);

  bool changed = false;
  ASSERT_TRUE(hive.SetStringValue(L"Tuner\\Input", L"count", L"2", changed));
  EXPECT_TRUE(changed) << "a string replaces the other type";
  EXPECT_EQ(hive.GetStringValue(L"Tuner\\Input", L"Count"), L"2");
  ASSERT_TRUE(hive.SetStringValue(L"Tuner\\Input", L"Count", L"2", changed));
  EXPECT_FALSE(changed);
  // The implied key gets a section of its own to hold a value.
  ASSERT_TRUE(hive.SetStringValue(L"tuner", L"Top", L"t", changed));
  EXPECT_TRUE(changed);
  ASSERT_EQ(hive.Keys().size(), 2u);
  EXPECT_EQ(hive.Keys()[1].path, L"Tuner");
  ASSERT_TRUE(hive.AddKey(L"TunerX"));
  ASSERT_TRUE(hive.SetStringValue(L"TunerX", L"Beside", L"b", changed));
  const std::vector<StoredString> below = hive.StringsBelow(L"Tuner");
  ASSERT_EQ(below.size(), 3u) << "a key whose name only begins the same is not below";
  EXPECT_EQ(below[0].name, L"Rate");
  EXPECT_EQ(below[2].name, L"Top");
}

TEST(RegistryHiveTest, CreatingAKeySaysWhetherAnythingWasAdded) {
  struct Row {
    std::wstring parent;
    std::wstring subKey;
    std::optional<std::wstring> path;
    bool changed;
  };
  const std::vector<Row> rows = {
      {L"", L"Tuner\\Input", L"Tuner\\Input", true},
      {L"", L"TUNER\\input", L"Tuner\\Input", false},
      {L"tuner", L"Input\\Deeper", L"Tuner\\Input\\Deeper", true},
      {L"Missing", L"Key", std::nullopt, false},
      {L"Tuner", L"Empty\\\\Level", std::nullopt, false},
      {L"Tuner", std::wstring(256, L'k'), std::nullopt, false},
      // The parent's levels count toward the depth: 2 and 511 more are one too many.
      {L"Tuner\\Input", Repeated(L"d", 511, L"\\"), std::nullopt, false},
  };
  RegistryHive hive;
  for (const Row& row : rows) {
    bool changed = !row.changed;
    EXPECT_EQ(hive.CreateKey(row.parent, row.subKey, changed), row.path) << ToUtf8(row.subKey);
    EXPECT_EQ(changed, row.changed) << ToUtf8(row.subKey);
  }
  EXPECT_EQ(hive.Keys().size(), 3u) << "a refused path leaves nothing behind";
}

}  // namespace
}  // namespace veltrane
