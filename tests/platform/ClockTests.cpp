#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/time.h>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/linux/PosixClock.h"
#include "platform/simulated/ScaledClock.h"
#include "platform/simulated/SimulatedSystemClock.h"
#include "platform/simulated/VirtualClock.h"
#include "tests/platform/ClockContract.h"

namespace veltrane {
namespace {

constexpr std::int64_t kNsPerMs = 1000000;

long CurrentSlackNs() { return prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0); }

constexpr double kScale = 20.0;

// Each clock with its own bounds: the tick count of a 100 Hz kernel; virtual time that
// advances exactly, with a tick of 4 ms; scaled time, in which a real sleep's lateness grows
// by the scale and a short pause may return at once.
ClockContractParam PosixParam() { return {"Posix", [] { return std::make_shared<PosixClock>(); }}; }

ClockContractParam VirtualParam() {
  ClockContractParam param{"Virtual", [] { return std::make_shared<VirtualClock>(); }};
  param.tickToleranceMs = 5.0;
  param.sleepLateMs = 1.0;
  param.pauseLateUs = 10.0;
  return param;
}

ClockContractParam ScaledParam() {
  ClockContractParam param{"Scaled", [] {
                             return std::make_shared<ScaledClock>(std::make_shared<PosixClock>(),
                                                                  kScale);
                           }};
  param.tickToleranceMs = param.timerToleranceMs;
  param.sleepLateMs = 300.0 * kScale;
  param.pauseLeastShare = 0.0;
  param.pauseLateUs *= kScale;
  return param;
}

// A crystal 30 ppm fast, disciplined, and slewed by 300 ppm from the start, over virtual time.
ClockContractParam SimulatedSystemParam() {
  SimulatedTimeOptions options;
  options.clockPpm = 30.0;
  options.synced = true;
  options.slewPpm = 300.0;
  options.slewForS = 10.0;
  ClockContractParam param{"SimulatedSystem", [options] {
                             return std::make_shared<SimulatedSystemClock>(
                                 std::make_shared<VirtualClock>(), options, 7);
                           }};
  param.sleepLateMs = 1.0;
  param.pauseLateUs = 10.0;
  return param;
}

INSTANTIATE_TEST_SUITE_P(Clocks, ClockContractTest,
                         testing::Values(PosixParam(), VirtualParam(), ScaledParam(),
                                         SimulatedSystemParam()),
                         ClockContractName);

// The millisecond counts are the counter's own time, in whole milliseconds.
TEST(PosixClockTest, MillisecondCountsAreTheCountersTime) {
  PosixClock clock;
  EXPECT_EQ(clock.PerformanceFrequency(), 1000000000);
  // Read in the order that keeps each later reading at or past the earlier ones: the tick
  // count read after the timer can already stand on the next millisecond.
  const std::uint32_t tick = clock.TickCount();
  const std::uint32_t fromCounter =
      static_cast<std::uint32_t>(clock.PerformanceCounter() / kNsPerMs);
  const std::uint32_t timer = clock.MillisecondTimer();
  EXPECT_LE(static_cast<std::uint32_t>(timer - fromCounter), 1u);
  // The coarse clock lags by up to one kernel tick (10 ms at 100 Hz).
  EXPECT_LE(static_cast<std::uint32_t>(timer - tick), 12u);
}

void IgnoreAlarm(int) {}

TEST(PosixClockTest, SignalsDoNotCutASleepShort) {
  struct sigaction action {};
  struct sigaction previousAction {};
  action.sa_handler = IgnoreAlarm;  // no SA_RESTART: nanosleep returns EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &action, &previousAction), 0);
  itimerval every5ms{};
  every5ms.it_interval.tv_usec = 5000;
  every5ms.it_value.tv_usec = 5000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &every5ms, nullptr), 0);

  PosixClock clock;
  const std::int64_t before = clock.PerformanceCounter();
  clock.Sleep(60);
  const std::int64_t slept = clock.PerformanceCounter() - before;

  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previousAction, nullptr);
  EXPECT_GE(slept, 60 * kNsPerMs);
}

