#include "platform/linux/PosixClock.h"

#include <sys/prctl.h>
#include <sys/timex.h>

#include <cerrno>
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

std::int64_t PosixClock::PerformanceCounter() { return ReadNs(CLOCK_MONOTONIC); }

std::int64_t PosixClock::PerformanceFrequency() { return kNanosecondsPerSecond; }

std::uint32_t PosixClock::MillisecondTimer() { return ReadWholeMs(CLOCK_MONOTONIC); }

std::uint32_t PosixClock::TickCount() { return ReadWholeMs(CLOCK_MONOTONIC_COARSE); }

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

ReferenceClockState PosixClock::GetReferenceState() {
  // The kernel keeps the frequency correction in ppm with 16 fractional bits.
  constexpr double kFrequencyUnitsPerPpm = 65536.0;
  timex query{};
  query.modes = 0;
  const int state = ::adjtimex(&query);
  if (state < 0) return {};
  ReferenceClockState result;
  result.synchronized = state != TIME_ERROR && (query.status & STA_UNSYNC) == 0;
  result.frequencyPpm = static_cast<double>(query.freq) / kFrequencyUnitsPerPpm;
  result.estimatedErrorUs = static_cast<double>(query.esterror);
  return result;
}

}  // namespace veltrane
