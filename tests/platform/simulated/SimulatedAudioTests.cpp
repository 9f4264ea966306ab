#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>
#include <vector>

#include "tests/platform/AudioContract.h"
#include "platform/linux/PosixClock.h"
#include "platform/linux/PosixScheduler.h"
#include "platform/simulated/ScaledClock.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/VirtualClock.h"

namespace veltrane {
namespace {

using ::testing::HasSubstr;

constexpr std::uint32_t kRate = 44100;

AudioContractSubject VirtualSubject() {
  auto clock = std::make_shared<VirtualClock>();
  return {clock, std::make_shared<SimulatedAudio>(clock, SimulatedAudioOptions{}), 0};
}

AudioContractSubject ScaledSubject() {
  auto clock = std::make_shared<ScaledClock>(std::make_shared<PosixClock>(), 50.0);
  return {clock, std::make_shared<SimulatedAudio>(clock, SimulatedAudioOptions{}), 0};
}

INSTANTIATE_TEST_SUITE_P(Simulated, AudioContractTest,
                         ::testing::Values(AudioContractParam{"VirtualTime", VirtualSubject},
                                           AudioContractParam{"ScaledTime", ScaledSubject}),
                         AudioContractName);

WaveFormat Format8BitMono() { return MonoEightBitFormat(kRate); }

SimulatedAudioOptions Parsed(const std::string& text) {
  SimulatedAudioOptions options;
  std::wstring error;
  EXPECT_TRUE(ParseSimulatedAudioOptions(text, options, error)) << text;
  return options;
}

// One recording on the simulated device: open, one buffer of bufferSeconds queued, started.
class Recording {
 public:
  Recording(std::shared_ptr<Clock> clock, const SimulatedAudioOptions& options,
            double bufferSeconds = 60.0)
      : clock(std::move(clock)),
        audio(this->clock, options),
        buffer(static_cast<std::size_t>(bufferSeconds * kRate)) {
    const auto callback = [this](WaveInDevice*, std::uint32_t msg, WaveHeader* returned) {
      if (std::this_thread::get_id() == caller) callbackOnCallerThread = true;
      if (msg == WIM_DATA && returned == &header) ++returnedCount;
    };
    EXPECT_EQ(audio.Open(device, 0, Format8BitMono(), callback, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    header.data = buffer.data();
    header.bufferLength = static_cast<std::uint32_t>(buffer.size());
    EXPECT_EQ(device->PrepareHeader(header), MMSYSERR_NOERROR);
    EXPECT_EQ(device->AddBuffer(header), MMSYSERR_NOERROR);
    startCounter = this->clock->PerformanceCounter();
    EXPECT_EQ(device->Start(), MMSYSERR_NOERROR);
  }

  ~Recording() {
    device->Reset();
    device->UnprepareHeader(header);
    device->Close();
  }

  std::uint32_t Position() {
    std::uint32_t samples = 0;
    EXPECT_EQ(device->GetPositionSamples(samples), MMSYSERR_NOERROR);
    return samples;
  }

  // Seconds on the clock since recording started.
  double Seconds() {
    return static_cast<double>(clock->PerformanceCounter() - startCounter) /
           static_cast<double>(clock->PerformanceFrequency());
  }

  // The next change of position, and the clock's seconds right after it was seen.
  std::pair<std::uint32_t, double> NextStep() {
    const std::uint32_t from = Position();
    for (;;) {
      const std::uint32_t now = Position();
      if (now != from) return {now, Seconds()};
    }
  }

  // Waits up to a second of real time for the callback to have run count times.
  bool WaitForReturns(int count) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (returnedCount.load() < count && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return returnedCount.load() == count;
  }

  std::shared_ptr<Clock> clock;
  SimulatedAudio audio;
  std::unique_ptr<WaveInDevice> device;
  std::vector<std::uint8_t> buffer;
  WaveHeader header;
  std::atomic<int> returnedCount{0};
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> callbackOnCallerThread{false};
  std::int64_t startCounter = 0;
};

// The rate error that the calibration would find over seconds, measured from step to step.
double MeasuredPpm(Recording& recording, std::uint32_t seconds) {
  const auto [p0, t0] = recording.NextStep();
  recording.clock->Sleep(seconds * 1000);
  const auto [p1, t1] = recording.NextStep();
  return (static_cast<double>(p1 - p0) / (t1 - t0) / kRate - 1.0) * 1e6;
}

class SimulatedRateTest : public ::testing::TestWithParam<double> {};

TEST_P(SimulatedRateTest, MeasuredRateErrorIsTheConfiguredOne) {
  SimulatedAudioOptions options;
  options.ppm = GetParam();
  Recording recording(std::make_shared<VirtualClock>(), options, 300.0);
  EXPECT_NEAR(MeasuredPpm(recording, 200), GetParam(), 0.05);
}

INSTANTIATE_TEST_SUITE_P(Ppm, SimulatedRateTest, ::testing::Values(-250.0, 0.0, 180.5, 3000.0));

TEST(SimulatedAudioTest, JitterBarelyDisturbsTheLongRunRate) {
  Recording recording(std::make_shared<VirtualClock>(), Parsed("ppm=-120,jitter_us=200"), 300.0);
  EXPECT_NEAR(MeasuredPpm(recording, 200), -120.0, 7.0);
}

TEST(SimulatedAudioTest, PositionMovesInWholeStepsAtTheStepPeriod) {
  Recording recording(std::make_shared<VirtualClock>(), Parsed("step=1000"));
  auto [previous, previousTime] = recording.NextStep();
  for (int i = 0; i < 50; ++i) {
    const auto [position, time] = recording.NextStep();
    EXPECT_EQ(position, previous + 1000);
    EXPECT_NEAR(time - previousTime, 1000.0 / kRate, 1e-5);
    previous = position;
    previousTime = time;
  }
}

TEST(SimulatedAudioTest, StrongJitterNeverSkipsOrReversesAStep) {
  // A standard deviation of 4 ms against a step period of 10 ms.
  Recording recording(std::make_shared<VirtualClock>(10000), Parsed("jitter_us=4000"));
  std::uint32_t previous = recording.Position();
  double previousTime = 0.0;
  double sum = 0.0;
  double sumOfSquares = 0.0;
  double shortest = 1.0;
  int intervals = 0;
  while (recording.Seconds() < 10.0) {
    const auto [position, time] = recording.NextStep();
    ASSERT_EQ(position, previous + 441) << "at " << time << " s";
    if (previousTime > 0.0) {
      const double interval = time - previousTime;
      sum += interval;
      sumOfSquares += interval * interval;
      shortest = std::min(shortest, interval);
      ++intervals;
    }
    previous = position;
    previousTime = time;
  }
  const double mean = sum / intervals;
  const double spread = std::sqrt(sumOfSquares / intervals - mean * mean);
  EXPECT_NEAR(mean, 441.0 / kRate, 1e-4);
  EXPECT_GT(spread, 0.003);  // the jitter is there
  EXPECT_GE(shortest, 0.1 * 441.0 / kRate - 2e-5);
}

// The first 200 steps that queries see, with the times they were seen.
std::vector<std::pair<std::uint32_t, double>> StepsSeen(const std::string& options) {
  Recording recording(std::make_shared<VirtualClock>(10000), Parsed(options));
  std::vector<std::pair<std::uint32_t, double>> steps;
  for (int i = 0; i < 200; ++i) steps.push_back(recording.NextStep());
  return steps;
}

TEST(SimulatedAudioTest, RunsWithTheSameOptionsStepAtTheSameTimes) {
  EXPECT_EQ(StepsSeen("ppm=37,jitter_us=900"), StepsSeen("ppm=37,jitter_us=900"));
}

struct RandomStartCase {
  const char* first;
  const char* second;
  bool same;
};

TEST(SimulatedAudioTest, ChosenRandomStartRepeatsARunExactlyAndAnotherOneDiffers) {
  const std::vector<RandomStartCase> cases = {
      {"jitter_us=900,seed=7", "jitter_us=900,seed=7", true},
      {"jitter_us=900,seed=7", "jitter_us=900,seed=8", false},
      {"late_us=900,seed=7", "late_us=900,seed=7", true},
      {"late_us=900,seed=7", "late_us=900,seed=8", false},
  };
  for (const auto& [first, second, same] : cases) {
    EXPECT_EQ(StepsSeen(first) == StepsSeen(second), same) << first << " against " << second;
  }
}

class SimulatedLatenessTest : public ::testing::TestWithParam<double> {};

TEST_P(SimulatedLatenessTest, QueriesSeeTheCountLateByTheMeanAndNeverEarly) {
  const double lateUs = GetParam();
  constexpr int kQueries = 2000;
  // Queries 100 ms apart, longer than any stall, so that no query hides behind the one before.
  constexpr std::uint32_t kQueryGapMs = 100;
  Recording recording(std::make_shared<VirtualClock>(),
                      Parsed("step=1,late_us=" + std::to_string(lateUs)),
                      kQueries * kQueryGapMs / 1000.0 + 1.0);
  double sumUs = 0.0;
  double earliestUs = 1e9;
  for (int i = 0; i < kQueries; ++i) {
    recording.clock->Sleep(kQueryGapMs);
    const std::uint32_t position = recording.Position();
    const double latenessUs = (recording.Seconds() - static_cast<double>(position) / kRate) * 1e6;
    sumUs += latenessUs;
    earliestUs = std::min(earliestUs, latenessUs);
  }
  EXPECT_GE(earliestUs, 0.0);
  // A frame lasts 23 µs: the count is seen up to that much late even when looked at in time.
  EXPECT_NEAR(sumUs / kQueries, lateUs, 0.15 * lateUs + 25.0);
  // Back to back, a query that looks later than the one before still sees no less.
  std::uint32_t previous = recording.Position();
  for (int i = 0; i < kQueries; ++i) {
    const std::uint32_t position = recording.Position();
    ASSERT_GE(position, previous);
    previous = position;
  }
}

INSTANTIATE_TEST_SUITE_P(MeanUs, SimulatedLatenessTest, ::testing::Values(0.0, 150.0, 1500.0));

TEST(SimulatedAudioTest, OpenHangsForTheConfiguredTimeOfTheDevicesClock) {
  const std::vector<std::pair<std::shared_ptr<Clock>, double>> cases = {
      {std::make_shared<VirtualClock>(), 30.0},
      {std::make_shared<ScaledClock>(std::make_shared<PosixClock>(), 50.0), 2.0},
  };
  for (const auto& [clock, hangS] : cases) {
    SimulatedAudio audio(clock, Parsed("hang_open_s=" + std::to_string(hangS)));
    std::unique_ptr<WaveInDevice> device;
    const std::int64_t before = clock->PerformanceCounter();
    EXPECT_EQ(audio.Open(device, 0, Format8BitMono(), nullptr, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    const double hungS = static_cast<double>(clock->PerformanceCounter() - before) /
                         static_cast<double>(clock->PerformanceFrequency());
    EXPECT_GE(hungS, hangS);
    EXPECT_LT(hungS, hangS + 1.0);
  }
}

struct DropCase {
  const char* options;  // without the drops
  std::uint32_t everyMs;
  double dropMs;
  std::uint32_t lostFramesPerDrop;  // drop_ms worth, in whole steps
};

TEST(SimulatedAudioTest, DropsLeaveTheCountBehindByWholeStepsWithoutGoingBack) {
  const std::vector<DropCase> cases = {
      {"step=441", 1000, 20.0, 882},
      {"step=100,jitter_us=300", 250, 7.0, 300},
  };
  for (const auto& [options, everyMs, dropMs, lostFramesPerDrop] : cases) {
    Recording plain(std::make_shared<VirtualClock>(), Parsed(options));
    Recording dropping(
        std::make_shared<VirtualClock>(),
        Parsed(std::string(options) + ",drop_every_s=" + std::to_string(everyMs / 1000.0) +
               ",drop_ms=" + std::to_string(dropMs)));
    std::uint32_t previous = 0;
    for (std::uint32_t ms = 1; ms <= 4 * everyMs; ++ms) {
      plain.clock->Sleep(1);
      dropping.clock->Sleep(1);
      const std::uint32_t undisturbed = plain.Position();
      const std::uint32_t position = dropping.Position();
      ASSERT_GE(position, previous) << options << " at " << ms << " ms";
      previous = position;
      if (ms % everyMs == everyMs / 2) {
        EXPECT_EQ(undisturbed - position, ms / everyMs * lostFramesPerDrop)
            << options << " at " << ms << " ms";
      }
    }
  }
}

TEST(SimulatedAudioTest, StalledCounterStopsAndKeepsTheBuffer) {
  Recording recording(std::make_shared<VirtualClock>(), Parsed("stall_after_s=5"));
  recording.clock->Sleep(4900);
  EXPECT_NEAR(recording.Position(), 4.9 * kRate, 441);
  recording.clock->Sleep(1100);
  const std::uint32_t stalled = recording.Position();
  EXPECT_NEAR(stalled, 5.0 * kRate, 441);
  recording.clock->Sleep(20000);
  EXPECT_EQ(recording.Position(), stalled);
  EXPECT_EQ(recording.returnedCount.load(), 0);
  EXPECT_TRUE(recording.header.flags & WHDR_INQUEUE);
}

TEST(SimulatedAudioTest, OverrunReturnsTheBufferEarlyOnceAndFreezesThePosition) {
  Recording recording(std::make_shared<VirtualClock>(), Parsed("overrun_after_s=3"));
  recording.clock->Sleep(2000);
  EXPECT_EQ(recording.Position(), 2u * kRate);
  EXPECT_EQ(recording.returnedCount.load(), 0);
  recording.clock->Sleep(2000);
  const std::uint32_t frozen = recording.Position();
  EXPECT_NEAR(frozen, 3.0 * kRate, 441);
  EXPECT_TRUE(recording.WaitForReturns(1));
  EXPECT_TRUE(recording.header.flags & WHDR_DONE);
  EXPECT_FALSE(recording.header.flags & WHDR_INQUEUE);
  EXPECT_EQ(recording.header.bytesRecorded, frozen);
  recording.clock->Sleep(5000);
  EXPECT_EQ(recording.Position(), frozen);
  EXPECT_EQ(recording.device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(recording.returnedCount.load(), 1);
}

TEST(SimulatedAudioTest, FullBufferComesBackOnceWithEveryByteRecorded) {
  Recording recording(std::make_shared<VirtualClock>(), SimulatedAudioOptions{}, 1.0);
  recording.clock->Sleep(2000);
  EXPECT_EQ(recording.Position(), kRate);  // found full by this query
  EXPECT_TRUE(recording.WaitForReturns(1));
  EXPECT_FALSE(recording.callbackOnCallerThread.load());
  EXPECT_EQ(recording.header.bytesRecorded, kRate);
  EXPECT_TRUE(recording.header.flags & WHDR_DONE);
  EXPECT_EQ(recording.device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(recording.returnedCount.load(), 1);
}

TEST(SimulatedAudioTest, InScaledTimeAFullBufferComesBackWithoutAnyQuery) {
  auto clock = std::make_shared<ScaledClock>(std::make_shared<PosixClock>(), 50.0);
  Recording recording(clock, SimulatedAudioOptions{}, 2.0);  // 40 ms of real time
  EXPECT_TRUE(recording.WaitForReturns(1));
  EXPECT_EQ(recording.header.bytesRecorded, 2u * kRate);
}

TEST(SimulatedAudioTest, InScaledTimeAnOverrunComesBackWithoutAnyQuery) {
  auto clock = std::make_shared<ScaledClock>(std::make_shared<PosixClock>(), 50.0);
  Recording recording(clock, Parsed("overrun_after_s=1"));
  EXPECT_TRUE(recording.WaitForReturns(1));
  EXPECT_NEAR(recording.header.bytesRecorded, kRate, 441);
}

TEST(SimulatedAudioTest, DeviceThreadRunsNormallyWhenOpenedByAPinnedTimeCriticalThread) {
  cpu_set_t process;
  CPU_ZERO(&process);
  ASSERT_EQ(sched_getaffinity(0, sizeof(process), &process), 0);
  if (CPU_COUNT(&process) < 2) GTEST_SKIP() << "needs two processors";
  int callbackPolicy = -1;
  cpu_set_t callbackAffinity;
  CPU_ZERO(&callbackAffinity);
  std::thread([&] {
    // As the calibration worker opens the device.
    PosixScheduler scheduler;
    const ThreadRef self = scheduler.CurrentThread();
    ASSERT_NE(scheduler.SetThreadAffinityMask(self, 1), 0u);
    ASSERT_TRUE(scheduler.SetThreadTimeCritical(self));
    SimulatedAudio audio(std::make_shared<VirtualClock>(), SimulatedAudioOptions{});
    std::unique_ptr<WaveInDevice> device;
    const auto callback = [&](WaveInDevice*, std::uint32_t, WaveHeader*) {
      sched_param param{};
      pthread_getschedparam(pthread_self(), &callbackPolicy, &param);
      sched_getaffinity(0, sizeof(callbackAffinity), &callbackAffinity);
    };
    ASSERT_EQ(audio.Open(device, 0, Format8BitMono(), callback, CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    std::vector<std::uint8_t> buffer(kRate);
    WaveHeader header;
    header.data = buffer.data();
    header.bufferLength = kRate;
    device->PrepareHeader(header);
    device->AddBuffer(header);
    device->Start();
    device->Reset();
    device->UnprepareHeader(header);
    device->Close();
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
  }).join();
  EXPECT_EQ(callbackPolicy, SCHED_OTHER);
  // Every processor of the process but the one the opener spins on.
  cpu_set_t besideOpener = process;
  CPU_CLR(0, &besideOpener);
  EXPECT_TRUE(CPU_EQUAL(&callbackAffinity, &besideOpener));
}

TEST(SimulatedAudioTest, OpenFailsWithTheConfiguredError) {
  SimulatedAudio audio(std::make_shared<VirtualClock>(), Parsed("fail_open=4"));
  std::unique_ptr<WaveInDevice> device;
  EXPECT_EQ(audio.Open(device, 0, Format8BitMono(), nullptr, CALLBACK_FUNCTION), 4u);
  EXPECT_EQ(device, nullptr);
}

TEST(SimulatedAudioTest, OpensOnlyAtTheGivenRates) {
  SimulatedAudio audio(std::make_shared<VirtualClock>(), Parsed("rates=8000/48000"));
  for (const auto& [rate, expected] :
       {std::pair{8000u, MMSYSERR_NOERROR}, std::pair{48000u, MMSYSERR_NOERROR},
        std::pair{1u, WAVERR_BADFORMAT}, std::pair{44100u, WAVERR_BADFORMAT}}) {
    WaveFormat format = Format8BitMono();
    format.samplesPerSec = format.avgBytesPerSec = rate;
    std::unique_ptr<WaveInDevice> device;
    EXPECT_EQ(audio.Open(device, 0, format, nullptr, CALLBACK_FUNCTION), expected) << rate;
    EXPECT_EQ(device != nullptr, expected == MMSYSERR_NOERROR) << rate;
  }
}

TEST(SimulatedAudioTest, RejectsOnlyTheDirectFlagWhenAskedTo) {
  SimulatedAudio audio(std::make_shared<VirtualClock>(), Parsed("reject_direct=1"));
  std::unique_ptr<WaveInDevice> device;
  EXPECT_EQ(audio.Open(device, 0, Format8BitMono(), nullptr,
                       CALLBACK_FUNCTION | WAVE_FORMAT_DIRECT | WAVE_ALLOWSYNC),
            MMSYSERR_INVALFLAG);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(audio.Open(device, 0, Format8BitMono(), nullptr, CALLBACK_FUNCTION | WAVE_ALLOWSYNC),
            MMSYSERR_NOERROR);
  EXPECT_NE(device, nullptr);
}

TEST(SimulatedAudioTest, DeviceIsOpenOnceAtATime) {
  SimulatedAudio audio(std::make_shared<VirtualClock>(), SimulatedAudioOptions{});
  std::unique_ptr<WaveInDevice> first;
  std::unique_ptr<WaveInDevice> second;
  ASSERT_EQ(audio.Open(first, 0, Format8BitMono(), nullptr, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  EXPECT_EQ(audio.Open(second, 0, Format8BitMono(), nullptr, CALLBACK_FUNCTION),
            MMSYSERR_ALLOCATED);
  EXPECT_EQ(first->Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(first->Close(), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(audio.Open(second, 0, Format8BitMono(), nullptr, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  second.reset();  // destroying an open device closes it
  EXPECT_EQ(audio.Open(first, 0, Format8BitMono(), nullptr, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
}

TEST(SimulatedAudioTest, RefusesAFormatThatDoesNotAddUp) {
  SimulatedAudio audio(std::make_shared<VirtualClock>(), SimulatedAudioOptions{});
  std::unique_ptr<WaveInDevice> device;
  WaveFormat format = Format8BitMono();
  format.blockAlign = 2;
  EXPECT_EQ(audio.Open(device, 0, format, nullptr, CALLBACK_FUNCTION), WAVERR_BADFORMAT);
  format = Format8BitMono();
  format.samplesPerSec = 0;
  EXPECT_EQ(audio.Open(device, 0, format, nullptr, CALLBACK_FUNCTION), WAVERR_BADFORMAT);
}

TEST(SimulatedAudioTest, KeepsAQueuedBufferUntilReset) {
  auto clock = std::make_shared<VirtualClock>();
  Recording recording(clock, SimulatedAudioOptions{});
  EXPECT_EQ(recording.device->UnprepareHeader(recording.header), WAVERR_STILLPLAYING);
  EXPECT_EQ(recording.device->Close(), WAVERR_STILLPLAYING);
  EXPECT_EQ(recording.device->Reset(), MMSYSERR_NOERROR);
  EXPECT_EQ(recording.returnedCount.load(), 1);
}

TEST(SimulatedAudioOptionsTest, ReadsEveryOption) {
  SimulatedAudioOptions options;
  std::wstring error;
  ASSERT_TRUE(ParseSimulatedAudioOptions(
      "ppm=-250.5,step=512,jitter_us=200,fail_open=4,reject_direct=1,stall_after_s=30,"
      "overrun_after_s=12.5",
      options, error))
      << std::string(error.begin(), error.end());
  EXPECT_EQ(options.ppm, -250.5);
  EXPECT_EQ(options.stepFrames, 512u);
  EXPECT_EQ(options.jitterUs, 200.0);
  EXPECT_EQ(options.failOpen, 4u);
  EXPECT_TRUE(options.rejectDirect);
  EXPECT_EQ(options.stallAfterS, 30.0);
  EXPECT_EQ(options.overrunAfterS, 12.5);
}

TEST(SimulatedAudioOptionsTest, EmptyTextKeepsTheDefaults) {
  SimulatedAudioOptions options;
  options.ppm = 99.0;
  std::wstring error;
  ASSERT_TRUE(ParseSimulatedAudioOptions("", options, error));
  EXPECT_EQ(options.ppm, 0.0);
  EXPECT_EQ(options.stepFrames, 441u);
  EXPECT_FALSE(options.failOpen);
  EXPECT_FALSE(options.stallAfterS);
}

struct BadOptions {
  const char* text;
  const wchar_t* named;  // what the error must point at
};

void PrintTo(const BadOptions& options, std::ostream* out) { *out << '"' << options.text << '"'; }

class SimulatedAudioBadOptionsTest : public ::testing::TestWithParam<BadOptions> {};

TEST_P(SimulatedAudioBadOptionsTest, SaysWhatIsWrongAndChangesNothing) {
  SimulatedAudioOptions options;
  options.ppm = 7.0;
  std::wstring error;
  EXPECT_FALSE(ParseSimulatedAudioOptions(GetParam().text, options, error));
  EXPECT_THAT(error, HasSubstr(GetParam().named));
  EXPECT_EQ(options.ppm, 7.0);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, SimulatedAudioBadOptionsTest,
    ::testing::Values(BadOptions{"speed=2", L"unknown option"},
                      BadOptions{"ppm", L"<name>=<value>"}, BadOptions{"ppm=abc", L"ppm=abc"},
                      BadOptions{"ppm=1x", L"ppm=1x"}, BadOptions{"ppm=", L"ppm="},
                      BadOptions{"ppm=nan", L"ppm=nan"}, BadOptions{"ppm=-1000000", L"ppm"},
                      BadOptions{"step=0", L"step=0"}, BadOptions{"step=1.5", L"step=1.5"},
                      BadOptions{"step=-4", L"step=-4"}, BadOptions{"jitter_us=-1", L"jitter_us"},
                      BadOptions{"fail_open=0", L"fail_open"},
                      BadOptions{"reject_direct=2", L"reject_direct"},
                      BadOptions{"stall_after_s=-3", L"stall_after_s"},
                      BadOptions{"overrun_after_s=soon", L"overrun_after_s"},
                      BadOptions{"ppm=1,ppm=2", L"more than once"},
                      BadOptions{"ppm=1,,step=2", L"empty option"},
                      BadOptions{"late_us=-5", L"late_us=-5\": expected"},
                      BadOptions{"seed=-1", L"seed=-1\": expected"},
                      BadOptions{"seed=1.5", L"seed=1.5\": expected"},
                      BadOptions{"hang_open_s=later", L"hang_open_s=later\": expected"},
                      BadOptions{"drop_every_s=0,drop_ms=5", L"drop_every_s=0\": expected"},
                      BadOptions{"drop_every_s=1,drop_ms=-2", L"drop_ms=-2\": expected"},
                      BadOptions{"drop_every_s=1", L"go together"},
                      BadOptions{"drop_every_s=1,drop_ms=1000", L"shorter than"},
                      BadOptions{"rates=", L"rates=\": expected"},
                      BadOptions{"rates=44100/", L"rates=44100/\": expected"},
                      BadOptions{"rates=0", L"rates=0\": expected"},
                      BadOptions{"rates=44100//48000", L"rates=44100//48000\": expected"},
                      BadOptions{"ppm=1,", L"empty option"},
                      // No sign of its own and nothing beyond the field's range.
                      BadOptions{"ppm=+5", L"ppm=+5\": expected"},
                      BadOptions{"step=+4", L"step=+4\": expected"},
                      BadOptions{"step=4294967296", L"step=4294967296\": expected"},
                      BadOptions{"seed=18446744073709551616", L"seed=18446744073709551616\""},
                      BadOptions{"fail_open=4294967296", L"fail_open=4294967296\""}));

}  // namespace
}  // namespace veltrane
