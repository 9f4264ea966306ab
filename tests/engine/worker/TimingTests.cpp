#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/worker/Timing.h"
#include "support/Trace.h"

namespace veltrane {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::NiceMock;
using ::testing::Return;

class MockClock : public Clock {
 public:
  MOCK_METHOD(std::int64_t, PerformanceCounter, (), (override));
  MOCK_METHOD(std::int64_t, PerformanceFrequency, (), (override));
  MOCK_METHOD(std::uint32_t, MillisecondTimer, (), (override));
  MOCK_METHOD(std::uint32_t, TickCount, (), (override));
  MOCK_METHOD(void, Sleep, (std::uint32_t), (override));
  MOCK_METHOD(bool, GetTimerCaps, (std::uint32_t&, std::uint32_t&), (override));
  MOCK_METHOD(bool, BeginPeriod, (std::uint32_t), (override));
  MOCK_METHOD(bool, EndPeriod, (std::uint32_t), (override));
};

class MockScheduler : public Scheduler {
 public:
  MOCK_METHOD(ThreadRef, CurrentThread, (), (override));
  MOCK_METHOD(bool, GetProcessAffinityMask, (std::uint32_t&, std::uint32_t&), (override));
  MOCK_METHOD(std::uint32_t, SetThreadAffinityMask, (ThreadRef, std::uint32_t), (override));
  MOCK_METHOD(bool, SetPriorityClass, (PriorityClass), (override));
  MOCK_METHOD(bool, SetThreadTimeCritical, (ThreadRef), (override));
};

constexpr ThreadRef kThread = 42;

// A clock whose readings the test sets, and whose Sleep moves each reading on by its own
// amount, as three clocks that disagree would.
class TimingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTraceListener([this](const TraceLine& line) {
      EXPECT_EQ(line.category, L"TR_CALIBRATION");
      EXPECT_EQ(line.sourceFile, L"Timing");
      EXPECT_GT(line.line, 0);
      traces.push_back(line.message);
    });
    ON_CALL(clock, GetTimerCaps(_, _))
        .WillByDefault([this](std::uint32_t& min, std::uint32_t& max) {
          min = periodMin;
          max = 1000000;
          return true;
        });
    ON_CALL(clock, BeginPeriod(_)).WillByDefault(Return(true));
    ON_CALL(clock, EndPeriod(_)).WillByDefault(Return(true));
    ON_CALL(clock, PerformanceCounter()).WillByDefault([this] { return counter; });
    ON_CALL(clock, PerformanceFrequency()).WillByDefault([this] { return frequency; });
    ON_CALL(clock, MillisecondTimer()).WillByDefault([this] { return msTimer; });
    ON_CALL(clock, TickCount()).WillByDefault([this] { return tick; });
    ON_CALL(clock, Sleep(_)).WillByDefault([this](std::uint32_t) {
      counter += counterStep;
      msTimer += msTimerStep;
      tick += tickStep;
    });
    ON_CALL(scheduler, CurrentThread()).WillByDefault(Return(kThread));
    ON_CALL(scheduler, GetProcessAffinityMask(_, _))
        .WillByDefault([this](std::uint32_t& process, std::uint32_t& system) {
          process = processMask;
          system = systemMask;
          return true;
        });
    ON_CALL(scheduler, SetThreadAffinityMask(_, _)).WillByDefault(Return(previousMask));
  }
  void TearDown() override { SetTraceListener(nullptr); }

  std::unique_ptr<Timing> MakeTiming() {
    return std::make_unique<Timing>(clock, scheduler,
                                    [this](const std::wstring& text) { boxes.push_back(text); });
  }

  // What each clock advances by over the 2100 ms comparison, in its own units.
  void SetAdvances(double counterMs, std::uint32_t msTimerMs, std::uint32_t tickMs) {
    counterStep = static_cast<std::int64_t>(counterMs * static_cast<double>(frequency) / 1000.0);
    msTimerStep = msTimerMs;
    tickStep = tickMs;
  }

  NiceMock<MockClock> clock;
  NiceMock<MockScheduler> scheduler;
  std::vector<std::wstring> traces;
  std::vector<std::wstring> boxes;

  std::uint32_t periodMin = 1;
  std::uint32_t processMask = 3;
  std::uint32_t systemMask = 3;
  std::uint32_t previousMask = 3;
  std::int64_t counter = 5000000000;
  std::int64_t frequency = 1000000000;
  std::uint32_t msTimer = 777000;
  std::uint32_t tick = 776996;
  std::int64_t counterStep = 0;
  std::uint32_t msTimerStep = 0;
  std::uint32_t tickStep = 0;
};

