#pragma once
// Recording devices with the contract of the waveIn functions: one device records
// into a buffer that the caller queues, reports its position in samples and hands
// the buffer back through a completion callback when it is full or reset.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace veltrane {

using MMResult = std::uint32_t;

constexpr MMResult MMSYSERR_NOERROR = 0;
constexpr MMResult MMSYSERR_ERROR = 1;
constexpr MMResult MMSYSERR_BADDEVICEID = 2;
constexpr MMResult MMSYSERR_ALLOCATED = 4;
constexpr MMResult MMSYSERR_INVALHANDLE = 5;
constexpr MMResult MMSYSERR_NODRIVER = 6;
constexpr MMResult MMSYSERR_NOMEM = 7;
constexpr MMResult MMSYSERR_INVALFLAG = 10;
constexpr MMResult MMSYSERR_INVALPARAM = 11;
constexpr MMResult WAVERR_BADFORMAT = 32;
constexpr MMResult WAVERR_STILLPLAYING = 33;
constexpr MMResult WAVERR_UNPREPARED = 34;

// Open flags.
constexpr std::uint32_t CALLBACK_FUNCTION = 0x00030000;
constexpr std::uint32_t WAVE_FORMAT_DIRECT = 0x0008;
constexpr std::uint32_t WAVE_ALLOWSYNC = 0x0002;

// Header flags.
constexpr std::uint32_t WHDR_DONE = 0x01;
constexpr std::uint32_t WHDR_PREPARED = 0x02;
constexpr std::uint32_t WHDR_INQUEUE = 0x10;

// Callback messages.
constexpr std::uint32_t WIM_OPEN = 0x3BE;
constexpr std::uint32_t WIM_CLOSE = 0x3BF;
constexpr std::uint32_t WIM_DATA = 0x3C0;

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;

struct WaveFormat {
  std::uint16_t formatTag = WAVE_FORMAT_PCM;
  std::uint16_t channels = 1;
  std::uint32_t samplesPerSec = 0;
  std::uint32_t avgBytesPerSec = 0;
  std::uint16_t blockAlign = 1;
  std::uint16_t bitsPerSample = 8;
};

// The format the program records in: 8-bit PCM, one channel, at samplesPerSec.
constexpr WaveFormat MonoEightBitFormat(std::uint32_t samplesPerSec) {
  WaveFormat format;
  format.formatTag = WAVE_FORMAT_PCM;
  format.channels = 1;
  format.samplesPerSec = samplesPerSec;
  format.avgBytesPerSec = samplesPerSec;
  format.blockAlign = 1;
  format.bitsPerSample = 8;
  return format;
}

struct WaveHeader {
  std::uint8_t* data = nullptr;
  std::uint32_t bufferLength = 0;
  std::uint32_t bytesRecorded = 0;  // written by the device
  std::uintptr_t user = 0;          // the caller's, handed back untouched
  std::uint32_t flags = 0;          // WHDR_*
};

struct WaveInCaps {
  std::wstring productName;  // at most 31 characters
};

class WaveInDevice;

// Called from a thread of the device's own, never from the thread that calls the device, in
// real and in simulated time alike: msg is WIM_DATA with the header, already marked
// WHDR_DONE, when a buffer comes back. It may only post; it must not call back into the
// device nor wait for the thread that uses it (Reset waits for it).
using WaveInCompletion =
    std::function<void(WaveInDevice* device, std::uint32_t msg, WaveHeader* header)>;

// One open recording device. Every operation is called by the thread that opened it.
class WaveInDevice {
 public:
  virtual ~WaveInDevice() = default;  // closes the device if Close was not called

  virtual MMResult PrepareHeader(WaveHeader& header) = 0;
  virtual MMResult UnprepareHeader(WaveHeader& header) = 0;
  virtual MMResult AddBuffer(WaveHeader& header) = 0;
  virtual MMResult Start() = 0;
  // Stops recording and returns every queued buffer through the callback, marked done; it
  // returns once those callbacks have run.
  virtual MMResult Reset() = 0;
  // The count of samples captured since Start, as the device itself counts them.
  virtual MMResult GetPositionSamples(std::uint32_t& samples) = 0;
  // Where the device stamps its count with the instant it took it (a sound card below ALSA
  // does): that count and instant, on the clock of Clock::PerformanceCounter. False where it
  // cannot, and the caller times its own look instead.
  virtual bool GetStampedPosition(std::uint32_t& samples, std::int64_t& counter) {
    (void)samples;
    (void)counter;
    return false;
  }
  virtual MMResult Close() = 0;
  // How far the least delay between a step of the count and a look at it may drift, slowly,
  // over a run (one standard deviation, seconds): a sound server's delivery does. 0 where the
  // count comes straight from the device.
  virtual double DelayWanderSeconds() const { return 0.0; }
  // The same for a run in which other programs kept the processors busy for a while: a sound
  // server starved for some seconds may deliver later from then on. Where nothing more is
  // known, DelayWanderSeconds.
  virtual double BusyDelayWanderSeconds() const { return DelayWanderSeconds(); }
  // Whether the count must be looked at steadily rather than in short bursts aimed at each
  // step: where looking changes when the count moves, the aimed bursts make it late for
  // seconds on end.
  virtual bool WantsSteadyLooks() const { return false; }
};

class Audio {
 public:
  virtual ~Audio() = default;

  // Device enumeration; ids run from 0 to GetNumDevs() - 1. Any thread.
  virtual std::uint32_t GetNumDevs() = 0;
  virtual MMResult GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) = 0;

  // Opens device deviceId for format with the given flags (CALLBACK_FUNCTION, WAVE_FORMAT_DIRECT,
  // WAVE_ALLOWSYNC). MMSYSERR_INVALFLAG when a flag is not supported. The callback lives as long
  // as the device.
  virtual MMResult Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                        const WaveFormat& format, WaveInCompletion callback, std::uint32_t flags) = 0;

  // The platform's text for an error code.
  virtual std::wstring GetErrorText(MMResult code) = 0;

  // Devices opened from now on step their count about this often where the back end can choose
  // (a sound server's period): coarser steps wake fewer threads. Ignored where it cannot.
  virtual void PreferStepSeconds(double seconds) { (void)seconds; }

  // The rates, from the usual ones, at which device deviceId records without resampling, where
  // the back end can tell; empty where it cannot (a sound server takes any rate it converts).
  virtual std::vector<std::uint32_t> GetNativeRates(std::uint32_t deviceId) {
    (void)deviceId;
    return {};
  }
};

// The id of the first device whose product name is name: letter case counts, and since
// product names hold at most 31 characters, a longer name matches on its beginning. -1 when
// no device has that name.
inline std::int32_t FindDeviceNamed(Audio& audio, const std::wstring& name) {
  const std::wstring wanted = name.substr(0, 31);
  const std::uint32_t count = audio.GetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    WaveInCaps caps;
    if (audio.GetDevCaps(id, caps) == MMSYSERR_NOERROR && caps.productName == wanted) {
      return static_cast<std::int32_t>(id);
    }
  }
  return -1;
}

// The id of the first device whose product name contains nameFragment; -1 when none does.
inline std::int32_t FindDeviceContaining(Audio& audio, const std::wstring& nameFragment) {
  const std::uint32_t count = audio.GetNumDevs();
  for (std::uint32_t id = 0; id < count; ++id) {
    WaveInCaps caps;
    if (audio.GetDevCaps(id, caps) == MMSYSERR_NOERROR &&
        caps.productName.find(nameFragment) != std::wstring::npos) {
      return static_cast<std::int32_t>(id);
    }
  }
  return -1;
}

}  // namespace veltrane
