#pragma once
// What every scheduler back end must do, written once. A test program for a back end links
// SchedulerContract.cpp and instantiates the suite with a maker for its scheduler:
//   INSTANTIATE_TEST_SUITE_P(Posix, SchedulerContractTest,
//                            testing::Values(SchedulerContractParam{...}), SchedulerContractName);
// Each test changes only threads of its own, and puts the process's class back to normal.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/Scheduler.h"

namespace veltrane {

struct SchedulerContractParam {
  std::string name;  // part of the test names: letters, digits and underscores
  std::function<std::shared_ptr<Scheduler>()> make;  // called afresh for each test
};

// Test names show the scheduler's name, not the parameter's bytes.
inline void PrintTo(const SchedulerContractParam& param, std::ostream* out) {
  *out << param.name;
}

inline std::string SchedulerContractName(
    const testing::TestParamInfo<SchedulerContractParam>& info) {
  return info.param.name;
}

class SchedulerContractTest : public testing::TestWithParam<SchedulerContractParam> {
 protected:
  void SetUp() override { scheduler = GetParam().make(); }

  std::shared_ptr<Scheduler> scheduler;
};

}  // namespace veltrane
