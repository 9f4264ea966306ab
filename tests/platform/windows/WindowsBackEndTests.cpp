// The Windows back ends against the contracts every back end meets, under Wine here: the
// registry in a key of its own below HKEY_CURRENT_USER, waveIn on the private null sink
// (scripts/with-pulse-null-sink; without it the audio contract is skipped), and what the
// contracts leave out of the clock and the scheduler.

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "tests/platform/AudioContract.h"
#include "tests/platform/RegistryContract.h"
#include "platform/windows/WaveInAudio.h"
#include "platform/windows/WindowsClock.h"
#include "platform/windows/WindowsRegistry.h"
#include "platform/windows/WindowsScheduler.h"

namespace veltrane {
namespace {

const std::wstring kTestsKey = L"Software\\Veltrane tests";

class WindowsRegistryUnderTest : public RegistryUnderTest {
 public:
  WindowsRegistryUnderTest() {
    static std::atomic<int> count{0};
    root = kTestsKey + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++count);
    registry = std::make_shared<WindowsRegistry>(root);
  }
  ~WindowsRegistryUnderTest() override { RegDeleteTreeW(HKEY_CURRENT_USER, root.c_str()); }
  Registry& Current() override { return *registry; }
  std::shared_ptr<Registry> Reopen() override { return std::make_shared<WindowsRegistry>(root); }

 private:
  std::wstring root;
  std::shared_ptr<WindowsRegistry> registry;
};

INSTANTIATE_TEST_SUITE_P(Windows, RegistryContract,
                         testing::Values(RegistryMaker{
                             "Windows",
                             [] { return std::make_unique<WindowsRegistryUnderTest>(); }}),
                         RegistryMakerName);

AudioContractSubject WaveInOnTheNullSink() {
  AudioContractSubject subject;
  if (std::getenv("VELTRANE_NULL_SINK") == nullptr) return subject;
  subject.clock = std::make_shared<WindowsClock>();
  subject.audio = std::make_shared<WaveInAudio>();
  // The sink's monitor records what the system clock drives.
  const std::int32_t monitor = FindDeviceContaining(*subject.audio, L"Monitor");
  if (monitor < 0) subject.audio.reset();
  subject.deviceId = static_cast<std::uint32_t>(monitor);
  return subject;
}

INSTANTIATE_TEST_SUITE_P(WaveIn, AudioContract,
                         testing::Values(AudioContractParam{"WaveIn", WaveInOnTheNullSink}),
                         AudioContractName);

TEST(WindowsClockTest, CountersAgreeInTheirUnits) {
  WindowsClock clock;
  const std::int64_t frequency = clock.PerformanceFrequency();
  ASSERT_GT(frequency, 0);
  const std::int64_t counterBefore = clock.PerformanceCounter();
  const std::uint32_t timerBefore = clock.MillisecondTimer();
  const std::uint32_t tickBefore = clock.TickCount();
  clock.Sleep(200);
  const double counterMs =
      static_cast<double>(clock.PerformanceCounter() - counterBefore) * 1000.0 / frequency;
  EXPECT_GE(counterMs, 199.0);
  EXPECT_LT(counterMs, 1000.0);
  EXPECT_NEAR(clock.MillisecondTimer() - timerBefore, counterMs, 20.0);
  // The system tick is as coarse as the scheduler's tick (up to about 16 ms).
  EXPECT_NEAR(clock.TickCount() - tickBefore, counterMs, 40.0);
}

TEST(WindowsClockTest, PauseGivesTheProcessorAwayForAboutItsLength) {
  WindowsClock clock;
  for (const std::uint32_t pauseUs : {2000u, 20000u}) {
    const std::int64_t before = clock.PerformanceCounter();
    clock.Pause(pauseUs);
    const double pausedUs = static_cast<double>(clock.PerformanceCounter() - before) * 1e6 /
                            static_cast<double>(clock.PerformanceFrequency());
    EXPECT_GE(pausedUs, pauseUs * 0.9) << pauseUs;
    EXPECT_LT(pausedUs, pauseUs + 30000.0) << pauseUs;
  }
}

TEST(WindowsClockTest, OffersTheOneMillisecondPeriodAndEndsWhatItBegan) {
  WindowsClock clock;
  std::uint32_t periodMin = 0;
  std::uint32_t periodMax = 0;
  ASSERT_TRUE(clock.GetTimerCaps(periodMin, periodMax));
  EXPECT_EQ(periodMin, 1u);
  EXPECT_GE(periodMax, periodMin);
  EXPECT_TRUE(clock.BeginPeriod(periodMin));
  EXPECT_TRUE(clock.EndPeriod(periodMin));
  EXPECT_FALSE(clock.BeginPeriod(0));
}

TEST(WindowsSchedulerTest, PinsAThreadAndGivesBackItsPreviousMask) {
  WindowsScheduler scheduler;
  std::uint32_t processMask = 0;
  std::uint32_t systemMask = 0;
  ASSERT_TRUE(scheduler.GetProcessAffinityMask(processMask, systemMask));
  EXPECT_EQ(processMask & ~systemMask, 0u);
  const std::uint32_t lowest = processMask & (~processMask + 1);
  const ThreadRef self = scheduler.CurrentThread();
  ASSERT_NE(self, 0u);
  EXPECT_EQ(scheduler.SetThreadAffinityMask(self, lowest), processMask);
  EXPECT_EQ(scheduler.SetThreadAffinityMask(self, processMask), lowest);
  EXPECT_EQ(scheduler.SetThreadAffinityMask(0, processMask), 0u);
}

TEST(WindowsSchedulerTest, RaisesThePriorityAndNormalGivesBackTheClassItHad) {
  WindowsScheduler scheduler;
  const DWORD before = GetPriorityClass(GetCurrentProcess());
  ASSERT_TRUE(scheduler.SetPriorityClass(PriorityClass::Realtime));
  // Without the privilege Windows gives the high class instead, quietly.
  const DWORD raised = GetPriorityClass(GetCurrentProcess());
  EXPECT_TRUE(raised == REALTIME_PRIORITY_CLASS || raised == HIGH_PRIORITY_CLASS) << raised;
  ASSERT_TRUE(scheduler.SetPriorityClass(PriorityClass::Normal));
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), before);

  ASSERT_TRUE(scheduler.SetThreadTimeCritical(scheduler.CurrentThread()));
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

}  // namespace
}  // namespace veltrane
