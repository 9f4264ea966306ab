// The worker on a real sound server: the private PulseAudio null sink runs on the system
// clock, so a minute of reports must give a ratio of 1 within a few ppm.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "engine/worker/CalibrationThread.h"
#include "engine/RunState.h"
#include "platform/linux/AlsaAudio.h"
#include "platform/linux/PosixClock.h"
#include "platform/linux/PosixScheduler.h"

namespace veltrane {
namespace {

constexpr std::int32_t kRate = 44100;

TEST(RealtimeWorkerTest, MinuteOfReportsMeasuresTheNullSinkAtItsNominalRate) {
  if (std::getenv("VELTRANE_NULL_SINK") == nullptr) {
    GTEST_SKIP() << "needs a sound server: run under scripts/with-pulse-null-sink";
  }
  PlatformServices services;
  services.clock = std::make_shared<PosixClock>();
  services.scheduler = std::make_shared<PosixScheduler>();
  services.audio = std::make_shared<AlsaAudio>();
  const std::int32_t pulse = FindDeviceContaining(*services.audio, L"PulseAudio");
  ASSERT_GE(pulse, 0);

  auto state = std::make_shared<RunState>(services, pulse, kRate);
  std::vector<PostedMessage> reports;
  std::vector<std::wstring> boxes;
  state->SetTarget(
      [&](const PostedMessage& message) {
        if (message.message != WM_MEASUREMENT || message.lParam <= 0) return;
        reports.push_back(message);
        if ((reports.back().lParam - reports.front().lParam) * 1e-4 >= 60.0) {
          state->stopRequested = true;
        }
      },
      [&](const std::wstring& text, MessageIcon, std::function<void()> done) {
        boxes.push_back(text);
        done();
      });
  // As the dialog does: the worker at time-critical priority in a real-time process.
  ASSERT_TRUE(services.scheduler->SetPriorityClass(PriorityClass::Realtime));
  std::thread worker([state] {
    state->services.scheduler->SetThreadTimeCritical(state->services.scheduler->CurrentThread());
    CalibrationThread(state);
  });
  worker.join();
  services.scheduler->SetPriorityClass(PriorityClass::Normal);

  EXPECT_TRUE(boxes.empty());
  ASSERT_GE(reports.size(), 30u);
  const auto& first = reports.front();
  const auto& last = reports.back();
  const double ratio = static_cast<double>(last.wParam - first.wParam) /
                       ((last.lParam - first.lParam) * 1e-4) / kRate;
  RecordProperty("ratio_ppm", static_cast<int>((ratio - 1) * 1e6));
  std::printf("ratio over %.1f s: %.7f (%+.2f ppm)\n", (last.lParam - first.lParam) * 1e-4,
              ratio, (ratio - 1) * 1e6);
  EXPECT_NEAR(ratio, 1.0, 20e-6);
}

}  // namespace
}  // namespace veltrane
