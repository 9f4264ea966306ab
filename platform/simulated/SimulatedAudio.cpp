#include "platform/simulated/SimulatedAudio.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include "base/NormalThread.h"
#include "base/Random.h"
#include "base/Text.h"
#include "platform/AudioErrors.h"
#include "platform/simulated/VirtualClock.h"

namespace veltrane {
namespace {

const wchar_t* const kDeviceName = L"Simulated Input";

// Start value of the jitter's pseudo-random sequence: fixed, so every run with the same
// options sees the same step times.
constexpr std::uint64_t kJitterStart = 0x2545F4914F6CDD1DULL;

// Moves the lateness' draws away from the jitter's, which count up from the same start.
constexpr std::uint64_t kLatenessStreamOffset = 0x5851F42D4C957F2DULL;

// A busy computer mostly answers a little late and now and then very late (a page fault, a
// higher-priority thread, the scheduler's time slice). One query in this many is such a stall,
// lasting 10 to 50 times the mean lateness; the exponential rest is scaled so that the mean of
// the whole is the configured lateness.
constexpr long double kStallChance = 0.01L;
constexpr long double kStallShortestInMeans = 10.0L;
constexpr long double kStallLongestInMeans = 50.0L;
constexpr long double kExponentialShareOfMean =
    1.0L - kStallChance * (kStallShortestInMeans + kStallLongestInMeans) / 2.0L;

// A step may move by at most this share of the step period either way. Below one half,
// consecutive steps can never swap or coincide, so the position neither goes back nor
// jumps two steps at one instant.
constexpr long double kMaxJitterShareOfPeriod = 0.45L;

// How often the device thread looks at the position in real time, so that a full buffer
// comes back even when nobody queries; short beside the 2000 ms report cycle.
constexpr auto kWatchInterval = std::chrono::milliseconds(2);

// Uniform in the open interval (0, 1).
long double Uniform(std::uint64_t bits) {
  return (static_cast<long double>(bits >> 11) + 0.5L) / 9007199254740992.0L;
}

// A standard normal value for step k, from the step number alone (Box-Muller), so that the
// time of any step can be computed without walking through the ones before it.
long double StandardNormal(std::uint64_t start, std::uint64_t k) {
  const long double u1 = Uniform(SplitMix64(start + 2 * k));
  const long double u2 = Uniform(SplitMix64(start + 2 * k + 1));
  return std::sqrt(-2.0L * std::log(u1)) * std::cos(6.283185307179586476925L * u2);
}

bool ValidFormat(const WaveFormat& format) {
  if (format.formatTag != WAVE_FORMAT_PCM) return false;
  if (format.channels == 0 || format.samplesPerSec == 0) return false;
  if (format.bitsPerSample != 8 && format.bitsPerSample != 16 && format.bitsPerSample != 24 &&
      format.bitsPerSample != 32) {
    return false;
  }
  if (format.blockAlign != format.channels * format.bitsPerSample / 8) return false;
  return format.avgBytesPerSec == format.samplesPerSec * format.blockAlign;
}

class SimulatedWaveIn : public WaveInDevice {
 public:
  SimulatedWaveIn(std::shared_ptr<Clock> clock, const SimulatedAudioOptions& options,
                  const WaveFormat& format, WaveInCompletion callback,
                  std::shared_ptr<std::atomic<bool>> inUse)
      : clock(std::move(clock)),
        options(options),
        format(format),
        callback(std::move(callback)),
        inUse(std::move(inUse)),
        // A virtual clock moves only when it is read: a watcher reading it would move time
        // on its own and make runs unrepeatable, so there a full buffer is found by queries.
        watchInRealTime(!MovesOnlyWhenRead(*this->clock)),
        // Without a chosen start, the jitter stays what it always was for the same options.
        jitterStart(options.randomStart ? SplitMix64(*options.randomStart) : kJitterStart),
        latenessStart(SplitMix64(jitterStart ^ kLatenessStreamOffset)) {
    const long double rate =
        static_cast<long double>(format.samplesPerSec) * (1.0L + options.ppm * 1e-6L) /
        (1.0L + options.time.clockPpm * 1e-6L);
    stepPeriodS = static_cast<long double>(options.stepFrames) / rate;
    jitterS = static_cast<long double>(options.jitterUs) * 1e-6L;
    lateS = static_cast<long double>(options.lateUs) * 1e-6L;
    dropSteps = static_cast<std::uint64_t>(std::llround(
        options.dropMs * 1e-3 * format.samplesPerSec / static_cast<double>(options.stepFrames)));
  }

