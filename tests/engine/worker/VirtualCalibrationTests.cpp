// A whole calibration in virtual time: the worker's reports from the simulated device,
// evaluated report by report until the run is complete, and the value stored.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "engine/worker/CalibrationThread.h"
#include "engine/worker/Evaluation.h"
#include "platform/simulated/MemoryRegistry.h"
#include "support/RegistrySettings.h"
#include "support/StoredNames.h"
#include "engine/RunState.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/SimulatedScheduler.h"
#include "platform/simulated/VirtualClock.h"

namespace veltrane {
namespace {

constexpr std::int32_t kRate = 44100;

struct Outcome {
  std::wstring stored;
  int reports = 0;
  float measuredSeconds = 0;
};

Outcome Calibrate(double ppm, double jitterUs, double lateUs = 0.0) {
  SimulatedAudioOptions options;
  options.ppm = ppm;
  options.jitterUs = jitterUs;
  options.lateUs = lateUs;
  PlatformServices services;
  services.clock = std::make_shared<VirtualClock>();
  services.scheduler = std::make_shared<SimulatedScheduler>(1);
  services.audio = std::make_shared<SimulatedAudio>(services.clock, options);
  auto state = std::make_shared<RunState>(services, 0, kRate);

  Evaluation evaluation;
  Outcome outcome;
  state->SetTarget(
      [&](const PostedMessage& message) {
        if (message.message == WM_CLOCK_KIND) {
          evaluation.clockMethod = static_cast<std::int32_t>(message.wParam);
        } else if (message.message == WM_MEASUREMENT && !evaluation.finished) {
          ++outcome.reports;
          if (EvaluateMeasurement(evaluation, static_cast<std::uint32_t>(message.wParam),
                                  static_cast<std::int32_t>(message.lParam), kRate)
                  .complete) {
            state->stopRequested = true;
          }
        }
      },
      [](const std::wstring&, MessageIcon, std::function<void()> done) { done(); });
  std::thread worker([state] { CalibrationThread(state); });
  worker.join();

  auto registry = std::make_shared<MemoryRegistry>();
  CRegistrySettings settings(registry);
  settings.SetFolder(L"Tuner");
  const std::wstring name = CalibrationValueName(L"Input1", kRate, L"Simulated Input");
  EXPECT_TRUE(settings.WriteDouble(name, evaluation.median));
  outcome.stored =
      registry->GetStringValue(L"SOFTWARE\\Ombrel's Projects\\Tuner", name).value_or(L"");
  outcome.measuredSeconds = evaluation.measuredSeconds;
  return outcome;
}

TEST(VirtualCalibrationTest, SlowDeviceWithJitterStoresItsRatio) {
  const Outcome outcome = Calibrate(-250, 200);
  ASSERT_EQ(outcome.stored.size(), 8u) << std::string(outcome.stored.begin(), outcome.stored.end());
  EXPECT_NEAR(std::stod(outcome.stored), 0.999750, 0.000001);
  EXPECT_GE(outcome.measuredSeconds, 300.0f);
  EXPECT_NEAR(outcome.reports, 2 + 1 + 150, 2);
}

TEST(VirtualCalibrationTest, SameTextOnEveryRun) {
  const std::wstring first = Calibrate(-250, 200).stored;
  EXPECT_EQ(Calibrate(-250, 200).stored, first);
  EXPECT_EQ(Calibrate(-250, 200).stored, first);
}

TEST(VirtualCalibrationTest, FastAndExactDevices) {
  EXPECT_EQ(Calibrate(0, 0).stored, L"1.000000");
  // A millisecond of jitter on the two steps that end the run is worth a few ppm over 300 s.
  EXPECT_NEAR(std::stod(Calibrate(120, 1000).stored), 1.000120, 0.000010);
  // Looks 20 ms late on average with a long tail, as on a busy computer: each report is taken
  // at the earliest of the steps around it.
  EXPECT_NEAR(std::stod(Calibrate(-40, 0, 20000).stored), 0.999960, 0.000002);
}

}  // namespace
}  // namespace veltrane
