#include "platform/simulated/VirtualClock.h"

#include <utility>

namespace veltrane {
namespace {

// A day and a bit after boot, so that nothing can rely on a zero origin or on readings
// that fall on whole milliseconds.
constexpr std::int64_t kOriginNs = 86400LL * 1000000000LL + 123456789LL;

constexpr std::int64_t kFrequency = 1000000000;
constexpr std::int64_t kNanosecondsPerMillisecond = 1000000;
constexpr std::int64_t kTickMs = 4;

}  // namespace

VirtualClock::VirtualClock(std::int64_t readCostNs) : readCostNs(readCostNs), nowNs(kOriginNs) {}

std::int64_t VirtualClock::NowNs() const { return nowNs.load(); }

void VirtualClock::AdvanceNs(std::int64_t ns) { nowNs.fetch_add(ns); }

void VirtualClock::SetSleepHook(std::function<void(std::uint32_t)> hook) {
  sleepHook = std::move(hook);
}

std::int64_t VirtualClock::Read() { return nowNs.fetch_add(readCostNs); }

std::int64_t VirtualClock::PerformanceCounter() { return Read(); }

std::int64_t VirtualClock::PerformanceFrequency() { return kFrequency; }

std::uint32_t VirtualClock::MillisecondTimer() {
  return static_cast<std::uint32_t>(Read() / kNanosecondsPerMillisecond);
}

std::uint32_t VirtualClock::TickCount() {
  const std::int64_t ms = Read() / kNanosecondsPerMillisecond;
  return static_cast<std::uint32_t>(ms - ms % kTickMs);
}

void VirtualClock::Sleep(std::uint32_t milliseconds) {
  AdvanceNs(static_cast<std::int64_t>(milliseconds) * kNanosecondsPerMillisecond);
  if (sleepHook) sleepHook(milliseconds);
}

void VirtualClock::Pause(std::uint32_t microseconds) {
  AdvanceNs(static_cast<std::int64_t>(microseconds) * 1000);
}

bool VirtualClock::GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) {
  periodMinMs = 1;
  periodMaxMs = 1000000;
  return true;
}

bool VirtualClock::BeginPeriod(std::uint32_t) { return true; }

bool VirtualClock::EndPeriod(std::uint32_t) { return true; }

}  // namespace veltrane
