#include "engine/fit/RateMeasurement.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "engine/Capture.h"
#include "engine/fit/LossAwareFit.h"
#include "engine/Robust.h"
#include "base/Random.h"
#include "base/Text.h"
#include "platform/Scheduler.h"
#include "support/Trace.h"

namespace veltrane {
namespace {

// Until the steps' rhythm is known, looks come this far apart, with a random part so that
// their phase against the device's steps wanders.
constexpr std::uint32_t kShortestLookGapUs = 1500;
constexpr std::uint32_t kLookGapSpreadUs = 1000;

// Once it is known, the look is aimed: a step about this far ahead is chosen, the earliest
// looks so far say when it is due, and looks come kAimedLookGapUs apart from a little before
// that instant until it is seen. The fit rests on the earliest look of each stretch of
// steps, so a few well-aimed looks a second serve it as well as hundreds of blind ones, and
// each look costs the sound server's plugin some tens of microseconds.
constexpr double kAimAheadSeconds = 0.05;
constexpr std::uint32_t kAimedLookGapUs = 150;
constexpr double kAimEarlySeconds = 300e-6;
constexpr double kAimWindowSeconds = 3e-3;  // a step later than this past its time: aim anew
constexpr std::size_t kAimAnchors = 32;     // recent aimed sightings the timing rests on
// The longest single pause, so that a stop request or the end is noticed in good time.
constexpr std::uint32_t kLongestPauseUs = 20000;
// How often the aim takes the fit's rate in place of the nominal one, in steps seen.
constexpr std::size_t kRateRefreshSteps = 256;
// Other programs that take half of all the processors' time or more starve a sound server
// now and then, however high its priority (a build, both processors kept busy).
constexpr double kBusyShare = 0.5;
constexpr double kLoadCheckSeconds = 1.0;

void TraceMeasurement(const std::wstring& message, int line) {
  Trace(L"TR_CALIBRATION", message, L"RateMeasurement", line);
}

// Chooses when to look next, as described at kAimAheadSeconds.
class LookAim {
 public:
  // Every step seen, and when.
  void Saw(double seconds, std::uint64_t frames) {
    sightings[count++ % kAimAnchors] = {seconds, frames};
  }

  // The pause before the next look: blind until the step size is known and enough steps
  // were seen, then aimed; always blind for a device that wants steady looks.
  std::uint32_t PauseUs(double now, std::uint64_t position, std::uint32_t stepFrames,
                        double framesPerSecond, bool steady, std::uint64_t& random) {
    random = SplitMix64(random);
    if (steady || stepFrames == 0 || count < kAimAnchors) return BlindPauseUs(random);
    if (target <= position) {
      const double stepSeconds = stepFrames / framesPerSecond;
      const auto stepsAhead = static_cast<std::uint64_t>(kAimAheadSeconds / stepSeconds) + 1;
      target = position + stepsAhead * stepFrames;
      early = kAimEarlySeconds + static_cast<double>(random % kAimedLookGapUs) * 1e-6;
    }
    // The earliest sighting stands nearest the true timing: every look is late or on time.
    double offset = sightings[0].seconds - sightings[0].frames / framesPerSecond;
    for (const Sighting& seen : sightings) {
      offset = std::min(offset, seen.seconds - seen.frames / framesPerSecond);
    }
    const double due = offset + static_cast<double>(target) / framesPerSecond;
    if (now < due - early) {
      return static_cast<std::uint32_t>(
          std::min<double>((due - early - now) * 1e6, kLongestPauseUs));
    }
    if (now <= due + kAimWindowSeconds) return kAimedLookGapUs;
    target = 0;  // missed: the device is late, or the rhythm changed
    return BlindPauseUs(random);
  }

 private:
  struct Sighting {
    double seconds = 0.0;
    std::uint64_t frames = 0;
  };
  static std::uint32_t BlindPauseUs(std::uint64_t random) {
    return kShortestLookGapUs + static_cast<std::uint32_t>(random % kLookGapSpreadUs);
  }

