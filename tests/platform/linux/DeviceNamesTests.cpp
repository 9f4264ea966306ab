#include <gtest/gtest.h>

#include <set>

#include "platform/linux/DeviceNames.h"

namespace veltrane {
namespace {

TEST(DeviceNamesTest, FirstLineDropsLaterLinesAndControlCharacters) {
  EXPECT_EQ(FirstLine(L"PulseAudio Sound Server\nsecond line"), L"PulseAudio Sound Server");
  EXPECT_EQ(FirstLine(L"  HDA\tIntel  \r\n"), L"HDA Intel");
  EXPECT_EQ(FirstLine(L"\nonly later"), L"");
}

TEST(DeviceNamesTest, ShortensToThirtyOneCharactersWithoutDanglingBlanks) {
  EXPECT_EQ(ShortenName(L"PulseAudio Sound Server"), L"PulseAudio Sound Server");
  const std::wstring longName = L"ALC1220 Analog (HDA Intel PCH at 0xf7f10000 irq 145)";
  EXPECT_EQ(ShortenName(longName), L"ALC1220 Analog (HDA Intel PCH a");
  // The cut falls right after a blank: the blank goes too.
  EXPECT_EQ(ShortenName(L"Microphone (USB Audio Device 2) and more"),
            L"Microphone (USB Audio Device 2)");
  EXPECT_EQ(ShortenName(L"abcdefghij klmnopqrst uvwxyzabc defg"),
            L"abcdefghij klmnopqrst uvwxyzabc");
  EXPECT_EQ(ShortenName(L"abcdefghij klmnopqrst uvwxyzab cdefg"),
            L"abcdefghij klmnopqrst uvwxyzab");
  EXPECT_EQ(ShortenName(L"abcdef", 3), L"abc");
  // Characters, not bytes, are counted.
  EXPECT_EQ(ShortenName(std::wstring(40, L'\u00FC')).size(), kMaxProductNameChars);
}

TEST(DeviceNamesTest, HardwareNameShowsInputAndAdapter) {
  EXPECT_EQ(HardwareDeviceName(L"HDA Intel PCH", L"ALC892 Analog"),
            L"ALC892 Analog (HDA Intel PCH)");
  EXPECT_EQ(HardwareDeviceName(L"USB Audio", L"USB Audio"), L"USB Audio");
  EXPECT_EQ(HardwareDeviceName(L"Loopback", L""), L"Loopback");
  EXPECT_EQ(HardwareDeviceName(L"", L"Capture"), L"Capture");
}

TEST(DeviceNamesTest, ProductNamesAreShortDistinctAndStable) {
  const std::vector<std::wstring> names = {
      L"USB Audio (USB Audio Device)",
      L"PulseAudio Sound Server",
      L"USB Audio (USB Audio Device)",
      L"ALC1220 Analog (HDA Intel PCH at 0xf7f10000 irq 145)",
      L"ALC1220 Analog (HDA Intel PCH at 0xf7f20000 irq 146)",
      L"USB Audio (USB Audio Device)",
      L"PulseAudio Sound Server",
  };
  const std::vector<std::wstring> products = MakeProductNames(names);
  ASSERT_EQ(products.size(), names.size());
  EXPECT_EQ(products[0], L"USB Audio (USB Audio Device)");
  EXPECT_EQ(products[1], L"PulseAudio Sound Server");
  EXPECT_EQ(products[2], L"USB Audio (USB Audio Device) #2");
  EXPECT_EQ(products[3], L"ALC1220 Analog (HDA Intel PCH a");
  // Equal only after shortening: cut further to make room for the number.
  EXPECT_EQ(products[4], L"ALC1220 Analog (HDA Intel PC #2");
  EXPECT_EQ(products[5], L"USB Audio (USB Audio Device) #3");
  EXPECT_EQ(products[6], L"PulseAudio Sound Server #2");
  std::set<std::wstring> distinct(products.begin(), products.end());
  EXPECT_EQ(distinct.size(), products.size());
  for (const auto& product : products) EXPECT_LE(product.size(), kMaxProductNameChars);
  EXPECT_EQ(MakeProductNames(names), products);
}

TEST(DeviceNamesTest, NumberedNameDoesNotCollideWithARealName) {
  // A device really called "Line In #2" keeps its name; the second plain "Line In" moves on.
  const auto products = MakeProductNames({L"Line In", L"Line In #2", L"Line In"});
  EXPECT_EQ(products[0], L"Line In");
  EXPECT_EQ(products[1], L"Line In #2");
  EXPECT_EQ(products[2], L"Line In #3");
}

TEST(DeviceNamesTest, ManyEqualNamesStayWithinTheLimit) {
  const std::vector<std::wstring> names(12, std::wstring(31, L'x'));
  const auto products = MakeProductNames(names);
  EXPECT_EQ(products[11], std::wstring(27, L'x') + L" #12");
  std::set<std::wstring> distinct(products.begin(), products.end());
  EXPECT_EQ(distinct.size(), names.size());
  for (const auto& product : products) EXPECT_LE(product.size(), kMaxProductNameChars);
}

}  // namespace
}  // namespace veltrane