TEST(PosixClockTest, PeriodsSetTheThreadsTimerSlackAndEndingRestoresIt) {
  PosixClock clock;
  std::uint32_t periodMin = 0;
  std::uint32_t periodMax = 0;
  ASSERT_TRUE(clock.GetTimerCaps(periodMin, periodMax));
  EXPECT_EQ(periodMin, 1u);
  EXPECT_EQ(periodMax, 1000000u);

  const long original = CurrentSlackNs();
  ASSERT_TRUE(clock.BeginPeriod(1));
  EXPECT_EQ(CurrentSlackNs(), 1000);

  // Another thread's periods change only its own slack.
  std::thread([&] {
    EXPECT_TRUE(clock.BeginPeriod(7));
    EXPECT_EQ(CurrentSlackNs(), 7000);
    EXPECT_TRUE(clock.EndPeriod(7));
  }).join();
  EXPECT_EQ(CurrentSlackNs(), 1000);
  EXPECT_FALSE(std::async(std::launch::async, [&] { return clock.EndPeriod(1); }).get())
      << "ended a period that another thread began";

  ASSERT_TRUE(clock.BeginPeriod(5));
  EXPECT_EQ(CurrentSlackNs(), 5000);
  ASSERT_TRUE(clock.EndPeriod(5));
  EXPECT_EQ(CurrentSlackNs(), 1000);
  ASSERT_TRUE(clock.EndPeriod(1));
  EXPECT_EQ(CurrentSlackNs(), original);
  EXPECT_FALSE(clock.EndPeriod(1)) << "ended a period that was not begun";
}

TEST(PosixClockTest, PeriodsEndedOutOfOrderStillRestoreTheOriginalSlack) {
  PosixClock clock;
  const long original = CurrentSlackNs();
  ASSERT_TRUE(clock.BeginPeriod(1));
  ASSERT_TRUE(clock.BeginPeriod(3));
  ASSERT_TRUE(clock.EndPeriod(1));
  EXPECT_EQ(CurrentSlackNs(), 3000);  // the latest period still holds
  ASSERT_TRUE(clock.EndPeriod(3));
  EXPECT_EQ(CurrentSlackNs(), original);
}

TEST(PosixClockTest, RefusesPeriodsOutsideItsCaps) {
  PosixClock clock;
  const long original = CurrentSlackNs();
  EXPECT_FALSE(clock.BeginPeriod(0));
  EXPECT_FALSE(clock.BeginPeriod(1000001));
  EXPECT_EQ(CurrentSlackNs(), original);
}

TEST(VirtualClockTest, ReadingsCostTimeAndSleepsAdvanceExactly) {
  VirtualClock clock(250);
  const std::int64_t start = clock.NowNs();
  EXPECT_EQ(clock.PerformanceCounter(), start);
  EXPECT_EQ(clock.NowNs(), start + 250);
  clock.MillisecondTimer();
  clock.TickCount();
  EXPECT_EQ(clock.PerformanceFrequency(), 1000000000);
  EXPECT_EQ(clock.NowNs(), start + 750);  // the frequency costs nothing
  clock.Sleep(2100);
  EXPECT_EQ(clock.NowNs(), start + 750 + 2100 * kNsPerMs);
}

TEST(VirtualClockTest, MillisecondCountsFollowTheCounter) {
  VirtualClock clock(0);
  clock.AdvanceNs(7 * kNsPerMs - clock.NowNs() % kNsPerMs);  // onto a whole millisecond
  const std::int64_t counter = clock.PerformanceCounter();
  EXPECT_EQ(clock.MillisecondTimer(), static_cast<std::uint32_t>(counter / kNsPerMs));
  for (int i = 0; i < 12; ++i) {
    const std::uint32_t timer = clock.MillisecondTimer();
    const std::uint32_t tick = clock.TickCount();
    EXPECT_EQ(tick % 4, 0u);
    EXPECT_LE(timer - tick, 3u);
    clock.AdvanceNs(kNsPerMs);
  }
}

TEST(VirtualClockTest, SameCallsGiveSameReadings) {
  auto run = [] {
    VirtualClock clock;
    std::vector<std::int64_t> readings;
    for (int i = 0; i < 100; ++i) {
      readings.push_back(clock.PerformanceCounter());
      readings.push_back(clock.MillisecondTimer());
      if (i % 10 == 0) clock.Sleep(static_cast<std::uint32_t>(i));
    }
    return readings;
  };
  EXPECT_EQ(run(), run());
}

TEST(VirtualClockTest, SleepHookSeesTheAdvancedTime) {
  VirtualClock clock(0);
  const std::int64_t start = clock.NowNs();
  std::vector<std::int64_t> seen;
  clock.SetSleepHook([&](std::uint32_t ms) {
    EXPECT_EQ(ms, 2000u);
    seen.push_back(clock.NowNs() - start);
  });
  clock.Sleep(2000);
  clock.Sleep(2000);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{2000 * kNsPerMs, 4000 * kNsPerMs}));
}

