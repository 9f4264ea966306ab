#include "platform/linux/PosixClock.h"

#include "platform/linux/ChronyTracking.h"

#include <sys/prctl.h>
#include <sys/timex.h>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <optional>
#include <string>
#include <cstdio>
#include <ctime>
#include <vector>

namespace veltrane {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
constexpr std::int64_t kNanosecondsPerMillisecond = 1000000;

// Linux timers are already far finer than the 1 ms period the platform offers; what limits
// a sleep's accuracy is the thread's timer slack (50 µs by default). A period of one
// millisecond is taken as a request for 1 µs of slack, the finest we ask for, and coarser
// periods scale from there.
constexpr unsigned long kSlackNsPerPeriodMs = 1000;

// The finest period offered is the platform's usual 1 ms; the coarsest is any period a
// caller could sensibly want (a thousand seconds).
constexpr std::uint32_t kPeriodMinMs = 1;
constexpr std::uint32_t kPeriodMaxMs = 1000000;

std::int64_t ReadNs(clockid_t clockId) {
  timespec now{};
  clock_gettime(clockId, &now);
  return static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

std::uint32_t ReadWholeMs(clockid_t clockId) {
  // Truncated to 32 bits on purpose: the millisecond counts wrap like the platform's.
  return static_cast<std::uint32_t>(
      static_cast<std::uint64_t>(ReadNs(clockId) / kNanosecondsPerMillisecond));
}

// Timer slack is per thread, so the periods begun on a thread are remembered on that thread.
struct BegunPeriod {
  std::uint32_t periodMs;
  unsigned long previousSlackNs;
};
thread_local std::vector<BegunPeriod> begunPeriods;

}  // namespace

// The raw clock runs at the crystal's own rate: no time daemon slews it, so a rate measured
// against it cannot take on a correction of the clock's offset.
std::int64_t PosixClock::PerformanceCounter() { return ReadNs(CLOCK_MONOTONIC_RAW); }

std::int64_t PosixClock::PerformanceFrequency() { return kNanosecondsPerSecond; }

std::uint32_t PosixClock::MillisecondTimer() { return ReadWholeMs(CLOCK_MONOTONIC_RAW); }

// There is no coarse raw clock: the raw clock is cut down to the coarse clock's resolution,
// so the tick count keeps its steps but not the daemon's slews.
std::uint32_t PosixClock::TickCount() {
  timespec resolution{};
  std::int64_t stepNs = kNanosecondsPerMillisecond;
  if (clock_getres(CLOCK_MONOTONIC_COARSE, &resolution) == 0) {
    stepNs = static_cast<std::int64_t>(resolution.tv_sec) * kNanosecondsPerSecond +
             resolution.tv_nsec;
    if (stepNs < kNanosecondsPerMillisecond) stepNs = kNanosecondsPerMillisecond;
  }
  const std::int64_t now = ReadNs(CLOCK_MONOTONIC_RAW);
  return static_cast<std::uint32_t>(
      static_cast<std::uint64_t>(now - now % stepNs) / kNanosecondsPerMillisecond);
}

void PosixClock::Sleep(std::uint32_t milliseconds) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * kNanosecondsPerMillisecond;
  // A signal must not shorten the pause: go on with what is left.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void PosixClock::Pause(std::uint32_t microseconds) {
  timespec pause{};
  pause.tv_sec = static_cast<time_t>(microseconds / 1000000);
  pause.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000;
  nanosleep(&pause, nullptr);
}

bool PosixClock::GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) {
  periodMinMs = kPeriodMinMs;
  periodMaxMs = kPeriodMaxMs;
  return true;
}

bool PosixClock::BeginPeriod(std::uint32_t periodMs) {
  if (periodMs < kPeriodMinMs || periodMs > kPeriodMaxMs) return false;
  const int previous = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  if (previous < 0) return false;
  const unsigned long slackNs = periodMs * kSlackNsPerPeriodMs;
  if (prctl(PR_SET_TIMERSLACK, slackNs, 0, 0, 0) != 0) return false;
  begunPeriods.push_back({periodMs, static_cast<unsigned long>(previous)});
  return true;
}

