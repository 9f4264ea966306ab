#pragma once
// What every clock back end must do, written once. A test program for a back end links
// ClockContract.cpp and instantiates the suite with a maker for its clock:
//   INSTANTIATE_TEST_SUITE_P(Posix, ClockContractTest, testing::Values(ClockContractParam{...}),
//                            ClockContractName);
// The bounds are each back end's own: how coarse its millisecond counts step and how late a
// real sleep may end on a calm machine.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/Clock.h"

namespace veltrane {

struct ClockContractParam {
  std::string name;  // part of the test names: letters, digits and underscores
  std::function<std::shared_ptr<Clock>()> make;  // called afresh for each test
  // How far the advance of the millisecond timer and of the tick count over a sleep may lie
  // from the counter's: a step of each, and the moments between the readings.
  double timerToleranceMs = 2.0;
  double tickToleranceMs = 12.0;
  // How much sooner than its length a sleep may end, and how much later, on the clock itself.
  double sleepEarlyMs = 0.0;
  double sleepLateMs = 470.0;
  // The share of a pause's length that it lasts at least (0 where a pause may return at
  // once), and how much later it may end.
  double pauseLeastShare = 1.0;
  double pauseLateUs = 30000.0;
};

// Test names show the clock's name, not the parameter's bytes.
inline void PrintTo(const ClockContractParam& param, std::ostream* out) { *out << param.name; }

inline std::string ClockContractName(const testing::TestParamInfo<ClockContractParam>& info) {
  return info.param.name;
}

class ClockContractTest : public testing::TestWithParam<ClockContractParam> {
 protected:
  void SetUp() override { clock = GetParam().make(); }
  // Counts of the clock's counter in milliseconds.
  double Ms(std::int64_t counts) {
    return static_cast<double>(counts) * 1000.0 / static_cast<double>(clock->PerformanceFrequency());
  }

  std::shared_ptr<Clock> clock;
};

}  // namespace veltrane