struct MaskCase {
  std::uint32_t processMask;
  std::uint32_t threadMask;  // 0: the thread is not pinned
  const wchar_t* processTrace;
  const wchar_t* pinTrace;
};

void PrintTo(const MaskCase& mask, std::ostream* out) {
  *out << "process mask " << mask.processMask;
}

class TimingMaskTest : public TimingTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(TimingMaskTest, PinsToTheHighestAllowedProcessorAndRestoresOnDestruction) {
  const MaskCase& param = GetParam();
  processMask = param.processMask;
  systemMask = 0xFFFFFFFFu;
  previousMask = param.processMask;
  if (param.threadMask != 0) {
    EXPECT_CALL(scheduler, SetThreadAffinityMask(kThread, param.threadMask))
        .WillOnce(Return(previousMask));
    EXPECT_CALL(scheduler, SetThreadAffinityMask(kThread, previousMask)).Times(0);
  } else {
    EXPECT_CALL(scheduler, SetThreadAffinityMask(_, _)).Times(0);
  }
  auto timing = MakeTiming();

  std::vector<std::wstring> expected = {L"Setting the scheduling period to 1",
                                        L"System Affinity Mask -1", param.processTrace};
  if (param.pinTrace != nullptr) expected.push_back(param.pinTrace);
  EXPECT_EQ(traces, expected);