bool PosixClock::EndPeriod(std::uint32_t periodMs) {
  for (auto it = begunPeriods.rbegin(); it != begunPeriods.rend(); ++it) {
    if (it->periodMs != periodMs) continue;
    const auto index = static_cast<std::size_t>(begunPeriods.rend() - it - 1);
    if (index + 1 == begunPeriods.size()) {
      // The latest period ends: the slack goes back to what it was before it began.
      if (prctl(PR_SET_TIMERSLACK, it->previousSlackNs, 0, 0, 0) != 0) return false;
    } else {
      // An older period ends first: the slack stays as the latest period set it, and the
      // period begun after this one restores, when it ends, what this one found.
      begunPeriods[index + 1].previousSlackNs = it->previousSlackNs;
    }
    begunPeriods.erase(begunPeriods.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
  }
  return false;
}

namespace {

// The kernel keeps the frequency correction in ppm with 16 fractional bits.
constexpr double kFrequencyUnitsPerPpm = 65536.0;
constexpr double kMicrosecondsPerSecond = 1e6;

// How well a kernel kept in step by a time daemon knows the crystal, when the daemon itself
// gives no bound: ntpd's and timesyncd's frequency estimate wanders with temperature by a few
// tenths of a ppm over minutes (the crystal's own drift, about 0.1 to 0.5 ppm per kelvin), so
// 1 ppm holds it with room.
constexpr double kKernelFrequencyAllowancePpm = 1.0;

struct KernelTime {
  int state = -1;
  timex query{};
};

KernelTime ReadKernelTime() {
  KernelTime kernel;
  kernel.query.modes = 0;
  kernel.state = ::adjtimex(&kernel.query);
  return kernel;
}

// The whole correction the kernel applies to the disciplined clock: the frequency term and
// the length of its tick (chrony steers both), in ppm.
double CorrectionPpm(const timex& query) {
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  double tickPpm = 0.0;
  if (ticksPerSecond > 0 && query.tick > 0) {
    tickPpm = static_cast<double>(query.tick) * static_cast<double>(ticksPerSecond) -
              kMicrosecondsPerSecond;
  }
  return static_cast<double>(query.freq) / kFrequencyUnitsPerPpm + tickPpm;
}

}  // namespace

ClockPair PosixClock::ReadClockPair() {
  // The disciplined clock is read between two reads of the raw one, so the pair stands for
  // one instant to within a read's time.
  const std::int64_t rawBefore = ReadNs(CLOCK_MONOTONIC_RAW);
  const std::int64_t disciplined = ReadNs(CLOCK_MONOTONIC);
  const std::int64_t rawAfter = ReadNs(CLOCK_MONOTONIC_RAW);
  ClockPair pair;
  pair.rawSeconds = (static_cast<double>(rawBefore) + static_cast<double>(rawAfter)) / 2e9;
  pair.disciplinedSeconds = static_cast<double>(disciplined) / 1e9;
  const KernelTime kernel = ReadKernelTime();
  if (kernel.state >= 0) pair.correctionPpm = CorrectionPpm(kernel.query);
  return pair;
}

namespace {

// chronyd answers on loopback within a millisecond; one that does not answer in this long is
// not there, and the report should not wait for it.
constexpr int kChronyTimeoutMs = 300;

// chronyd knows the crystal better than the kernel's figure tells: its frequency comes with
// the bound of its own error (skew) and how far its latest estimate moved (residual).
bool PutChronyFigures(ReferenceClockState& state) {
  std::string why;
  const std::optional<ChronyTracking> tracking = QueryChronyTracking(kChronyTimeoutMs, why);
  if (!tracking || !tracking->Synchronized()) return false;
  const double bound = std::fabs(tracking->residualFrequencyPpm) + tracking->skewPpm;
  state.synchronized = true;
  state.source = TimeSource::Chrony;
  state.uncorrectedFastPpm = tracking->frequencyPpm;
  state.uncorrectedLowPpm = tracking->frequencyPpm - bound;
  state.uncorrectedHighPpm = tracking->frequencyPpm + bound;
  char text[200];
  std::snprintf(text, sizeof text,
                "frequency %+.3f ppm, residual %+.3f ppm, skew %.3f ppm, stratum %d, reference %s",
                tracking->frequencyPpm, tracking->residualFrequencyPpm, tracking->skewPpm,
                tracking->stratum,
                tracking->referenceAddress.empty() ? "unnamed" : tracking->referenceAddress.c_str());
  state.detail = text;
  return true;
}

}  // namespace

ReferenceClockState PosixClock::GetReferenceState() {
  const KernelTime kernel = ReadKernelTime();
  if (kernel.state < 0) return {};
  ReferenceClockState result;
  result.synchronized = kernel.state != TIME_ERROR && (kernel.query.status & STA_UNSYNC) == 0;
  result.frequencyPpm = CorrectionPpm(kernel.query);
  result.estimatedErrorUs = static_cast<double>(kernel.query.esterror);
  if (PutChronyFigures(result)) return result;
  if (*result.synchronized) {
    // The daemon corrects what it found: the clock left alone would run fast by the opposite.
    result.source = TimeSource::Kernel;
    result.uncorrectedFastPpm = -*result.frequencyPpm;
    result.uncorrectedLowPpm = *result.uncorrectedFastPpm - kKernelFrequencyAllowancePpm;
    result.uncorrectedHighPpm = *result.uncorrectedFastPpm + kKernelFrequencyAllowancePpm;
    char text[96];
    std::snprintf(text, sizeof text, "kernel frequency correction %+.3f ppm", *result.frequencyPpm);
    result.detail = text;
  }
  return result;
}

}  // namespace veltrane
