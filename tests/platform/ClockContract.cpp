#include "tests/platform/ClockContract.h"

#include <thread>
#include <vector>

namespace veltrane {
namespace {

// Long enough that a coarse tick count moves, short enough to keep the real-time runs quick.
constexpr std::uint32_t kSleepMs = 200;

// A 32-bit millisecond count that wraps: any step below half its range is forward.
bool NotBack(std::uint32_t before, std::uint32_t now) { return now - before < 0x80000000u; }

}  // namespace

TEST_P(ClockContractTest, ReadingsNeverGoBackOnAnyThread) {
  ASSERT_GT(clock->PerformanceFrequency(), 0);
  auto readAlong = [&] {
    std::int64_t counter = clock->PerformanceCounter();
    std::uint32_t timer = clock->MillisecondTimer();
    std::uint32_t tick = clock->TickCount();
    for (int i = 0; i < 10000; ++i) {
      const std::int64_t nextCounter = clock->PerformanceCounter();
      const std::uint32_t nextTimer = clock->MillisecondTimer();
      const std::uint32_t nextTick = clock->TickCount();
      ASSERT_GE(nextCounter, counter);
      ASSERT_TRUE(NotBack(timer, nextTimer)) << timer << " then " << nextTimer;
      ASSERT_TRUE(NotBack(tick, nextTick)) << tick << " then " << nextTick;
      counter = nextCounter;
      timer = nextTimer;
      tick = nextTick;
    }
  };
  std::thread other(readAlong);
  readAlong();
  other.join();
}

TEST_P(ClockContractTest, ASleepAdvancesEveryCountByItsLength) {
  const ClockContractParam& param = GetParam();
  const std::int64_t counterBefore = clock->PerformanceCounter();
  const std::uint32_t timerBefore = clock->MillisecondTimer();
  const std::uint32_t tickBefore = clock->TickCount();
  clock->Sleep(kSleepMs);
  const double sleptMs = Ms(clock->PerformanceCounter() - counterBefore);
  const std::uint32_t timerAdvance = clock->MillisecondTimer() - timerBefore;
  const std::uint32_t tickAdvance = clock->TickCount() - tickBefore;
  EXPECT_GE(sleptMs, kSleepMs - param.sleepEarlyMs);
  EXPECT_LT(sleptMs, kSleepMs + param.sleepLateMs);
  EXPECT_NEAR(timerAdvance, sleptMs, param.timerToleranceMs);
  EXPECT_NEAR(tickAdvance, sleptMs, param.tickToleranceMs);
}

TEST_P(ClockContractTest, APauseLastsAboutItsLength) {
  const ClockContractParam& param = GetParam();
  for (const std::uint32_t pauseUs : {2000u, 20000u}) {
    const std::int64_t before = clock->PerformanceCounter();
    clock->Pause(pauseUs);
    const double pausedUs = Ms(clock->PerformanceCounter() - before) * 1000.0;
    EXPECT_GE(pausedUs, pauseUs * param.pauseLeastShare) << pauseUs;
    EXPECT_LT(pausedUs, pauseUs + param.pauseLateUs) << pauseUs;
  }
}

// The pair's raw clock is the counter; the disciplined one runs beside it within what any
// daemon slews (the kernel's PLL at most 500 ppm).
TEST_P(ClockContractTest, APairIsTheCounterAndAClockBesideIt) {
  constexpr double kLargestSlew = 1000e-6;
  const double frequency = static_cast<double>(clock->PerformanceFrequency());
  const double before = static_cast<double>(clock->PerformanceCounter()) / frequency;
  const ClockPair first = clock->ReadClockPair();
  const double after = static_cast<double>(clock->PerformanceCounter()) / frequency;
  EXPECT_GE(first.rawSeconds, before - 1e-9);
  EXPECT_LE(first.rawSeconds, after + 1e-9);
  clock->Sleep(kSleepMs);
  const ClockPair second = clock->ReadClockPair();
  const double raw = second.rawSeconds - first.rawSeconds;
  EXPECT_NEAR(second.disciplinedSeconds - first.disciplinedSeconds, raw, raw * kLargestSlew);
}

TEST_P(ClockContractTest, OffersPeriodsThatNest) {
  std::uint32_t periodMin = 0;
  std::uint32_t periodMax = 0;
  ASSERT_TRUE(clock->GetTimerCaps(periodMin, periodMax));
  EXPECT_GE(periodMin, 1u);
  EXPECT_GE(periodMax, periodMin);
  // Periods nest: each end undoes one beginning.
  ASSERT_TRUE(clock->BeginPeriod(periodMin));
  ASSERT_TRUE(clock->BeginPeriod(periodMin));
  EXPECT_TRUE(clock->EndPeriod(periodMin));
  EXPECT_TRUE(clock->EndPeriod(periodMin));
}

}  // namespace veltrane
