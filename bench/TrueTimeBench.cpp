// How often the band holds the device's rate against true time, in virtual time: the
// simulated computer's crystal runs 30 ppm fast, with and without a time daemon that knows it,
// and with a slew of the disciplined clock. Side by side, per case, the same repeatable runs
// timed three ways: the raw clock corrected by the daemon's figure (what veltrane-cli does),
// the disciplined clock (what it did before), and the raw clock alone.
// build/true_time_bench [runs per case] [seconds]

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "engine/fit/RateMeasurement.h"
#include "engine/fit/TrueTime.h"
#include "engine/RunState.h"
#include "base/Text.h"
#include "platform/simulated/SimulatedAudio.h"
#include "platform/simulated/SimulatedScheduler.h"
#include "platform/simulated/SimulatedSystemClock.h"
#include "platform/simulated/VirtualClock.h"

using namespace veltrane;

namespace {

constexpr double kDevicePpm = -250.0;

// The disciplined clock of a simulated computer as the counter, as a program that measured
// against CLOCK_MONOTONIC saw it.
class DisciplinedCounter : public Clock {
 public:
  explicit DisciplinedCounter(std::shared_ptr<SimulatedSystemClock> system)
      : system(std::move(system)) {}
  std::int64_t PerformanceCounter() override {
    return std::llround(system->ReadClockPair().disciplinedSeconds * 1e9);
  }
  std::int64_t PerformanceFrequency() override { return 1000000000; }
  std::uint32_t MillisecondTimer() override { return system->MillisecondTimer(); }
  std::uint32_t TickCount() override { return system->TickCount(); }
  void Sleep(std::uint32_t ms) override { system->Sleep(ms); }
  void Pause(std::uint32_t us) override { system->Pause(us); }
  bool GetTimerCaps(std::uint32_t& lo, std::uint32_t& hi) override {
    return system->GetTimerCaps(lo, hi);
  }
  bool BeginPeriod(std::uint32_t ms) override { return system->BeginPeriod(ms); }
  bool EndPeriod(std::uint32_t ms) override { return system->EndPeriod(ms); }

 private:
  std::shared_ptr<SimulatedSystemClock> system;
};

enum class Way { Corrected, Disciplined, Raw };
const char* kWayNames[] = {"raw + daemon", "disciplined", "raw alone"};

struct Tally {
  int runs = 0, held = 0;
  double sumAbsError = 0, sumWidth = 0, worst = 0;
};

// One run; the truth is against true time, or against the crystal when nothing knows it.
void Run(const std::string& options, Way way, double seconds, Tally& tally) {
  SimulatedAudioOptions parsed;
  std::wstring error;
  if (!ParseSimulatedAudioOptions(options, parsed, error)) {
    std::fprintf(stderr, "%s\n", ToUtf8(error).c_str());
    std::exit(2);
  }
  auto system =
      std::make_shared<SimulatedSystemClock>(std::make_shared<VirtualClock>(), parsed.time,
                                             *parsed.randomStart);
  PlatformServices services;
  services.clock = system;
  if (way == Way::Disciplined) services.clock = std::make_shared<DisciplinedCounter>(system);
  services.scheduler = std::make_shared<SimulatedScheduler>();
  services.audio = std::make_shared<SimulatedAudio>(system, parsed);
  RunState state(services, 0, 44100);
  MeasurementSettings settings;
  settings.seconds = seconds;
  RateMeasurement measurement(state, settings, nullptr);
  const MeasurementResult result = measurement.Run();
  if (result.end != MeasurementEnd::Done) return;
  RateEstimate estimate = result.estimate;
  const bool known = parsed.time.synced;
  double truth = kDevicePpm;
  if (way == Way::Corrected) {
    estimate = AgainstTrueTime(result.estimate, system->GetReferenceState(), result.clockWindows)
                   .estimate;
  }
  if (!known || way == Way::Raw) {
    truth = ((1 + kDevicePpm * 1e-6) / (1 + parsed.time.clockPpm * 1e-6) - 1) * 1e6;
  }
  ++tally.runs;
  if (estimate.bandLowPpm <= truth && truth <= estimate.bandHighPpm) ++tally.held;
  const double absError = std::fabs(estimate.ppm - truth);
  tally.sumAbsError += absError;
  tally.worst = std::max(tally.worst, absError);
  tally.sumWidth += estimate.bandHighPpm - estimate.bandLowPpm;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 40;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 60.0;
  const char* cases[][2] = {
      {"synced, clock_ppm=30", "clock_ppm=30,synced=1"},
      {"synced, slew 300 ppm for 20 s mid-run",
       "clock_ppm=30,synced=1,slew_ppm=300,slew_after_s=22,slew_for_s=20"},
      {"not synced, clock_ppm=30", "clock_ppm=30"},
  };
  std::printf("%d runs per case of %.0f s; device -250 ppm against true time, jitter 50 us\n",
              runs, seconds);
  std::printf("truth: against true time where a daemon knows the crystal (for the raw clock\n"
              "alone, and where nothing knows it: against the crystal)\n\n");
  std::printf("%-40s %-13s %9s %12s %10s %11s\n", "case", "timed by", "held", "mean |err|",
              "worst", "mean band");
  for (const auto& c : cases) {
    for (Way way : {Way::Corrected, Way::Disciplined, Way::Raw}) {
      Tally tally;
      // The simulated device's option for its random start draws each run anew.
      for (int run = 1; run <= runs; ++run) {
        const std::string start = "seed=" + std::to_string(run);
        Run("ppm=-250,jitter_us=50," + start + "," + c[1], way,
            seconds, tally);
      }
      std::printf("%-40s %-13s %4d/%-4d %8.3f ppm %6.2f ppm %7.3f ppm\n", c[0],
                  kWayNames[static_cast<int>(way)], tally.held, tally.runs,
                  tally.sumAbsError / std::max(tally.runs, 1), tally.worst,
                  tally.sumWidth / std::max(tally.runs, 1));
    }
  }
  return 0;
}