  ::testing::Mock::VerifyAndClearExpectations(&scheduler);
  if (param.threadMask != 0) {
    EXPECT_CALL(scheduler, SetThreadAffinityMask(kThread, previousMask)).Times(1);
  } else {
    EXPECT_CALL(scheduler, SetThreadAffinityMask(_, _)).Times(0);
  }
  timing.reset();
  EXPECT_TRUE(boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Masks, TimingMaskTest,
    ::testing::Values(
        MaskCase{1, 0, L"Process Affinity Mask 1", nullptr},
        MaskCase{3, 2, L"Process Affinity Mask 3", L"Setting Thread Affinity Mask on 2"},
        MaskCase{6, 4, L"Process Affinity Mask 6", L"Setting Thread Affinity Mask on 4"},
        MaskCase{10, 8, L"Process Affinity Mask 10", L"Setting Thread Affinity Mask on 8"},
        MaskCase{0xFFFFFFFFu, 0x80000000u, L"Process Affinity Mask -1",
                 L"Setting Thread Affinity Mask on -2147483648"}));

TEST_F(TimingTest, BeginsTheFinestPeriodUnchangedAfterTracingItAndEndsItOnce) {
  periodMin = 5;
  bool tracedBeforeBegin = false;
  EXPECT_CALL(clock, BeginPeriod(5)).WillOnce([&](std::uint32_t) {
    tracedBeforeBegin = !traces.empty() && traces.back() == L"Setting the scheduling period to 5";
    return true;
  });
  auto timing = MakeTiming();
  EXPECT_TRUE(tracedBeforeBegin);
  EXPECT_CALL(clock, EndPeriod(5)).Times(1);
  timing.reset();
}

TEST_F(TimingTest, FailedTimerCapsAreTracedAndShownAndNoPeriodIsBegun) {
  EXPECT_CALL(clock, GetTimerCaps(_, _)).WillOnce(Return(false));
  EXPECT_CALL(clock, BeginPeriod(_)).Times(0);
  EXPECT_CALL(clock, EndPeriod(_)).Times(0);
  EXPECT_CALL(scheduler, SetThreadAffinityMask(kThread, 2)).WillOnce(Return(3));
  EXPECT_CALL(scheduler, SetThreadAffinityMask(kThread, 3)).Times(1);  // the restore
  auto timing = MakeTiming();
  EXPECT_THAT(traces,
              ElementsAre(L"timeGetDevCaps failed", L"System Affinity Mask 3",
                          L"Process Affinity Mask 3", L"Setting Thread Affinity Mask on 2"));
  EXPECT_THAT(boxes, ElementsAre(L"timeGetDevCaps failed"));
}

TEST_F(TimingTest, RefusedPeriodIsShownAndNotEndedLater) {
  EXPECT_CALL(clock, BeginPeriod(1)).WillOnce(Return(false));
  EXPECT_CALL(clock, EndPeriod(_)).Times(0);
  auto timing = MakeTiming();
  EXPECT_THAT(traces, ElementsAre(L"Setting the scheduling period to 1", L"timeBeginPeriod failed",
                                  L"System Affinity Mask 3", L"Process Affinity Mask 3",
                                  L"Setting Thread Affinity Mask on 2"));
  EXPECT_THAT(boxes, ElementsAre(L"timeBeginPeriod failed"));
  timing.reset();
}

TEST_F(TimingTest, UnreadableProcessMaskLeavesTheThreadAlone) {
  EXPECT_CALL(scheduler, GetProcessAffinityMask(_, _)).WillOnce(Return(false));
  EXPECT_CALL(scheduler, SetThreadAffinityMask(_, _)).Times(0);
  auto timing = MakeTiming();
  EXPECT_THAT(traces,
              ElementsAre(L"Setting the scheduling period to 1", L"GetProcessAffinityMask failed"));
  EXPECT_TRUE(boxes.empty());
  timing.reset();
}

TEST_F(TimingTest, RefusedPinIsTracedAndNothingIsRestored) {
  EXPECT_CALL(scheduler, SetThreadAffinityMask(kThread, 2)).WillOnce(Return(0));
  auto timing = MakeTiming();
  EXPECT_EQ(traces.back(), L"SetThreadAffinityMask failed");
  EXPECT_TRUE(boxes.empty());
  ::testing::Mock::VerifyAndClearExpectations(&scheduler);
  EXPECT_CALL(scheduler, SetThreadAffinityMask(_, _)).Times(0);
  timing.reset();
}

TEST_F(TimingTest, NoThreadMeansNoPin) {
  EXPECT_CALL(scheduler, CurrentThread()).WillOnce(Return(0));
  EXPECT_CALL(scheduler, SetThreadAffinityMask(_, _)).Times(0);
  auto timing = MakeTiming();
  EXPECT_EQ(traces.back(), L"Process Affinity Mask 3");
}

TEST_F(TimingTest, ReadsNothingBeforeAClockIsChosen) {
  auto timing = MakeTiming();
  EXPECT_EQ(timing->GetClockKind(), Timing::ClockNone);
  EXPECT_EQ(timing->ReadMilliseconds(), 0.0);
}

struct SelectionCase {
  double counterMs;  // what each clock sees of the 2100 ms pause
  std::uint32_t msTimerMs;
  std::uint32_t tickMs;
  std::int32_t kind;
  const wchar_t* trace;
};

void PrintTo(const SelectionCase& selection, std::ostream* out) {
  *out << "counter " << selection.counterMs << " ms, timer " << selection.msTimerMs << " ms, tick "
       << selection.tickMs << " ms";
}

class TimingSelectionTest : public TimingTest,
                            public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(TimingSelectionTest, TakesTheFirstClockThatAgreesWithTheTickCount) {
  const SelectionCase& param = GetParam();
  SetAdvances(param.counterMs, param.msTimerMs, param.tickMs);
  auto timing = MakeTiming();
  traces.clear();
  EXPECT_CALL(clock, Sleep(2100)).Times(1);
  EXPECT_TRUE(timing->SelectClock());
  EXPECT_EQ(timing->GetClockKind(), param.kind);
  EXPECT_THAT(traces, ElementsAre(param.trace));
}

constexpr const wchar_t* kCounterTrace = L"Timing will use QueryPerformanceCounter on 1000.00 MHz";

INSTANTIATE_TEST_SUITE_P(
    Selection, TimingSelectionTest,
    ::testing::Values(
        // All agree: the counter comes first.
        SelectionCase{2100, 2100, 2100, Timing::ClockPerformanceCounter, kCounterTrace},
        // The counter is taken while it agrees, even when the timer agrees better.
        SelectionCase{2190, 2100, 2100, Timing::ClockPerformanceCounter, kCounterTrace},
        SelectionCase{2010.5, 2100, 2100, Timing::ClockPerformanceCounter, kCounterTrace},
        // The counter drifts by 150 ms while the timer stays within 20 ms.
        SelectionCase{2250, 2120, 2100, Timing::ClockMultimediaTimer,
                      L"Timing will use timeGetTime"},
        // Exactly 100 ms counts as disagreement, either way round.
        SelectionCase{2200, 2100, 2100, Timing::ClockMultimediaTimer,
                      L"Timing will use timeGetTime"},
        SelectionCase{2000, 2200, 2100, Timing::ClockTickCount, L"Timing will use GetTickCount"},
        SelectionCase{2300, 2000, 2100, Timing::ClockTickCount, L"Timing will use GetTickCount"}));

TEST_F(TimingTest, TracesTheCounterFrequencyInMegahertz) {
  frequency = 3579545;
  SetAdvances(2100, 2100, 2100);
  auto timing = MakeTiming();
  traces.clear();
  timing->SelectClock();
  EXPECT_THAT(traces, ElementsAre(L"Timing will use QueryPerformanceCounter on 3.58 MHz"));
}

TEST_F(TimingTest, CounterReadingSplitsTheCountIntoSignedUpperAndUnsignedLowerHalves) {
  SetAdvances(2100, 2100, 2100);
  auto timing = MakeTiming();
  timing->SelectClock();
  ASSERT_EQ(timing->GetClockKind(), Timing::ClockPerformanceCounter);

  counter = (std::int64_t{2} << 32) | 0x80000000;  // lower half above 2^31 stays positive
  EXPECT_DOUBLE_EQ(timing->ReadMilliseconds(), 10737418240.0 * 1000.0 / 1e9);
  counter = -1;  // upper half -1, lower half 2^32 - 1
  EXPECT_DOUBLE_EQ(timing->ReadMilliseconds(), -1.0 * 1000.0 / 1e9);
  frequency = 10000000;
  counter = 123456789;
  EXPECT_DOUBLE_EQ(timing->ReadMilliseconds(), 12345.6789);
}

TEST_F(TimingTest, TimerThatWrapsDuringTheComparisonStillAgrees) {
  msTimer = 0xFFFFFF00u;
  SetAdvances(2500, 2100, 2100);
  auto timing = MakeTiming();
  timing->SelectClock();
  EXPECT_EQ(timing->GetClockKind(), Timing::ClockMultimediaTimer);
}

TEST_F(TimingTest, MillisecondTimerReadsUnsignedAndStaysContinuousAcrossAWrap) {
  SetAdvances(2500, 2100, 2100);
  auto timing = MakeTiming();
  timing->SelectClock();
  ASSERT_EQ(timing->GetClockKind(), Timing::ClockMultimediaTimer);

  msTimer = 0xFFFFFFF0u;
  const double before = timing->ReadMilliseconds();
  EXPECT_DOUBLE_EQ(before, 4294967280.0);
  msTimer = 0x10u;
  EXPECT_DOUBLE_EQ(timing->ReadMilliseconds() - before, 32.0);
}

TEST_F(TimingTest, TickCountIsReadAsAnUnsignedCount) {
  tick = 0xFFFFFFFFu - 5000;
  SetAdvances(3000, 3000, 2100);
  auto timing = MakeTiming();
  timing->SelectClock();
  ASSERT_EQ(timing->GetClockKind(), Timing::ClockTickCount);
  tick = 0xFFFFFFFFu;
  EXPECT_DOUBLE_EQ(timing->ReadMilliseconds(), 4294967295.0);
}

}  // namespace
}  // namespace veltrane
