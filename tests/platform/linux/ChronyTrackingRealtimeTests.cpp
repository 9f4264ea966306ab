// Our reader against chronyc, both asking the chronyd that scripts/with-private-chrony names
// in VELTRANE_CHRONY_ADDRESS.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/Environment.h"
#include "platform/linux/ChronyTracking.h"

namespace veltrane {
namespace {

// The client polls every 1/16 s, so its report changes often: read until it stays the same
// from before chronyc's reading to after it.
constexpr int kAttempts = 50;

std::vector<std::string> ChronycTracking(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  const std::string command = "chronyc -h " + address.substr(0, colon) + " -p " +
                              address.substr(colon + 1) + " -c tracking";
  char line[512] = {};
  if (FILE* pipe = popen(command.c_str(), "r")) {
    if (fgets(line, sizeof line, pipe) == nullptr) line[0] = '\0';
    pclose(pipe);
  }
  std::vector<std::string> fields;
  std::stringstream stream(std::string(line).substr(0, std::strcspn(line, "\n")));
  for (std::string field; std::getline(stream, field, ',');) fields.push_back(field);
  return fields;
}

// Within half a unit of the last digit chronyc printed: what its rounding may have moved.
void ExpectPrinted(double ours, const std::string& printed) {
  const std::size_t point = printed.find('.');
  const int decimals = point == std::string::npos ? 0 : int(printed.size() - point - 1);
  EXPECT_NEAR(ours, std::stod(printed), 0.5 * std::pow(10.0, -decimals) + 1e-12) << printed;
}

TEST(ChronyTrackingRealtime, AgreesWithChronyc) {
  const std::string address = Environment("VELTRANE_CHRONY_ADDRESS");
  if (address.empty()) GTEST_SKIP() << "no VELTRANE_CHRONY_ADDRESS (scripts/with-private-chrony)";
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string why;
    const auto before = QueryChronyTracking(2000, why);
    const std::vector<std::string> fields = ChronycTracking(address);
    const auto after = QueryChronyTracking(2000, why);
    ASSERT_TRUE(before && after) << why;
    ASSERT_EQ(fields.size(), 14u) << "chronyc -c tracking gave no report";
    if (before->frequencyPpm != after->frequencyPpm || before->skewPpm != after->skewPpm ||
        before->lastOffsetSeconds != after->lastOffsetSeconds)
      continue;
    EXPECT_TRUE(after->Synchronized());
    EXPECT_EQ(after->referenceId, std::stoul(fields[0], nullptr, 16));
    EXPECT_EQ(after->referenceAddress, fields[1]);
    EXPECT_EQ(after->stratum, std::stoi(fields[2]));
    ExpectPrinted(after->lastOffsetSeconds, fields[5]);
    ExpectPrinted(after->frequencyPpm, fields[7]);
    ExpectPrinted(after->residualFrequencyPpm, fields[8]);
    ExpectPrinted(after->skewPpm, fields[9]);
    EXPECT_EQ(fields[13], "Normal");
    return;
  }
  FAIL() << "chronyd's report changed during each of " << kAttempts << " readings";
}

}  // namespace
}  // namespace veltrane
