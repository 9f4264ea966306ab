// The worker in virtual time against the simulated device: what it posts, when it stops,
// and how it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/worker/CalibrationThread.h"
#include "engine/Messages.h"
#include "engine/RunState.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/SimulatedScheduler.h"
#include "support/Trace.h"
#include "platform/simulated/VirtualClock.h"

namespace veltrane {
namespace {

constexpr std::int32_t kRate = 44100;

// Virtual time whose sleeps can be watched: the hook runs as each sleep ends.
class WatchedClock : public VirtualClock {
 public:
  std::function<void()> onSleep;
  void Sleep(std::uint32_t milliseconds) override {
    VirtualClock::Sleep(milliseconds);
    if (onSleep) onSleep();
  }
};

// The simulated device with a hook on every position query.
class WatchedAudio : public Audio {
 public:
  WatchedAudio(std::shared_ptr<Clock> clock, SimulatedAudioOptions options)
      : inner(std::move(clock), options) {}
  std::function<void()> onPosition;

  std::uint32_t GetNumDevs() override { return inner.GetNumDevs(); }
  MMResult GetDevCaps(std::uint32_t id, WaveInCaps& caps) override {
    return inner.GetDevCaps(id, caps);
  }
  MMResult Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t id, const WaveFormat& format,
                WaveInCompletion callback, std::uint32_t flags) override {
    ++opens;
    lastFlags = flags;
    std::unique_ptr<WaveInDevice> opened;
    const MMResult result = inner.Open(opened, id, format, std::move(callback), flags);
    if (result == MMSYSERR_NOERROR) device = std::make_unique<Watched>(std::move(opened), this);
    return result;
  }
  std::wstring GetErrorText(MMResult code) override { return inner.GetErrorText(code); }

  int opens = 0;
  std::uint32_t lastFlags = 0;

 private:
  struct Watched : WaveInDevice {
    Watched(std::unique_ptr<WaveInDevice> device, WatchedAudio* owner)
        : device(std::move(device)), owner(owner) {}
    MMResult PrepareHeader(WaveHeader& h) override { return device->PrepareHeader(h); }
    MMResult UnprepareHeader(WaveHeader& h) override { return device->UnprepareHeader(h); }
    MMResult AddBuffer(WaveHeader& h) override { return device->AddBuffer(h); }
    MMResult Start() override { return device->Start(); }
    MMResult Reset() override { return device->Reset(); }
    MMResult GetPositionSamples(std::uint32_t& samples) override {
      if (owner->onPosition) owner->onPosition();
      return device->GetPositionSamples(samples);
    }
    MMResult Close() override { return device->Close(); }
    std::unique_ptr<WaveInDevice> device;
    WatchedAudio* owner;
  };
  SimulatedAudio inner;
};

struct WorkerRun {
  std::shared_ptr<WatchedClock> clock = std::make_shared<WatchedClock>();
  std::shared_ptr<WatchedAudio> audio;
  std::shared_ptr<RunState> state;
  std::mutex mutex;
  std::vector<PostedMessage> messages;
  std::vector<std::wstring> boxes;
  // Stops the run once this many measurement reports with a positive time have arrived.
  int stopAfterReports = 5;

  explicit WorkerRun(SimulatedAudioOptions options = {}, std::int32_t rate = kRate) {
    audio = std::make_shared<WatchedAudio>(clock, options);
    PlatformServices services;
    services.clock = clock;
    services.scheduler = std::make_shared<SimulatedScheduler>(3);
    services.audio = audio;
    state = std::make_shared<RunState>(services, 0, rate);
    state->SetTarget(
        [this](const PostedMessage& message) {
          std::lock_guard lock(mutex);
          messages.push_back(message);
          if (message.message == WM_MEASUREMENT && message.lParam > 0 && --stopAfterReports == 0) {
            state->stopRequested = true;
          }
        },
        [this](const std::wstring& text, MessageIcon, std::function<void()> done) {
          {
            std::lock_guard lock(mutex);
            boxes.push_back(text);
          }
          done();
        });
  }

  // Runs the worker on its own thread, as the dialog does, and waits for its end.
  void Execute() {
    std::thread worker([s = state] { CalibrationThread(s); });
    worker.join();
    ASSERT_TRUE(state->WorkerEnded());
  }

  std::vector<PostedMessage> Reports() {
    std::vector<PostedMessage> reports;
    for (const auto& m : messages) {
      if (m.message == WM_MEASUREMENT) reports.push_back(m);
    }
    return reports;
  }