  std::array<Sighting, kAimAnchors> sightings{};
  std::size_t count = 0;
  std::uint64_t target = 0;
  double early = kAimEarlySeconds;
};

}  // namespace

RateMeasurement::RateMeasurement(RunState& state, MeasurementSettings settings, EventHandler events)
    : state(state), settings(std::move(settings)), events(std::move(events)) {}

double RateMeasurement::Now() {
  Clock& clock = *state.services.clock;
  return static_cast<double>(clock.PerformanceCounter()) /
         static_cast<double>(clock.PerformanceFrequency());
}

bool RateMeasurement::Stopping() const { return state.stopRequested.load(); }

bool RateMeasurement::NarrowEnough(const MeasurementProgress& now) const {
  if (!settings.untilPpm || !now.estimate.valid || now.elapsedSeconds < settings.shortestSeconds) {
    return false;
  }
  const RateEstimate& estimate = now.estimate;
  return std::max(estimate.ppm - estimate.bandLowPpm, estimate.bandHighPpm - estimate.ppm) <=
         *settings.untilPpm;
}

void RateMeasurement::BufferReturned() {
  {
    std::lock_guard lock(mutex);
    bufferReturned = true;
  }
  returned.notify_all();
}

bool RateMeasurement::WaitForBufferReturned() {
  // Real time, whatever the clock: the device's thread needs only a moment to say so.
  constexpr auto kLongestWait = std::chrono::milliseconds(200);
  std::unique_lock lock(mutex);
  return returned.wait_for(lock, kLongestWait, [this] { return bufferReturned.load(); });
}

RateMeasurement::Sight RateMeasurement::LookAtPosition(WaveInDevice& device) {
  Sight sight;
  std::uint32_t raw = 0;
  std::int64_t stamp = 0;
  const bool stamped = device.GetStampedPosition(raw, stamp);
  if (stamped) {
    sight.seconds = static_cast<double>(stamp) /
                    static_cast<double>(state.services.clock->PerformanceFrequency());
  } else {
    if (device.GetPositionSamples(raw) != MMSYSERR_NOERROR) return sight;
    // The time after the look: a step seen was there by then, so a look is never early.
    sight.seconds = Now();
  }
  sight.look = Look::Same;
  if (raw == lastRaw) return sight;
  ++steppedLooks;
  if (stamped) ++stampedSteps;
  // The device counts in 32 bits; the count here goes on across a wrap.
  unwrapped += static_cast<std::uint32_t>(raw - lastRaw);
  lastRaw = raw;
  sight.look = Look::Stepped;
  sight.position = unwrapped;
  return sight;
}

// Where one measurement stands.
struct RateMeasurement::Course {
  Course(double nominalRate, const WaveInDevice& device)
      : framesPerSecond(nominalRate),
        delayWanderSeconds(device.DelayWanderSeconds()),
        busyDelayWanderSeconds(device.BusyDelayWanderSeconds()),
        steadyLooks(device.WantsSteadyLooks()) {}
  RateEstimate Estimate() const { return fit ? fit->Estimate() : RateEstimate{}; }
  std::optional<LossAwareFit> fit;  // from the start of measuring, once the step is known
  LookAim aim;
  std::size_t nextRateRefresh = kRateRefreshSteps;
  double framesPerSecond;
  // What the device says of itself, asked once before the first look: asking may cost a
  // round trip to a sound server.
  const double delayWanderSeconds;
  const double busyDelayWanderSeconds;
  const bool steadyLooks;
  double DelayWander() const {
    return busySeconds > 0.0 ? std::max(delayWanderSeconds, busyDelayWanderSeconds)
                             : delayWanderSeconds;
  }
  std::optional<ProcessorTimes> lastTimes;  // at the latest look at the processors
  double lastTimesAt = 0.0;
  double busySeconds = 0.0;
  std::vector<std::uint32_t> gaps;  // between steps while settling
  std::uint32_t stepFrames = 0;     // the most common of them, once settled
  std::uint64_t previous = 0;       // the latest position seen
  std::optional<double> firstStep;  // when the device first delivered
  std::optional<double> start;      // when measuring began, after settling
  double lastStep = 0.0;
  double nextProgress = 0.0;
  double nextBandCheck = 0.0;
  std::optional<ClockPair> windowStart;  // both clocks at the start of this stretch
  std::vector<ClockWindow> windows;
};

std::optional<RateMeasurement::LookEnd> RateMeasurement::LookOnce(WaveInDevice& device,
                                                                  Course& course) {
  if (Stopping()) return LookEnd{MeasurementEnd::Interrupted, {}};
  const Sight sight = bufferReturned ? Sight{} : LookAtPosition(device);
  const std::uint64_t position = sight.position;
  const double seen = sight.seconds;
  if (sight.look == Look::Failed) {
    return LookEnd{MeasurementEnd::DeviceFailed,
                   state.services.audio->GetErrorText(MMSYSERR_ERROR)};
  }
  if (sight.look == Look::Same) {
    if (seen - course.lastStep <= kPositionStallSeconds || WaitForBufferReturned()) {
      return std::nullopt;
    }
    TraceMeasurement(L"The position did not advance", __LINE__);
    return LookEnd{MeasurementEnd::Stalled, {}};
  }
  course.lastStep = seen;
  if (!course.firstStep) course.firstStep = seen;
  if (!course.start && seen - *course.firstStep >= kSettleSeconds) {
    course.start = seen;
    course.nextProgress = seen + settings.progressEverySeconds;
    // Looks are still blind and close together here, so every step shows.
    course.stepFrames = MostCommon(course.gaps);
  }
  if (!course.start && course.previous != 0) {
    course.gaps.push_back(static_cast<std::uint32_t>(position - course.previous));
  }
  if (course.start) {
    if (settings.onStep) settings.onStep(seen, position);
    course.aim.Saw(seen, position);
    NoteStep(course, seen, position);
  }
  course.previous = position;
  return std::nullopt;
}

void RateMeasurement::NoteStep(Course& course, double seen, std::uint64_t position) {
  if (!course.fit) {
    course.fit.emplace(course.framesPerSecond, course.stepFrames, course.DelayWander());
  }
  course.fit->AddStep(seen, position);
  if (course.fit->Steps() >= course.nextRateRefresh) {
    course.nextRateRefresh = course.fit->Steps() + kRateRefreshSteps;
    const RateEstimate sofar = course.fit->QuickEstimate();
    if (sofar.valid) course.framesPerSecond = state.nominalRate * sofar.ratio;
  }
}

void RateMeasurement::NoteClocks(Course& course, bool last) {
  // A stretch much shorter than the others would weigh as much in the median with more noise.
  constexpr double kShortestLastWindow = kClockWindowSeconds / 2.0;
  if (!course.start) return;
  Clock& clock = *state.services.clock;
  if (!course.windowStart) {
    course.windowStart = clock.ReadClockPair();
    return;
  }
  const double length = Now() - course.windowStart->rawSeconds;
  if (length < (last ? kShortestLastWindow : kClockWindowSeconds)) return;
  const ClockPair now = clock.ReadClockPair();
  course.windows.push_back(MakeClockWindow(*course.windowStart, now));
  course.windowStart = now;
}

void RateMeasurement::NoteLoad(Course& course) {
  const double now = Now();
  if (course.lastTimes && now - course.lastTimesAt < kLoadCheckSeconds) return;
  const std::optional<ProcessorTimes> times = state.services.scheduler->ReadProcessorTimes();
  const std::optional<ProcessorTimes> last = std::exchange(course.lastTimes, times);
  const double since = std::exchange(course.lastTimesAt, now);
  if (!times || !last) return;
  const double total = times->total - last->total;
  const double others = (times->busy - last->busy) - (times->own - last->own);
  if (!(total > 0.0) || others < kBusyShare * total) return;
  if (course.busySeconds == 0.0) {
    TraceMeasurement(L"Other programs keep the processors busy: the band allows for the "
                     L"device's delay to move",
                     __LINE__);
  }
  course.busySeconds += now - since;
  if (course.fit) course.fit->AllowDelayWander(course.DelayWander());
}

RateMeasurement::LossCount RateMeasurement::FinishLosses(Course& course) {
  LossCount count;
  if (!course.fit) return count;
  // What stays unjudged (the last window, or a rise nothing after it confirmed) is left out.
  course.fit->Finish();
  count.losses = course.fit->Losses().size() + course.fit->UnseenLosses();
  count.lostMs = course.fit->LostMilliseconds() + course.fit->UnseenLostMilliseconds();
  if (count.losses == 0) return count;
  TraceMeasurement(FormatText(L"Samples were lost without an overrun (losses: %zu, %.1f ms in all)",
                              count.losses, count.lostMs),
                   __LINE__);
  count.tooMuch = course.fit->TooMuchLost();
  return count;
}

bool RateMeasurement::Enough(Course& course) {
  if (!course.start) return false;
  const double now = Now();
  MeasurementProgress progressNow;
  progressNow.elapsedSeconds = now - *course.start;
  if (progressNow.elapsedSeconds >= settings.seconds) return true;
  const bool report = now >= course.nextProgress;
  // The band is worth a look once a second even when progress is shown more rarely.
  const bool checkBand = settings.untilPpm && now >= course.nextBandCheck;
  if (!report && !checkBand) return false;
  progressNow.secondsLeft = std::max(0.0, settings.seconds - progressNow.elapsedSeconds);
  progressNow.estimate = course.Estimate();
  if (report) {
    course.nextProgress = now + settings.progressEverySeconds;
    if (events) events(progressNow);
  }
  course.nextBandCheck = now + 1.0;
  return NarrowEnough(progressNow);
}

MeasurementResult RateMeasurement::Run() {
  state.SetTarget(
      [this](const PostedMessage& message) {
        if (message.message == WM_CAPTURE_BUFFER_RETURNED) BufferReturned();
      },
      [this](const std::wstring& text, MessageIcon, std::function<void()> done) {
        if (events) events(DeviceMessage{text});
        done();
      });
  // The capture is over (its device closed) by the time Measure returns.
  MeasurementResult result = Measure();
  state.ClearTarget();
  return result;
}

MeasurementResult RateMeasurement::Measure() {
  MeasurementResult result;
  CaptureSession capture(state);
  if (capture.Begin() != CaptureStep::Started) {
    result.end = state.rateRefused ? MeasurementEnd::RateRefused : MeasurementEnd::OpenFailed;
    return result;
  }
  Course course(static_cast<double>(state.nominalRate), capture.Device());
  course.lastStep = Now();
  for (;;) {
    if (const auto end = LookOnce(capture.Device(), course)) {
      result.end = end->end;
      result.detail = end->detail;
      break;
    }
    NoteClocks(course, false);
    NoteLoad(course);
    if (Enough(course)) break;
    state.services.clock->Pause(course.aim.PauseUs(Now(), course.previous, course.stepFrames,
                                                   course.framesPerSecond, course.steadyLooks,
                                                   randomState));
  }
  NoteClocks(course, true);
  result.clockWindows = std::move(course.windows);
  result.stepFrames = course.stepFrames;
  const LossCount lost = FinishLosses(course);
  result.losses = lost.losses;
  result.lostMs = lost.lostMs;
  result.busySeconds = course.busySeconds;
  if (result.end == MeasurementEnd::Done && lost.tooMuch) result.end = MeasurementEnd::TooMuchLost;
  result.estimate = course.Estimate();
  result.deviceTimestamps = 2 * stampedSteps > steppedLooks;
  if (result.end == MeasurementEnd::Done && !result.estimate.valid) {
    result.end = MeasurementEnd::TooFewSteps;
  }
  const std::size_t fitted = course.fit ? course.fit->Steps() : 0;
  TraceMeasurement(FormatText(L"Measured %zu steps over %.1f s: %+.3f ppm", fitted,
                              result.estimate.seconds, result.estimate.ppm),
                   __LINE__);
  return result;
}

}  // namespace veltrane