// An underlying clock that moves only when the test says.
class SteppedClock : public Clock {
 public:
  std::int64_t counter = 0;
  std::int64_t frequency = 1000000000;
  std::int64_t PerformanceCounter() override { return counter; }
  std::int64_t PerformanceFrequency() override { return frequency; }
  std::uint32_t MillisecondTimer() override { return 0; }
  std::uint32_t TickCount() override { return 0; }
  void Sleep(std::uint32_t) override {}
  bool GetTimerCaps(std::uint32_t&, std::uint32_t&) override { return false; }
  bool BeginPeriod(std::uint32_t) override { return false; }
  bool EndPeriod(std::uint32_t) override { return false; }
};

TEST(ScaledClockTest, ReadingsRunScaleTimesFasterFromConstruction) {
  auto real = std::make_shared<SteppedClock>();
  real->counter = 5 * 1000000000LL;
  ScaledClock scaled(real, 4.0);
  EXPECT_EQ(scaled.PerformanceCounter(), 5 * 1000000000LL);
  real->counter += 1000;
  EXPECT_EQ(scaled.PerformanceCounter(), 5 * 1000000000LL + 4000);
  EXPECT_EQ(scaled.PerformanceFrequency(), 1000000000);
  real->counter += 250 * kNsPerMs;
  EXPECT_EQ(scaled.MillisecondTimer(), 6000u);
  EXPECT_EQ(scaled.TickCount(), 6000u);
}

TEST(ScaledClockTest, MillisecondCountsWrapAtThirtyTwoBits) {
  auto real = std::make_shared<SteppedClock>();
  real->frequency = 10000000;                               // 10 MHz: 10000 counts per millisecond
  real->counter = (std::int64_t{1} << 32) * 10000 - 10000;  // 1 ms before the wrap
  ScaledClock scaled(real, 2.0);
  EXPECT_EQ(scaled.MillisecondTimer(), 0xFFFFFFFFu);
  real->counter += 20000;  // 2 ms of real time, 4 ms scaled
  EXPECT_EQ(scaled.MillisecondTimer(), 3u);
}

// A real pause wakes late by tens of microseconds; scaled, that would carry an aimed look past
// the instant it was aimed before. Every real pause must leave room for that lateness.
TEST(ScaledClockTest, RealPausesEndBeforeTheirScaledTimeWithRoomForWakingLate) {
  struct PauseRecorder : SteppedClock {
    std::vector<std::uint32_t> pauses;
    void Pause(std::uint32_t microseconds) override { pauses.push_back(microseconds); }
  };
  constexpr std::uint32_t kWakeLatenessUs = 100;  // timer slack and the scheduler's latency
  for (const double scale : {2.0, 5.0, 8.0, 10.0, 12.0, 20.0, 50.0}) {
    for (const std::uint32_t pauseUs : {150u, 1500u, 5000u, 20000u}) {
      auto real = std::make_shared<PauseRecorder>();
      ScaledClock scaled(real, scale);
      scaled.Pause(pauseUs);
      for (const std::uint32_t realUs : real->pauses) {
        EXPECT_LE((realUs + kWakeLatenessUs) * scale, pauseUs) << scale << " " << pauseUs;
      }
      // A long pause is still slept, so that a waiting look does not spin for it.
      if (pauseUs / scale >= 1000) {
        EXPECT_EQ(real->pauses.size(), 1u) << scale << " " << pauseUs;
      }
    }
  }
}

TEST(ScaledClockTest, SleepsAreShorterAndTimeRunsFasterInRealTime) {
  auto real = std::make_shared<PosixClock>();
  ScaledClock scaled(real, kScale);
  const std::int64_t realBefore = real->PerformanceCounter();
  const std::int64_t scaledBefore = scaled.PerformanceCounter();
  scaled.Sleep(2000);  // 100 ms of real time
  const std::int64_t scaledAfter = scaled.PerformanceCounter();
  const std::int64_t realAfter = real->PerformanceCounter();
  const std::int64_t realSlept = realAfter - realBefore;
  EXPECT_GE(realSlept, 100 * kNsPerMs);
  EXPECT_LT(realSlept, 400 * kNsPerMs);
  EXPECT_NEAR(static_cast<double>(scaledAfter - scaledBefore) / static_cast<double>(realSlept),
              kScale, 0.5);
}

}  // namespace
}  // namespace veltrane