  ~SimulatedWaveIn() override { Close(/*force=*/true); }

  // False when the thread cannot start.
  bool StartThread() {
    return deviceThread.Start([this] { RunDeviceThread(); });
  }

  MMResult PrepareHeader(WaveHeader& header) override {
    std::lock_guard lock(mutex);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (header.data == nullptr || header.bufferLength == 0) return MMSYSERR_INVALPARAM;
    header.flags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  MMResult UnprepareHeader(WaveHeader& header) override {
    std::lock_guard lock(mutex);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (header.flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    header.flags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  // The simulated device takes one buffer per recording, queued before Start: that is how
  // the program records, and it keeps the position simply the count of frames in it.
  MMResult AddBuffer(WaveHeader& header) override {
    std::lock_guard lock(mutex);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (!(header.flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (queued != nullptr || started) return WAVERR_STILLPLAYING;
    header.flags = (header.flags | WHDR_INQUEUE) & ~WHDR_DONE;
    header.bytesRecorded = 0;
    queued = &header;
    capacityFrames = header.bufferLength / format.blockAlign;
    return MMSYSERR_NOERROR;
  }

  MMResult Start() override {
    std::lock_guard lock(mutex);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (started) return MMSYSERR_NOERROR;
    started = true;
    finished = false;
    position = 0;
    seenPosition = 0;
    queries = 0;
    startCounter = clock->PerformanceCounter();
    frequency = clock->PerformanceFrequency();
    changed.notify_all();
    return MMSYSERR_NOERROR;
  }

  MMResult Reset() override {
    std::unique_lock lock(mutex);
    if (!open) return MMSYSERR_INVALHANDLE;
    if (started && !finished) Advance(lock, ElapsedS());
    if (queued != nullptr) ReturnBuffer();
    started = false;
    finished = false;
    position = 0;
    seenPosition = 0;
    capacityFrames = 0;
    changed.notify_all();
    // The caller may rely on the buffer being back once Reset returns.
    changed.wait(lock, [&] { return delivered == enqueued; });
    return MMSYSERR_NOERROR;
  }

  bool WantsSteadyLooks() const override { return options.steadyLooks; }
  double BusyDelayWanderSeconds() const override { return options.busyWanderUs * 1e-6; }

  MMResult GetPositionSamples(std::uint32_t& samples) override {
    std::unique_lock lock(mutex);
    if (!open) return MMSYSERR_INVALHANDLE;
    samples = position;
    const bool late = lateS > 0.0L;
    if (!started || (finished && !late)) return MMSYSERR_NOERROR;
    const long double elapsedS = ElapsedS();
    if (!finished) Advance(lock, elapsedS);
    samples = late ? LookLate(elapsedS) : position;
    return MMSYSERR_NOERROR;
  }

  // The count with the instant of its latest step, which the lateness of a look does not
  // touch: that is what a stamping device offers.
  bool GetStampedPosition(std::uint32_t& samples, std::int64_t& counter) override {
    std::unique_lock lock(mutex);
    if (!open || !options.stamps || !started || finished) return false;
    const long double elapsedS = ElapsedS();
    Advance(lock, elapsedS);
    if (finished) return false;
    samples = position;
    const long double stepS = StepTimeS(StepsAt(elapsedS));
    counter = startCounter + static_cast<std::int64_t>(std::llround(stepS * frequency));
    return true;
  }

  MMResult Close() override { return Close(/*force=*/false); }

 private:
  // Without force, a device that still holds a buffer stays open, as the platform's does.
  // With force (destruction), a buffer still queued is not returned.
  MMResult Close(bool force) {
    {
      std::unique_lock lock(mutex);
      if (!open) return MMSYSERR_INVALHANDLE;
      if (queued != nullptr && !force) return WAVERR_STILLPLAYING;
      open = false;
      stopThread = true;
      changed.notify_all();
    }
    deviceThread.Join();
    inUse->store(false);
    return MMSYSERR_NOERROR;
  }

  // Seconds from Start to step k, including its jitter.
  long double StepTimeS(std::uint64_t k) const {
    const long double ideal = static_cast<long double>(k) * stepPeriodS;
    if (k == 0 || jitterS == 0.0L) return ideal;
    const long double limit = kMaxJitterShareOfPeriod * stepPeriodS;
    return ideal + std::clamp(StandardNormal(jitterStart, k) * jitterS, -limit, limit);
  }

  // The number of steps taken by elapsed seconds after Start. Step times are strictly
  // increasing and lie within half a period of their ideal, so the answer is one of three.
  std::uint64_t StepsAt(long double elapsedS) const {
    if (elapsedS <= 0.0L) return 0;
    const auto ideal = static_cast<std::uint64_t>(std::floor(elapsedS / stepPeriodS));
    if (StepTimeS(ideal + 1) <= elapsedS) return ideal + 1;
    if (StepTimeS(ideal) <= elapsedS) return ideal;
    return ideal - 1;
  }

  // The steps lost to drops by elapsed seconds, when steps had been taken by then. The steps
  // of a drop vanish one by one as they come, so the position stands still meanwhile instead
  // of falling back.
  std::uint64_t LostSteps(long double elapsedS, std::uint64_t steps) const {
    if (!options.dropEveryS || dropSteps == 0 || elapsedS <= 0.0L) return 0;
    const long double everyS = static_cast<long double>(*options.dropEveryS);
    std::uint64_t lost = 0;
    for (auto k = static_cast<std::uint64_t>(std::floor(elapsedS / everyS)); k > 0; --k) {
      const std::uint64_t sinceDrop =
          steps - std::min(steps, StepsAt(static_cast<long double>(k) * everyS));
      // This drop is whole, and so is every one before it.
      if (sinceDrop >= dropSteps) return std::min(steps, lost + k * dropSteps);
      lost += sinceDrop;
    }
    return std::min(steps, lost);
  }

  // Frames counted by elapsed seconds after Start; broken when the stream had broken by then.
  std::uint64_t FramesAt(long double elapsedS, bool& broken) const {
    broken = false;
    if (options.stallAfterS)
      elapsedS = std::min(elapsedS, static_cast<long double>(*options.stallAfterS));
    if (options.overrunAfterS && elapsedS >= *options.overrunAfterS) {
      elapsedS = *options.overrunAfterS;
      broken = true;
    }
    const std::uint64_t steps = StepsAt(elapsedS);
    return (steps - LostSteps(elapsedS, steps)) * options.stepFrames;
  }

  // Seconds since Start on the clock; reads it once.
  long double ElapsedS() {
    const std::int64_t now = clock->PerformanceCounter();
    return static_cast<long double>(now - startCounter) / static_cast<long double>(frequency);
  }

  // How late query number q looks, in seconds: exponential, now and then a long stall.
  long double LatenessS(std::uint64_t q) const {
    const long double usual =
        -kExponentialShareOfMean * lateS * std::log(Uniform(SplitMix64(latenessStart + 3 * q)));
    if (Uniform(SplitMix64(latenessStart + 3 * q + 1)) >= kStallChance) return usual;
    const long double stallInMeans =
        kStallShortestInMeans + (kStallLongestInMeans - kStallShortestInMeans) *
                                    Uniform(SplitMix64(latenessStart + 3 * q + 2));
    return usual + stallInMeans * lateS;
  }

  // The position as this query sees it: as it was a while before elapsed seconds, but never
  // less than a query saw before.
  std::uint32_t LookLate(long double elapsedS) {
    bool broken = false;
    const std::uint64_t then = FramesAt(elapsedS - LatenessS(queries++), broken);
    seenPosition =
        std::max(seenPosition, static_cast<std::uint32_t>(std::min<std::uint64_t>(then, position)));
    return seenPosition;
  }

  // Moves the position to elapsed seconds after Start; returns the buffer once it is full or
  // the stream breaks. Called with the lock held, while recording.
  void Advance(std::unique_lock<std::mutex>&, long double elapsedS) {
    bool broken = false;
    const std::uint64_t frames = FramesAt(elapsedS, broken);
    position = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, capacityFrames));
    const bool full = queued != nullptr && frames >= capacityFrames;
    if (broken || full) {
      // Nothing more is recorded: the position stays where the stream ended.
      finished = true;
      if (queued != nullptr) ReturnBuffer();
    }
  }

  void ReturnBuffer() {
    queued->bytesRecorded = position * format.blockAlign;
    queued->flags = (queued->flags | WHDR_DONE) & ~WHDR_INQUEUE;
    pending.push_back(queued);
    ++enqueued;
    queued = nullptr;
    changed.notify_all();
  }

  bool Watching() const { return watchInRealTime && started && !finished && queued != nullptr; }

  // Hands returned buffers to the callback, so that it never runs on the caller's thread,
  // and in real time watches for a buffer that fills while nobody asks for the position.
  void RunDeviceThread() {
    std::unique_lock lock(mutex);
    for (;;) {
      while (!pending.empty()) {
        WaveHeader* header = pending.front();
        pending.pop_front();
        lock.unlock();
        if (callback) callback(this, WIM_DATA, header);
        lock.lock();
        ++delivered;
        changed.notify_all();
      }
      if (stopThread) return;
      if (Watching()) {
        changed.wait_for(lock, kWatchInterval);
        if (Watching()) Advance(lock, ElapsedS());
      } else {
        changed.wait(lock, [&] { return stopThread || !pending.empty() || Watching(); });
      }
    }
  }

  const std::shared_ptr<Clock> clock;
  const SimulatedAudioOptions options;
  const WaveFormat format;
  const WaveInCompletion callback;
  const std::shared_ptr<std::atomic<bool>> inUse;
  const bool watchInRealTime;
  long double stepPeriodS = 0.0L;
  const std::uint64_t jitterStart;
  const std::uint64_t latenessStart;
  long double jitterS = 0.0L;
  long double lateS = 0.0L;
  std::uint64_t dropSteps = 0;

  std::mutex mutex;
  std::condition_variable changed;
  bool open = true;
  bool started = false;
  bool finished = false;  // the buffer came back or the stream broke; the position stays
  std::int64_t startCounter = 0;
  std::int64_t frequency = 1;
  std::uint32_t position = 0;
  std::uint32_t seenPosition = 0;  // the most that a late look has shown
  std::uint64_t queries = 0;       // position queries since Start, numbering the late looks
  std::uint64_t capacityFrames = 0;
  WaveHeader* queued = nullptr;
  std::deque<WaveHeader*> pending;
  std::uint64_t enqueued = 0;
  std::uint64_t delivered = 0;
  bool stopThread = false;
  NormalThread deviceThread;
};

// A number as the options have always been read: no sign of its own.
std::optional<double> ReadNumber(std::string_view text) {
  if (!text.empty() && text[0] == '+') return std::nullopt;
  return ReadDecimal(text);
}

// Digits only, within the range of T.
template <class T>
std::optional<T> ReadCount(std::string_view text) {
  const auto value = ReadUnsignedDecimal(text);
  if (!value || *value > std::numeric_limits<T>::max()) return std::nullopt;
  return static_cast<T>(*value);
}

// Stores value in field when it is there and good; false otherwise.
template <class Field, class T, class Good>
bool Store(Field& field, const std::optional<T>& value, Good good) {
  if (!value || !good(*value)) return false;
  field = *value;
  return true;
}

bool NotNegative(double x) { return x >= 0.0; }
bool Positive(double x) { return x > 0.0; }

bool StoreFlag(bool& field, const std::string& value) {
  if (value != "0" && value != "1") return false;
  field = value == "1";
  return true;
}

bool StoreRates(std::vector<std::uint32_t>& rates, const std::string& value) {
  for (std::size_t from = 0;;) {
    const std::size_t slash = std::min(value.find('/', from), value.size());
    if (!Store(rates.emplace_back(), ReadCount<std::uint32_t>(value.substr(from, slash - from)),
               Positive)) {
      return false;
    }
    if (slash == value.size()) return true;
    from = slash + 1;
  }
}

// One option: its name, what it wants when the value is refused, and how it is stored.
struct OptionRule {
  const char* name;
  const wchar_t* expected;
  bool (*store)(const std::string& value, SimulatedAudioOptions& options);
};

using Options = SimulatedAudioOptions;
const OptionRule kOptionRules[] = {
    // Beyond -1e6 ppm the device would deliver nothing or run backwards.
    {"ppm", L"expected a number of ppm between -1000000 and 1000000.",
     [](const std::string& v, Options& o) {
       return Store(o.ppm, ReadNumber(v), [](double x) { return x > -1e6 && x < 1e6; });
     }},
    {"step", L"expected a whole number of frames greater than 0.",
     [](const std::string& v, Options& o) {
       return Store(o.stepFrames, ReadCount<std::uint32_t>(v), Positive);
     }},
    {"jitter_us", L"expected a number of microseconds, 0 or more.",
     [](const std::string& v, Options& o) {
       return Store(o.jitterUs, ReadNumber(v), NotNegative);
     }},
    {"late_us", L"expected a number of microseconds, 0 or more.",
     [](const std::string& v, Options& o) { return Store(o.lateUs, ReadNumber(v), NotNegative); }},
    {"seed", L"expected a whole number, 0 or more.",
     [](const std::string& v, Options& o) {
       return Store(o.randomStart, ReadCount<std::uint64_t>(v), [](std::uint64_t) { return true; });
     }},
    {"fail_open", L"expected an error code, a whole number greater than 0.",
     [](const std::string& v, Options& o) {
       return Store(o.failOpen, ReadCount<MMResult>(v),
                    [](MMResult c) { return c != MMSYSERR_NOERROR; });
     }},
    {"reject_direct", L"expected 0 or 1.",
     [](const std::string& v, Options& o) { return StoreFlag(o.rejectDirect, v); }},
    {"stamps", L"expected 0 or 1.",
     [](const std::string& v, Options& o) { return StoreFlag(o.stamps, v); }},
    {"steady_looks", L"expected 0 or 1.",
     [](const std::string& v, Options& o) { return StoreFlag(o.steadyLooks, v); }},
    {"busy_wander_us", L"expected a number of microseconds, 0 or more.",
     [](const std::string& v, Options& o) {
       return Store(o.busyWanderUs, ReadNumber(v), NotNegative);
     }},
    {"stall_after_s", L"expected a number of seconds, 0 or more.",
     [](const std::string& v, Options& o) {
       return Store(o.stallAfterS, ReadNumber(v), NotNegative);
     }},
    {"overrun_after_s", L"expected a number of seconds, 0 or more.",
     [](const std::string& v, Options& o) {
       return Store(o.overrunAfterS, ReadNumber(v), NotNegative);
     }},
    {"hang_open_s", L"expected a number of seconds, 0 or more.",
     [](const std::string& v, Options& o) {
       return Store(o.hangOpenS, ReadNumber(v), NotNegative);
     }},
    {"drop_every_s", L"expected a number of seconds greater than 0.",
     [](const std::string& v, Options& o) { return Store(o.dropEveryS, ReadNumber(v), Positive); }},
    {"drop_ms", L"expected a number of milliseconds, 0 or more.",
     [](const std::string& v, Options& o) { return Store(o.dropMs, ReadNumber(v), NotNegative); }},
    {"rates", L"expected rates greater than 0, separated by /.",
     [](const std::string& v, Options& o) { return StoreRates(o.rates, v); }},
    // A crystal off by more than 1000 ppm is broken, and no daemon would discipline it.
    {"clock_ppm", L"expected a number of ppm between -1000 and 1000.",
     [](const std::string& v, Options& o) {
       return Store(o.time.clockPpm, ReadNumber(v), [](double x) { return std::fabs(x) <= 1000.0; });
     }},
    {"synced", L"expected 0 or 1.",
     [](const std::string& v, Options& o) { return StoreFlag(o.time.synced, v); }},
    {"skew_ppm", L"expected a number of ppm, 0 or more.",
     [](const std::string& v, Options& o) { return Store(o.time.skewPpm, ReadNumber(v), NotNegative); }},
    // The kernel slews at most 500 ppm, chrony up to 83,333 ppm.
    {"slew_ppm", L"expected a number of ppm between -100000 and 100000.",
     [](const std::string& v, Options& o) {
       return Store(o.time.slewPpm, ReadNumber(v), [](double x) { return std::fabs(x) <= 1e5; });
     }},
    {"slew_after_s", L"expected a number of seconds, 0 or more.",
     [](const std::string& v, Options& o) { return Store(o.time.slewAfterS, ReadNumber(v), NotNegative); }},
    {"slew_for_s", L"expected a number of seconds, 0 or more.",
     [](const std::string& v, Options& o) { return Store(o.time.slewForS, ReadNumber(v), NotNegative); }},
};

bool Fail(std::wstring& error, const std::string& option, const std::wstring& reason) {
  error = L"Simulated device option \"" + FromUtf8(option) + L"\": " + reason;
  return false;
}

// Stores one "name=value" item; false with the reason otherwise.
bool StoreOption(const std::string& item, std::set<std::string>& seen, Options& parsed,
                 std::wstring& error) {
  const std::size_t equals = item.find('=');
  if (equals == std::string::npos) return Fail(error, item, L"expected <name>=<value>.");
  const std::string key = item.substr(0, equals);
  if (!seen.insert(key).second) return Fail(error, item, L"given more than once.");
  for (const OptionRule& rule : kOptionRules) {
    if (key != rule.name) continue;
    return rule.store(item.substr(equals + 1), parsed) || Fail(error, item, rule.expected);
  }
  return Fail(error, item,
              L"unknown option; known are ppm, step, jitter_us, late_us, seed, stamps, "
              L"fail_open, reject_direct, steady_looks, busy_wander_us, hang_open_s, stall_after_s, "
              L"overrun_after_s, drop_every_s, drop_ms, rates, clock_ppm, synced, skew_ppm, "
              L"slew_ppm, slew_after_s and slew_for_s.");
}

}  // namespace

bool ParseSimulatedAudioOptions(const std::string& text, SimulatedAudioOptions& options,
                                std::wstring& error) {
  SimulatedAudioOptions parsed;
  std::set<std::string> seen;
  for (std::size_t begin = 0; !text.empty();) {
    const std::size_t comma = std::min(text.find(',', begin), text.size());
    const std::string item = text.substr(begin, comma - begin);
    if (item.empty()) {
      error = L"Simulated device options: empty option in \"" + FromUtf8(text) + L"\".";
      return false;
    }
    if (!StoreOption(item, seen, parsed, error)) return false;
    if (comma == text.size()) break;
    begin = comma + 1;
  }
  if (seen.count("drop_every_s") != seen.count("drop_ms")) {
    error = L"Simulated device options: drop_every_s and drop_ms go together.";
    return false;
  }
  // Drops that overlap would lose more than was recorded.
  if (parsed.dropEveryS && parsed.dropMs >= *parsed.dropEveryS * 1000.0) {
    error = L"Simulated device options: drop_ms must be shorter than drop_every_s.";
    return false;
  }
  options = parsed;
  return true;
}

SimulatedAudio::SimulatedAudio(std::shared_ptr<Clock> clock, SimulatedAudioOptions options)
    : clock(std::move(clock)),
      options(std::move(options)),
      inUse(std::make_shared<std::atomic<bool>>(false)) {}

SimulatedAudio::~SimulatedAudio() = default;

std::uint32_t SimulatedAudio::GetNumDevs() { return 1; }

MMResult SimulatedAudio::GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) {
  if (deviceId != 0) return MMSYSERR_BADDEVICEID;
  caps.productName = kDeviceName;
  return MMSYSERR_NOERROR;
}

MMResult SimulatedAudio::Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                              const WaveFormat& format, WaveInCompletion callback,
                              std::uint32_t flags) {
  if (deviceId != 0) return MMSYSERR_BADDEVICEID;
  if (options.hangOpenS) {
    // On the device's clock, so that a scaled or virtual run hangs in its own time.
    const double hangMs = std::min(*options.hangOpenS * 1000.0, 4294967295.0);
    clock->Sleep(static_cast<std::uint32_t>(std::llround(hangMs)));
  }
  if (options.failOpen) return *options.failOpen;
  if (options.rejectDirect && (flags & WAVE_FORMAT_DIRECT)) return MMSYSERR_INVALFLAG;
  if (!ValidFormat(format)) return WAVERR_BADFORMAT;
  // As a sound card that runs only at its own rates and does not resample.
  if (!options.rates.empty() && std::find(options.rates.begin(), options.rates.end(),
                                          format.samplesPerSec) == options.rates.end()) {
    return WAVERR_BADFORMAT;
  }
  if (inUse->exchange(true)) return MMSYSERR_ALLOCATED;
  auto opened =
      std::make_unique<SimulatedWaveIn>(clock, options, format, std::move(callback), inUse);
  if (!opened->StartThread()) {
    opened.reset();
    return MMSYSERR_NOMEM;
  }
  device = std::move(opened);
  return MMSYSERR_NOERROR;
}

std::wstring SimulatedAudio::GetErrorText(MMResult code) { return AudioErrorText(code); }

}  // namespace veltrane
