#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "platform/linux/ChronyTracking.h"

namespace veltrane {
namespace {

constexpr std::uint32_t kSequence = 0xA1B2C3D4;

void Put(std::vector<std::uint8_t>& packet, std::size_t at, std::uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) packet[at + i] = value & 0xFF;
}

// Worked by hand from the format: coefficient * 2^(exponent - 25), both two's complement.
const std::pair<std::uint32_t, double> kFloats[] = {
    {0x04800000, 1.0},           // coefficient 2^23, exponent 2
    {0x03000000, -1.0},          // coefficient -2^24 (the most negative), exponent 1
    {0x05400000, -1.5},          // coefficient -3 * 2^22, exponent 2
    {0xDC800000, 0x1p-20},       // coefficient 2^23, exponent -18
    {0xEF400000, -3 * 0x1p-12},  // coefficient -3 * 2^22, exponent -9
    {0x7E000001, 0x1p38},        // coefficient 1, exponent 63 (the largest)
    {0x81FFFFFF, -0x1p-89},      // coefficient -1, exponent -64 (the smallest)
    {0x00000000, 0.0},
};
double ChronyTracking::*const kFloatFields[] = {
    &ChronyTracking::currentCorrectionSeconds, &ChronyTracking::lastOffsetSeconds,
    &ChronyTracking::rmsOffsetSeconds,         &ChronyTracking::frequencyPpm,
    &ChronyTracking::residualFrequencyPpm,     &ChronyTracking::skewPpm,
    &ChronyTracking::rootDelaySeconds,         &ChronyTracking::rootDispersionSeconds,
    &ChronyTracking::updateIntervalSeconds};
constexpr std::size_t kFloatCount = std::size(kFloats);

TEST(ChronyFloatTest, DecodesSignedExponentAndCoefficient) {
  for (const auto& [word, value] : kFloats) EXPECT_EQ(ChronyFloat(word), value) << word;
}

// A tracking reply as chronyd 4.3 lays it out: a header of 28 bytes, then the report; the
// nine floats are the table's words, in turn.
std::vector<std::uint8_t> GoodReply() {
  std::vector<std::uint8_t> packet(104, 0);
  packet[0] = 6;
  packet[1] = 2;
  Put(packet, 4, 33, 2);
  Put(packet, 6, 5, 2);
  Put(packet, 16, kSequence, 4);
  Put(packet, 28, 0x7F000001, 4);
  Put(packet, 32, 0x7F000001, 4);  // 127.0.0.1
  Put(packet, 48, 1, 2);
  Put(packet, 52, 9, 2);
  Put(packet, 54, 1, 2);
  for (std::size_t i = 0; i < 9; ++i) Put(packet, 68 + 4 * i, kFloats[i % kFloatCount].first, 4);
  return packet;
}

TEST(ChronyTrackingTest, ReadsEveryFieldOfAGoodReply) {
  std::vector<std::uint8_t> packet = GoodReply();
  std::string why;
  const auto tracking = ParseTrackingReply(packet.data(), packet.size(), kSequence, why);
  ASSERT_TRUE(tracking) << why;
  EXPECT_EQ(tracking->referenceId, 0x7F000001u);
  EXPECT_EQ(tracking->referenceAddress, "127.0.0.1");
  EXPECT_EQ(tracking->stratum, 9);
  EXPECT_EQ(tracking->leapStatus, 1);
  for (std::size_t i = 0; i < std::size(kFloatFields); ++i)
    EXPECT_EQ((*tracking).*kFloatFields[i], kFloats[i % kFloatCount].second) << "float " << i;

  Put(packet, 32, 0xFD000000, 4);
  Put(packet, 44, 1, 4);
  Put(packet, 48, 2, 2);
  EXPECT_EQ(ParseTrackingReply(packet.data(), packet.size(), kSequence, why)->referenceAddress,
            "fd00::1");
}

TEST(ChronyTrackingTest, RejectsWhatIsNoTrackingReplyToOurRequest) {
  using Packet = std::vector<std::uint8_t>;
  const std::tuple<std::function<void(Packet&)>, const char*> rows[] = {
      {[](Packet& p) { p.resize(27); }, "27 bytes is too short"},
      {[](Packet& p) { p.resize(103); }, "103 bytes, short of 104"},
      {[](Packet& p) { p[0] = 5; }, "version 5"},
      {[](Packet& p) { p[1] = 1; }, "type 1"},
      {[](Packet& p) { Put(p, 4, 34, 2); }, "command 34"},
      {[](Packet& p) { Put(p, 16, kSequence + 1, 4); }, "sequence"},
      {[](Packet& p) { Put(p, 8, 2, 2), p.resize(28); }, "status 2 (unauthorised)"},
      {[](Packet& p) { Put(p, 6, 6, 2); }, "kind 6"},
  };
  for (const auto& [spoil, expected] : rows) {
    Packet packet = GoodReply();
    spoil(packet);
    std::string why;
    EXPECT_FALSE(ParseTrackingReply(packet.data(), packet.size(), kSequence, why)) << expected;
    EXPECT_NE(why.find(expected), std::string::npos) << why;
  }
}

// Nothing listens on the discard port: the refusal comes at once, and the query says so.
TEST(ChronyTrackingTest, QueryTellsWhyNoChronydAnswered) {
  const std::pair<const char*, const char*> rows[] = {
      {"127.0.0.1:9", "127.0.0.1:9: Connection refused"}, {"127.0.0.1", "is not host:port"}};
  for (const auto& [address, expected] : rows) {
    setenv("VELTRANE_CHRONY_ADDRESS", address, 1);
    std::string why;
    EXPECT_FALSE(QueryChronyTracking(2000, why)) << address;
    EXPECT_NE(why.find(expected), std::string::npos) << why;
  }
  unsetenv("VELTRANE_CHRONY_ADDRESS");
}

}  // namespace
}  // namespace veltrane
