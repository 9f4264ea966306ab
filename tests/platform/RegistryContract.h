#pragma once
// What every registry back end must do, written once. A test program for a back end links
// RegistryContract.cpp and instantiates the suite with a maker for its back end:
//   INSTANTIATE_TEST_SUITE_P(Memory, RegistryContractTest, testing::Values(RegistryMaker{...}));

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/Registry.h"

namespace veltrane {

// One fresh, empty hive for one test.
class RegistryUnderTest {
 public:
  virtual ~RegistryUnderTest() = default;
  virtual Registry& Current() = 0;
  // The same hive opened anew, as the tuner application would read it.
  virtual std::shared_ptr<Registry> Reopen() = 0;
};

struct RegistryMaker {
  std::string name;
  std::function<std::unique_ptr<RegistryUnderTest>()> make;
};

inline std::string RegistryMakerName(const testing::TestParamInfo<RegistryMaker>& info) {
  return info.param.name;
}

// Test names show the back end's name, not the parameter's bytes.
inline void PrintTo(const RegistryMaker& maker, std::ostream* out) { *out << maker.name; }

class RegistryContractTest : public testing::TestWithParam<RegistryMaker> {
 protected:
  void SetUp() override { hive = GetParam().make(); }
  Registry& registry() { return hive->Current(); }

  std::unique_ptr<RegistryUnderTest> hive;
};

}  // namespace veltrane
