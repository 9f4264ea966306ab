#pragma once
// The command line's measurement: records from the device as the dialog's worker does, but
// looks at the position every couple of milliseconds with a sleep between looks (so it costs
// almost no processor time and needs no priority), notes every step it sees, and fits them
// all with the command line's fit (LossAwareFit). Runs on the calling thread. No wxWidgets.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/fit/RateFit.h"
#include "engine/fit/TrueTime.h"
#include "engine/RunState.h"

namespace veltrane {

struct MeasurementSettings {
  double seconds = 60.0;              // measure at most this long
  std::optional<double> untilPpm;     // stop as soon as the band is within ±untilPpm
  double shortestSeconds = 10.0;      // ... but never before this
  double progressEverySeconds = 1.0;  // how often progress is reported
  // Every step the fit takes (time seen in seconds, position), for studying the device.
  std::function<void(double, std::uint64_t)> onStep;
};

struct MeasurementProgress {
  double elapsedSeconds = 0.0;  // of measuring, after the settling time
  double secondsLeft = 0.0;     // at most; --until-ppm may end sooner
  RateEstimate estimate;
};

// A text for the user from the device's side (a refused open's error number with the
// platform's text for it), which the dialog would show in a box.
struct DeviceMessage {
  std::wstring text;
};

// What the measurement tells whoever runs it while it runs, on the measuring thread.
using MeasurementEvent = std::variant<MeasurementProgress, DeviceMessage>;

enum class MeasurementEnd {
  Done,          // measured as long as asked, or until the band was narrow enough
  Interrupted,   // the stop flag was set
  OpenFailed,    // the device could not be opened or started
  RateRefused,   // the device refused to open at the nominal rate
  DeviceFailed,  // the buffer came back (overrun, suspend, device gone) or the position failed
  Stalled,       // the position stood still
  TooFewSteps,   // measured, but not enough steps for an estimate
  TooMuchLost,   // samples were lost so often that the fit between the losses cannot be trusted
};

struct MeasurementResult {
  MeasurementEnd end = MeasurementEnd::Done;
  RateEstimate estimate;
  std::uint32_t stepFrames = 0;   // the typical step of the position counter
  bool deviceTimestamps = false;  // most steps were timed by the device's own stamps
  std::size_t losses = 0;         // times samples were lost without an overrun
  double lostMs = 0.0;            // how much they were worth, in milliseconds
  // Seconds of the run in which other programs kept at least half of the processors busy;
  // the band then allows for the device's delay as WaveInDevice::BusyDelayWanderSeconds says.
  double busySeconds = 0.0;
  std::wstring detail;            // what the device or the back end said, for a failure
  // How the disciplined clock ran against the raw one, stretch by stretch while measuring.
  std::vector<ClockWindow> clockWindows;
};

// After the first step, sound servers deliver what they buffered in a burst; steps of the
// first seconds say nothing about the rate.
constexpr double kSettleSeconds = 2.0;
// The longest measurement the one capture buffer allows, with room for start and settling.
constexpr double kLongestMeasurementSeconds = 840.0;

// Measures on the calling thread. state.stopRequested ends it early (Interrupted). While it
// runs, the measurement is the state's target: what the capture posts and the boxes it asks
// for reach it there, and the caller gets them as events.
class RateMeasurement {
 public:
  using EventHandler = std::function<void(const MeasurementEvent&)>;

  RateMeasurement(RunState& state, MeasurementSettings settings, EventHandler events);

  MeasurementResult Run();

 private:
  // Any thread: the capture buffer came back, so the recording has ended.
  void BufferReturned();
  MeasurementResult Measure();
  enum class Look { Stepped, Same, Failed };
  struct Course;
  // How a run ended, and the device's text for a failure.
  struct LookEnd {
    MeasurementEnd end;
    std::wstring detail;
  };
  // One look at the position and what it changes; an ending when the run is over.
  std::optional<LookEnd> LookOnce(WaveInDevice& device, Course& course);
  // A step seen while measuring, to the fit that takes the losses out.
  void NoteStep(Course& course, double seen, std::uint64_t position);
  // The run is over: the last steps judged and fitted, the losses counted, and a result they
  // spoiled refused.
  struct LossCount {
    std::size_t losses = 0;
    double lostMs = 0.0;
    bool tooMuch = false;  // see LossAwareFit::TooMuchLost
  };
  LossCount FinishLosses(Course& course);
  // Reads both clocks when a stretch of kClockWindowSeconds is over, or at the end.
  void NoteClocks(Course& course, bool last);
  // Reads the processors' times once a second and counts the seconds others kept them busy.
  void NoteLoad(Course& course);
  // Reports progress when due; true when the measurement has run long enough.
  bool Enough(Course& course);
  // A look at the position: whether it stepped, where to (counted on across any wrap) and
  // when it was seen.
  struct Sight {
    Look look = Look::Failed;
    std::uint64_t position = 0;
    double seconds = 0.0;
  };
  Sight LookAtPosition(WaveInDevice& device);
  double Now();
  bool Stopping() const;
  bool NarrowEnough(const MeasurementProgress& now) const;
  // The returned buffer is reported from the device's own thread; a position that stopped
  // because of it may be noticed here first.
  bool WaitForBufferReturned();

  RunState& state;
  MeasurementSettings settings;
  EventHandler events;
  std::mutex mutex;
  std::condition_variable returned;
  std::atomic<bool> bufferReturned{false};
  std::uint32_t lastRaw = 0;
  std::size_t steppedLooks = 0;  // looks that saw a new position
  std::size_t stampedSteps = 0;  // ... of which the device's stamp timed
  std::uint64_t unwrapped = 0;
  std::uint64_t randomState = 0x9E3779B97F4A7C15ULL;
};

}  // namespace veltrane
