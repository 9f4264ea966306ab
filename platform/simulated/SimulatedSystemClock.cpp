#include "platform/simulated/SimulatedSystemClock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/Random.h"
#include "platform/simulated/VirtualClock.h"

namespace veltrane {
namespace {

constexpr long double kPpm = 1e6L;

// A draw in [-1, 1] from a random start.
double Symmetric(std::uint64_t start) {
  constexpr double kTwoTo53 = 9007199254740992.0;
  const double unit = static_cast<double>(SplitMix64(start) >> 11) / kTwoTo53;
  return 2.0 * unit - 1.0;
}

}  // namespace

SimulatedSystemClock::SimulatedSystemClock(std::shared_ptr<Clock> trueClock,
                                           SimulatedTimeOptions options, std::uint64_t randomStart)
    : trueClock(std::move(trueClock)),
      options(options),
      // Its own stream, apart from the jitter the same random start draws.
      believedPpm(options.clockPpm + options.skewPpm * Symmetric(randomStart ^ 0xDAE77011ULL)),
      origin(this->trueClock->PerformanceCounter()) {}

std::int64_t SimulatedSystemClock::RawCounts(std::int64_t trueCounts) const {
  const long double elapsed = static_cast<long double>(trueCounts - origin);
  return origin + static_cast<std::int64_t>(std::floor(elapsed * (1.0L + options.clockPpm / kPpm)));
}

std::int64_t SimulatedSystemClock::PerformanceCounter() {
  return RawCounts(trueClock->PerformanceCounter());
}

std::int64_t SimulatedSystemClock::PerformanceFrequency() {
  return trueClock->PerformanceFrequency();
}

std::uint32_t SimulatedSystemClock::MillisecondTimer() {
  const long double ms = static_cast<long double>(PerformanceCounter()) * 1000.0L /
                         static_cast<long double>(PerformanceFrequency());
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(std::floor(ms)));
}

std::uint32_t SimulatedSystemClock::TickCount() { return MillisecondTimer(); }

void SimulatedSystemClock::Sleep(std::uint32_t milliseconds) { trueClock->Sleep(milliseconds); }

void SimulatedSystemClock::Pause(std::uint32_t microseconds) { trueClock->Pause(microseconds); }

bool SimulatedSystemClock::GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) {
  return trueClock->GetTimerCaps(periodMinMs, periodMaxMs);
}

bool SimulatedSystemClock::BeginPeriod(std::uint32_t periodMs) {
  return trueClock->BeginPeriod(periodMs);
}

bool SimulatedSystemClock::EndPeriod(std::uint32_t periodMs) {
  return trueClock->EndPeriod(periodMs);
}

double SimulatedSystemClock::CorrectionPpm() const {
  // The daemon cancels the error it believes the crystal has.
  return options.synced ? -believedPpm : 0.0;
}

ReferenceClockState SimulatedSystemClock::GetReferenceState() {
  ReferenceClockState state;
  state.synchronized = options.synced;
  state.frequencyPpm = CorrectionPpm();
  if (!options.synced) return state;
  state.source = TimeSource::Kernel;
  state.uncorrectedFastPpm = believedPpm;
  state.uncorrectedLowPpm = believedPpm - options.skewPpm;
  state.uncorrectedHighPpm = believedPpm + options.skewPpm;
  char detail[96];
  std::snprintf(detail, sizeof detail, "simulated time daemon, frequency correction %+.3f ppm",
                CorrectionPpm());
  state.detail = detail;
  return state;
}

ClockPair SimulatedSystemClock::ReadClockPair() {
  const std::int64_t trueNow = trueClock->PerformanceCounter();
  const long double frequency = static_cast<long double>(trueClock->PerformanceFrequency());
  const long double originSeconds = static_cast<long double>(origin) / frequency;
  const long double elapsed = static_cast<long double>(trueNow - origin) / frequency;
  // The disciplined clock is the raw one with the daemon's correction, plus the slew's time.
  const long double slewStart = options.slewAfterS;
  const long double slewEnd = slewStart + options.slewForS;
  const long double slewed =
      std::max(0.0L, std::min(elapsed, slewEnd) - std::min(elapsed, slewStart));
  const long double raw = elapsed * (1.0L + options.clockPpm / kPpm);
  ClockPair pair;
  pair.rawSeconds = static_cast<double>(static_cast<long double>(RawCounts(trueNow)) / frequency);
  pair.disciplinedSeconds = static_cast<double>(
      originSeconds + raw * (1.0L + CorrectionPpm() / kPpm) + slewed * options.slewPpm / kPpm);
  pair.correctionPpm = CorrectionPpm();
  return pair;
}

bool MovesOnlyWhenRead(Clock& clock) {
  if (auto* simulated = dynamic_cast<SimulatedSystemClock*>(&clock)) {
    return MovesOnlyWhenRead(simulated->TrueClock());
  }
  return dynamic_cast<VirtualClock*>(&clock) != nullptr;
}

}  // namespace veltrane
