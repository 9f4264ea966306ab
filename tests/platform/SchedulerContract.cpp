#include "tests/platform/SchedulerContract.h"

#include <chrono>
#include <optional>
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

// Where the system tells how busy its processors are, this process's own work shows in it.
TEST_P(SchedulerContractTest, ProcessorTimesShowThisProcessWorking) {
  const std::optional<ProcessorTimes> before = scheduler->ReadProcessorTimes();
  if (!before) return;  // a system may not tell
  std::optional<ProcessorTimes> after = before;
  const auto start = std::chrono::steady_clock::now();
  while (after && after->own - before->own < 0.2 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    after = scheduler->ReadProcessorTimes();
  }
  ASSERT_TRUE(after);
  const double own = after->own - before->own;
  EXPECT_GE(own, 0.2);
  // The system counts in ticks of 10 ms or so.
  EXPECT_GE(after->busy - before->busy, 0.8 * own);
  EXPECT_GE(after->total - before->total, after->busy - before->busy);
  EXPECT_LE(after->busy, after->total);
}

}  // namespace veltrane