  int Count(std::uint32_t message) {
    int n = 0;
    for (const auto& m : messages) n += m.message == message ? 1 : 0;
    return n;
  }
};

TEST(CalibrationThreadTest, PostsClockKindTwoWarmUpReportsThenMeasurements) {
  SimulatedAudioOptions options;
  options.ppm = -250;
  WorkerRun run(options);
  run.stopAfterReports = 20;
  run.Execute();

  ASSERT_GE(run.messages.size(), 23u);
  EXPECT_EQ(run.messages[0].message, WM_CLOCK_KIND);
  EXPECT_EQ(run.messages[0].wParam, 1u);  // virtual clocks all agree: the counter wins
  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(run.messages[i].message, WM_MEASUREMENT);
    EXPECT_EQ(run.messages[i].wParam, 0u);
    EXPECT_EQ(run.messages[i].lParam, 0);
  }
  const auto reports = run.Reports();
  ASSERT_EQ(reports.size(), 22u);
  double previousTime = 0;
  for (std::size_t i = 2; i < reports.size(); ++i) {
    // About 2 s apart, each ending on a step of the counter: the earliest seen of the steps of
    // a tenth of a second.
    const double seconds = reports[i].lParam * 1e-4;
    EXPECT_NEAR(seconds - previousTime, 2.0, 0.1 + 0.02) << i;
    previousTime = seconds;
  }
  const auto& last = reports.back();
  const double ratio = static_cast<double>(last.wParam) / (last.lParam * 1e-4) / kRate;
  EXPECT_NEAR(ratio, 1.0 - 250e-6, 2e-6);
  // The buffer came back when the worker reset the device at its end.
  EXPECT_EQ(run.Count(WM_CAPTURE_BUFFER_RETURNED), 1);
  EXPECT_TRUE(run.boxes.empty());
}

TEST(CalibrationThreadTest, SamplesCountFromTheReferenceNotFromTheStart) {
  WorkerRun run;
  run.stopAfterReports = 1;
  run.Execute();
  const auto reports = run.Reports();
  ASSERT_EQ(reports.size(), 3u);
  // The device has recorded for over four seconds, but the first report carries two.
  EXPECT_NEAR(static_cast<double>(reports[2].wParam), 2.0 * kRate, 441.0 * 2);
  EXPECT_NEAR(reports[2].lParam * 1e-4, 2.0, 0.02);
}

TEST(CalibrationThreadTest, GivesTheSameNumbersEveryRun) {
  SimulatedAudioOptions options;
  options.ppm = -250;
  options.jitterUs = 200;
  std::vector<std::intptr_t> first;
  for (int attempt = 0; attempt < 2; ++attempt) {
    WorkerRun run(options);
    run.stopAfterReports = 10;
    run.Execute();
    std::vector<std::intptr_t> values;
    for (const auto& r : run.Reports()) {
      values.push_back(static_cast<std::intptr_t>(r.wParam));
      values.push_back(r.lParam);
    }
    if (attempt == 0) {
      first = values;
    } else {
      EXPECT_EQ(values, first);
    }
  }
}

// The stop is placed by what the worker has done so far (opened the device, posted its
// reports), at the end of a pause or at a look at the position.
TEST(CalibrationThreadTest, StopPostsNothingForThePhaseItComesIn) {
  enum class At { Pause, PositionLook };
  struct Row {
    const char* during;
    At at;
    int opensBefore;      // the stop comes once the device was opened this often
    std::size_t reportsBefore;  // and this many reports were posted
    double stallAfterS;   // the device's counter stops after this long; 0: never
    int opens;  // -1: not checked
    std::size_t reports;
  };
  const std::vector<Row> rows = {
      {"the clock choice", At::Pause, 0, 0, 0.0, 0, 0},
      {"the first warm-up pause", At::Pause, 1, 0, 0.0, 1, 0},
      // The reference never comes: the warm-up reports only.
      {"the reference wait", At::PositionLook, 1, 2, 0.5, -1, 2},
      // Two warm-up reports and two cycles, then the stop while a cycle waits for its step.
      {"a cycle", At::PositionLook, 1, 4, 0.0, -1, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.during);
    SimulatedAudioOptions options;
    if (row.stallAfterS > 0.0) options.stallAfterS = row.stallAfterS;
    WorkerRun run(options);
    run.stopAfterReports = 100;
    const auto stopWhenDue = [&] {
      std::lock_guard lock(run.mutex);
      if (run.audio->opens == row.opensBefore && run.Reports().size() == row.reportsBefore) {
        run.state->stopRequested = true;
      }
    };
    if (row.at == At::Pause) run.clock->onSleep = stopWhenDue;
    if (row.at == At::PositionLook) run.audio->onPosition = stopWhenDue;
    run.Execute();
    if (row.opens >= 0) {
      EXPECT_EQ(run.audio->opens, row.opens);
    }
    EXPECT_EQ(run.Reports().size(), row.reports);
  }
}

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& part) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) {
    return line.find(part) != std::wstring::npos;
  });
}

