#pragma once
// "Simulated Input": one recording device whose position counter runs against a Clock at a
// chosen true rate error, in steps, with jitter, and with faults on request.
//
// The position is the number of frames recorded since Start at the true rate
// nominal × (1 + ppm·1e-6), advancing stepFrames at a time. Each step comes at its ideal time
// plus a jitter drawn from a normal distribution with a standard deviation of jitterUs,
// clipped at 45% of the step period so that steps never swap or coincide; the draws come
// from a pseudo-random sequence with a fixed start (or the one chosen by randomStart), so
// runs with the same options are the same. Time is the clock's performance counter, read once
// per position query (so in virtual time every query moves time on).
//
// Disturbances of a busy computer and sound server, on request: a position query may look
// late (lateUs: the position as it was a random while ago, never going backwards), Open may
// hang (hangOpenS, on the device's clock), and every dropEveryS seconds of recording dropMs
// worth of frames may vanish from the count without any overrun being reported.
//
// The device takes one buffer per recording, queued before Start; it does not write the
// buffer's bytes. When the position reaches the buffer's length, or the stream breaks
// (overrunAfterS), the buffer comes back marked done with bytesRecorded = the position, and
// the position stays there. In real or scaled time a thread of the device notices that
// within a few milliseconds even when nobody asks; with a VirtualClock it is noticed on the
// next position query or Reset, since virtual time moves only when it is read. Either way
// the callback runs on the device's own thread. The device can be open once at a time
// (MMSYSERR_ALLOCATED otherwise).

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Audio.h"
#include "platform/Clock.h"
#include "platform/simulated/SimulatedSystemClock.h"

namespace veltrane {

struct SimulatedAudioOptions {
  double ppm = 0.0;                          // true rate error: rate = nominal × (1 + ppm·1e-6)
  std::uint32_t stepFrames = 441;            // frames per step of the position counter
  double jitterUs = 0.0;                     // standard deviation of each step's time, µs
  double lateUs = 0.0;                       // mean lateness of a position query, µs
  std::optional<std::uint64_t> randomStart;  // the jitter's and lateness' draws; fixed if absent
  std::optional<MMResult> failOpen;          // refuse to open with this error
  bool stamps = false;                       // the device stamps its count, as a sound card does
  bool rejectDirect = false;                 // MMSYSERR_INVALFLAG when WAVE_FORMAT_DIRECT is asked
  bool steadyLooks = false;                  // asks to be looked at steadily (WantsSteadyLooks)
  double busyWanderUs = 0.0;                 // its BusyDelayWanderSeconds, µs
  std::optional<double> hangOpenS;           // Open blocks this long before it answers
  std::optional<double> stallAfterS;         // the counter stops advancing after this long
  std::optional<double> overrunAfterS;       // the stream breaks as an overrun would
  std::optional<double> dropEveryS;          // frames vanish from the count this often...
  double dropMs = 0.0;                       // ...this many milliseconds' worth, in whole steps
  std::vector<std::uint32_t> rates;          // the only rates it opens at; empty: any rate
  // The computer's clocks: the device's ppm is against true time, and the raw clock runs
  // time.clockPpm fast, so against the raw clock the device runs at (1 + ppm) / (1 + clockPpm).
  SimulatedTimeOptions time;
};

// Parses "ppm=-250,step=441,jitter_us=200,late_us=300,seed=7,stamps=1,fail_open=4,reject_direct=1,
// steady_looks=1,busy_wander_us=300,hang_open_s=60,stall_after_s=30,overrun_after_s=30,drop_every_s=10,drop_ms=20,
// rates=44100/48000,clock_ppm=30,synced=1,skew_ppm=0.05,slew_ppm=300,slew_after_s=20,slew_for_s=20"
// (any subset, any order; drop_every_s and drop_ms together). False with a reason on a malformed
// text.
bool ParseSimulatedAudioOptions(const std::string& text, SimulatedAudioOptions& options,
                                std::wstring& error);

class SimulatedAudio : public Audio {
 public:
  SimulatedAudio(std::shared_ptr<Clock> clock, SimulatedAudioOptions options);
  ~SimulatedAudio() override;
  std::uint32_t GetNumDevs() override;
  MMResult GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) override;
  MMResult Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                const WaveFormat& format, WaveInCompletion callback, std::uint32_t flags) override;
  std::wstring GetErrorText(MMResult code) override;

 private:
  std::shared_ptr<Clock> clock;
  SimulatedAudioOptions options;
  std::shared_ptr<std::atomic<bool>> inUse;  // shared with the open device, which may outlive this
};

}  // namespace veltrane
