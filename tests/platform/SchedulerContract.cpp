#include "tests/platform/SchedulerContract.h"

#include <thread>

namespace veltrane {

TEST_P(SchedulerContractTest, KnowsTheCallingThreadAndTheProcessorsItMayUse) {
  const ThreadRef self = scheduler->CurrentThread();
  EXPECT_NE(self, 0u);
  EXPECT_EQ(scheduler->CurrentThread(), self);
  std::uint32_t processMask = 0;
  std::uint32_t systemMask = 0;
  ASSERT_TRUE(scheduler->GetProcessAffinityMask(processMask, systemMask));
  EXPECT_NE(processMask, 0u);
  EXPECT_EQ(processMask & ~systemMask, 0u);
}

TEST_P(SchedulerContractTest, PinsAThreadAndGivesBackItsPreviousMask) {
  std::uint32_t processMask = 0;
  std::uint32_t systemMask = 0;
  ASSERT_TRUE(scheduler->GetProcessAffinityMask(processMask, systemMask));
  const std::uint32_t lowest = processMask & (~processMask + 1);
  // A thread of its own, which starts with every processor of the process.
  std::thread([&] {
    const ThreadRef self = scheduler->CurrentThread();
    EXPECT_EQ(scheduler->SetThreadAffinityMask(self, lowest), processMask);
    EXPECT_EQ(scheduler->SetThreadAffinityMask(self, processMask), lowest);
    EXPECT_EQ(scheduler->SetThreadAffinityMask(0, processMask), 0u) << "no thread";
    EXPECT_EQ(scheduler->SetThreadAffinityMask(self, 0), 0u) << "no processor";
  }).join();
}

TEST_P(SchedulerContractTest, PriorityRequestsSucceedAndTheNormalClassEndsThem) {
  std::thread([&] {
    EXPECT_TRUE(scheduler->SetPriorityClass(PriorityClass::Realtime));
    EXPECT_TRUE(scheduler->SetThreadTimeCritical(scheduler->CurrentThread()));
    EXPECT_TRUE(scheduler->SetPriorityClass(PriorityClass::Normal));
  }).join();
}

}  // namespace veltrane