// A failing device says why: its number and the platform's text in the box, and the text
// in the trace, also when the stream breaks or the counter stops after a good start.
TEST(CalibrationThreadTest, DeviceFailureCarriesTheBackEndsText) {
  struct Case {
    const char* name;
    SimulatedAudioOptions options;
    std::vector<std::wstring> boxes;  // filled in with the device's texts below
    std::wstring traced;
  };
  SimulatedAudio texts(std::make_shared<VirtualClock>(), {});
  const std::wstring busy = texts.GetErrorText(MMSYSERR_ALLOCATED);
  const std::wstring badFormat = texts.GetErrorText(WAVERR_BADFORMAT);
  const std::wstring broken = texts.GetErrorText(MMSYSERR_ERROR);
  SimulatedAudioOptions refusing, unsupported, overrun, dropping;
  refusing.failOpen = MMSYSERR_ALLOCATED;
  unsupported.failOpen = WAVERR_BADFORMAT;
  overrun.overrunAfterS = 9.0;
  dropping.dropEveryS = 10.0;
  dropping.dropMs = 20.0;
  const Case cases[] = {
      {"busy", refusing, {L"4\n" + busy}, busy},
      {"format refused", unsupported, {L"32\n" + badFormat}, badFormat},
      {"overrun", overrun, {}, L"came back early after"},
      {"samples lost", dropping, {}, L"Samples were lost without an overrun (losses: 1, 20"},
  };
  for (const auto& c : cases) {
    WorkerRun run(c.options);
    run.stopAfterReports = 100;
    std::vector<std::wstring> traces;
    SetTraceListener([&](const TraceLine& line) { traces.push_back(line.message); });
    run.Execute();
    SetTraceListener(nullptr);
    EXPECT_EQ(run.boxes, c.boxes) << c.name;
    EXPECT_TRUE(Contains(traces, c.traced)) << c.name;
    EXPECT_EQ(traces.back(), L"CalibrationThread end") << c.name;
  }
}

TEST(CalibrationThreadTest, DeviceThatRefusesToOpenEnds) {
  SimulatedAudioOptions options;
  options.failOpen = MMSYSERR_ALLOCATED;
  WorkerRun run(options);
  std::vector<std::wstring> traces;
  SetTraceListener([&](const TraceLine& line) { traces.push_back(line.message); });
  run.Execute();
  SetTraceListener(nullptr);
  EXPECT_EQ(run.audio->opens, 1);  // only an unsupported flag is tried again
  EXPECT_EQ(run.Count(WM_MEASUREMENT), 0);
  EXPECT_EQ(run.Count(WM_CLOCK_KIND), 1);
  EXPECT_NE(std::find(traces.begin(), traces.end(), L"OpenWaveIn failed"), traces.end());
}

// A rate whose buffer would not fit its 32-bit length is refused before anything is opened
// or allocated, whoever started the worker.
TEST(CalibrationThreadTest, RateTooLargeForTheBufferIsRefused) {
  for (const std::int32_t rate : {4772186, 2147483647, 0, -44100}) {
    WorkerRun run({}, rate);
    run.Execute();
    EXPECT_EQ(run.audio->opens, 0) << rate;
    EXPECT_EQ(run.Count(WM_MEASUREMENT), 0) << rate;
  }
}

TEST(CalibrationThreadTest, DeviceThatRefusesTheDirectFlagOpensWithoutIt) {
  SimulatedAudioOptions options;
  options.rejectDirect = true;
  WorkerRun run(options);
  run.stopAfterReports = 1;
  run.Execute();
  EXPECT_EQ(run.audio->opens, 2);
  EXPECT_EQ(run.audio->lastFlags, CALLBACK_FUNCTION | WAVE_ALLOWSYNC);
  EXPECT_TRUE(run.boxes.empty());
  EXPECT_EQ(run.Reports().size(), 3u);
}

TEST(CalibrationThreadTest, StalledCounterEndsTheWorkerWithoutStopRequest) {
  SimulatedAudioOptions options;
  options.stallAfterS = 9.0;
  WorkerRun run(options);
  run.stopAfterReports = 100;
  run.Execute();
  EXPECT_FALSE(run.state->stopRequested);
  const auto reports = run.Reports();
  EXPECT_GE(reports.size(), 3u);
  EXPECT_LE(reports.size(), 5u);
  EXPECT_EQ(run.Count(WM_CAPTURE_BUFFER_RETURNED), 1);
}

TEST(CalibrationThreadTest, OverrunReturnsTheBufferEarly) {
  SimulatedAudioOptions options;
  options.overrunAfterS = 9.0;
  WorkerRun run(options);
  run.stopAfterReports = 100;
  run.Execute();
  EXPECT_FALSE(run.state->stopRequested);
  EXPECT_GE(run.Count(WM_CAPTURE_BUFFER_RETURNED), 1);
  EXPECT_LE(run.Reports().size(), 5u);
}

TEST(CalibrationThreadTest, PostsNothingOnceTheDialogHasGone) {
  WorkerRun run;
  // The dialog goes in the first warm-up pause; the worker measures on for a while unheard.
  run.clock->onSleep = [&] {
    if (run.audio->opens == 1) run.state->ClearTarget();
    if (run.clock->PerformanceCounter() > 30 * run.clock->PerformanceFrequency()) {
      run.state->stopRequested = true;
    }
  };
  run.Execute();
  EXPECT_EQ(run.Count(WM_MEASUREMENT), 0);
}

}  // namespace
}  // namespace veltrane
