// The Windows back ends against the contracts every back end meets, under Wine here: the
// registry in a key of its own below HKEY_CURRENT_USER, waveIn on the private null sink
// (scripts/with-pulse-null-sink; without it the audio contract is skipped), the clock and the
// scheduler, and what the contracts leave out of those two.

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/platform/AudioContract.h"
#include "tests/platform/ClockContract.h"
#include "tests/platform/RegistryContract.h"
#include "tests/platform/SchedulerContract.h"
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

INSTANTIATE_TEST_SUITE_P(Windows, RegistryContractTest,
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

INSTANTIATE_TEST_SUITE_P(WaveIn, AudioContractTest,
                         testing::Values(AudioContractParam{"WaveIn", WaveInOnTheNullSink}),
                         AudioContractName);

// The millisecond timer and the tick count may each step by up to the scheduler's tick
// (about 16 ms), and a sleep may end a little before its length.
ClockContractParam WindowsClockParam() {
  ClockContractParam param{"Windows", [] { return std::make_shared<WindowsClock>(); }};
  param.timerToleranceMs = 20.0;
  param.tickToleranceMs = 40.0;
  param.sleepEarlyMs = 1.0;
  param.sleepLateMs = 800.0;
  param.pauseLeastShare = 0.9;
  return param;
}

INSTANTIATE_TEST_SUITE_P(Windows, ClockContractTest, testing::Values(WindowsClockParam()),
                         ClockContractName);

INSTANTIATE_TEST_SUITE_P(Windows, SchedulerContractTest,
                         testing::Values(SchedulerContractParam{
                             "Windows", [] { return std::make_shared<WindowsScheduler>(); }}),
                         SchedulerContractName);

TEST(WindowsClockTest, OffersTheOneMillisecondPeriodAndRefusesNone) {
  WindowsClock clock;
  std::uint32_t periodMin = 0;
  std::uint32_t periodMax = 0;
  ASSERT_TRUE(clock.GetTimerCaps(periodMin, periodMax));
  EXPECT_EQ(periodMin, 1u);
  EXPECT_FALSE(clock.BeginPeriod(0));
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
