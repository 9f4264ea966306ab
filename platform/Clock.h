#pragma once
// The clocks, sleep and timer resolution that the time base needs.
// Every operation may be called from any thread.

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane {

// Who knows how far this computer's clock is from true time.
enum class TimeSource {
  None,    // nobody: rates are against the crystal
  Kernel,  // the kernel's frequency correction, kept by a time daemon
  Chrony,  // chronyd's own estimate, with its error bound
};

// What the operating system says of its own clock, against which every rate is measured.
// Each part is unknown (nullopt) where the system cannot tell.
struct ReferenceClockState {
  std::optional<bool> synchronized;        // kept in step with an outside time source
  std::optional<double> frequencyPpm;      // the correction applied to the local crystal
  std::optional<double> estimatedErrorUs;  // the system's estimate of its time error
  TimeSource source = TimeSource::None;
  // How many ppm the disciplined clock would run fast against true time if nobody corrected
  // it, and the band that holds it; set only when source is not None.
  std::optional<double> uncorrectedFastPpm;
  std::optional<double> uncorrectedLowPpm;
  std::optional<double> uncorrectedHighPpm;
  std::string detail;  // the source's own figures, for the user
};

// The two clocks read at one instant: the raw one (the crystal as it runs, never slewed,
// what PerformanceCounter counts) and the disciplined one (what a time daemon steers), both in
// seconds, with the frequency correction in ppm the system applied then, where it tells.
struct ClockPair {
  double rawSeconds = 0.0;
  double disciplinedSeconds = 0.0;
  std::optional<double> correctionPpm;
};

class Clock {
 public:
  virtual ~Clock() = default;

  // A high-resolution counter and its frequency in counts per second.
  virtual std::int64_t PerformanceCounter() = 0;
  virtual std::int64_t PerformanceFrequency() = 0;

  // Milliseconds of the multimedia timer; wraps after 2^32 ms.
  virtual std::uint32_t MillisecondTimer() = 0;

  // Milliseconds of the coarse system tick; wraps after 2^32 ms.
  virtual std::uint32_t TickCount() = 0;

  // Blocks the calling thread for about this many milliseconds.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // Gives the processor away for about this many microseconds: a busy wait that pauses like
  // this lets other threads on its processor run (a sound server's among them). Where a pause
  // that short cannot be had, it returns at once.
  virtual void Pause(std::uint32_t microseconds) { (void)microseconds; }

  // The finest and coarsest timer period in ms; false when they cannot be read.
  virtual bool GetTimerCaps(std::uint32_t& periodMinMs, std::uint32_t& periodMaxMs) = 0;

  // Raises the calling thread's timer resolution to periodMs; EndPeriod undoes
  // exactly one BeginPeriod with the same period. Both false on failure.
  virtual bool BeginPeriod(std::uint32_t periodMs) = 0;
  virtual bool EndPeriod(std::uint32_t periodMs) = 0;

  // Read without privileges and without changing anything. Unknown by default.
  virtual ReferenceClockState GetReferenceState() { return {}; }

  // Where the system has no disciplined clock apart from the counter, both are the counter.
  virtual ClockPair ReadClockPair() {
    const double seconds = static_cast<double>(PerformanceCounter()) /
                           static_cast<double>(PerformanceFrequency());
    return {seconds, seconds, std::nullopt};
  }
};

}  // namespace veltrane
