// How well the worker's reports measure a device's rate: for the simulated device in virtual
// time at several jitters, and for the ALSA "pulse" device when a sound server answers. Per
// case it prints the ratio of real to nominal rate that the dialog's own evaluation stores
// after 300 s of reports, and from the same reports the ratio from the first to the last
// report and from a least-squares fit of all of them, each with its error against the truth,
// and the worker's CPU time per 2 s cycle (its busy waits for a position step).
// --simulated-only skips the real device; --alsa-only runs only it.

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/worker/CalibrationThread.h"
#include "engine/worker/Evaluation.h"
#include "engine/RunState.h"
#include "base/Text.h"
#include "platform/linux/AlsaAudio.h"
#include "platform/linux/PosixClock.h"
#include "platform/linux/PosixScheduler.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/SimulatedScheduler.h"
#include "platform/simulated/VirtualClock.h"

using namespace veltrane;

namespace {

constexpr std::int32_t kRate = 44100;
constexpr double kMeasuredSeconds = 300.0;

struct Result {
  std::string name;
  double truth = 1.0;
  double dialog = 0;  // what the dialog would store
  double endToEnd = 0;
  double fitted = 0;
  double cpuMsPerCycle = 0;
  int reports = 0;
};

double ThreadCpuMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec * 1e-6;
}

bool Measure(PlatformServices services, std::int32_t deviceId, Result& result) {
  auto state = std::make_shared<RunState>(services, deviceId, kRate);
  std::vector<std::pair<double, double>> reports;  // seconds, samples
  Evaluation evaluation;
  state->SetTarget(
      [&](const PostedMessage& message) {
        if (message.message != WM_MEASUREMENT) return;
        const MeasurementOutcome outcome =
            EvaluateMeasurement(evaluation, static_cast<std::uint32_t>(message.wParam),
                                static_cast<std::int32_t>(message.lParam), kRate);
        if (outcome.complete) result.dialog = evaluation.median;
        if (message.lParam <= 0) return;
        reports.emplace_back(message.lParam * 1e-4, static_cast<double>(message.wParam));
        if (outcome.complete) state->stopRequested = true;
      },
      [](const std::wstring& text, MessageIcon, std::function<void()> done) {
        std::fprintf(stderr, "message: %s\n", ToUtf8(text).c_str());
        done();
      });
  double cpuMs = 0;
  std::thread worker([&] {
    const double start = ThreadCpuMs();
    CalibrationThread(state);
    cpuMs = ThreadCpuMs() - start;
  });
  worker.join();
  if (reports.size() < 3) return false;

  const auto& [t0, s0] = reports.front();
  const auto& [t1, s1] = reports.back();
  result.endToEnd = (s1 - s0) / (t1 - t0) / kRate;
  double meanT = 0, meanS = 0;
  for (const auto& [t, s] : reports) {
    meanT += t;
    meanS += s;
  }
  meanT /= reports.size();
  meanS /= reports.size();
  double covariance = 0, variance = 0;
  for (const auto& [t, s] : reports) {
    covariance += (t - meanT) * (s - meanS);
    variance += (t - meanT) * (t - meanT);
  }
  result.fitted = covariance / variance / kRate;
  result.reports = static_cast<int>(reports.size());
  // Warm-up and clock choice take no busy time; every cycle has one wait for a step.
  result.cpuMsPerCycle = cpuMs / static_cast<double>(reports.size() + 1);
  return true;
}


void Print(const Result& r) {
  std::printf("%-34s %10.6f  %10.6f %8.2f  %10.6f %8.2f  %10.6f %8.2f  %8.3f %7d\n",
              r.name.c_str(), r.truth, r.dialog, (r.dialog / r.truth - 1) * 1e6, r.endToEnd,
              (r.endToEnd / r.truth - 1) * 1e6, r.fitted, (r.fitted / r.truth - 1) * 1e6,
              r.cpuMsPerCycle, r.reports);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const bool skipAlsa = argc > 1 && std::strcmp(argv[1], "--simulated-only") == 0;
  const bool alsaOnly = argc > 1 && std::strcmp(argv[1], "--alsa-only") == 0;
  std::printf("%-34s %10s  %10s %8s  %10s %8s  %10s %8s  %8s %7s\n", "case", "truth", "dialog",
              "ppm", "first-last", "ppm", "fit", "ppm", "cpu ms", "reports");
  for (const double jitter : {0.0, 200.0, 1000.0}) {
    if (alsaOnly) break;
    SimulatedAudioOptions options;
    options.ppm = -250;
    options.stepFrames = 441;
    options.jitterUs = jitter;
    PlatformServices services;
    services.clock = std::make_shared<VirtualClock>();
    services.scheduler = std::make_shared<SimulatedScheduler>(1);
    services.audio = std::make_shared<SimulatedAudio>(services.clock, options);
    Result result;
    result.name = "simulated, virtual, jitter " + std::to_string(static_cast<int>(jitter)) + " us";
    result.truth = 1 - 250e-6;
    if (Measure(services, 0, result)) Print(result);
  }
  if (skipAlsa) return 0;

  PlatformServices services;
  services.clock = std::make_shared<PosixClock>();
  services.scheduler = std::make_shared<PosixScheduler>();
  services.audio = std::make_shared<AlsaAudio>();
  const std::int32_t pulse = FindDeviceContaining(*services.audio, L"Pulse");
  if (pulse < 0) {
    std::printf("%-34s no PulseAudio device answers; start one with scripts/with-pulse-null-sink\n",
                "ALSA pulse");
    return 0;
  }
  Result result;
  result.name = "ALSA pulse (null sink), real time";
  result.truth = 1.0;  // the null sink runs on the system clock
  if (Measure(services, pulse, result)) {
    Print(result);
  } else {
    std::printf("%-34s the run failed\n", result.name.c_str());
  }
  return 0;
}
