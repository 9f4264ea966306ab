#pragma once
// Recording into the one big capture buffer, as every front end does it: the device opened
// 8-bit mono at the nominal rate, the buffer prepared, queued and started. No wxWidgets.

#include <cstdint>
#include <memory>

#include "platform/Audio.h"
#include "engine/RunState.h"

namespace veltrane {

// The seconds of sound the one capture buffer holds, one byte a sample.
constexpr std::uint32_t kBufferSeconds = 900;

// True when a buffer of kBufferSeconds at rate fits the header's 32-bit length; a larger
// rate would record into a buffer cut down to a few bytes, or try to allocate terabytes.
constexpr bool RateFitsBuffer(std::int64_t rate) {
  return rate > 0 && rate <= std::int64_t{UINT32_MAX} / kBufferSeconds;
}

// How long the device's position may stand still before a run is given up, whichever method
// measures. Sound servers deliver in periods of up to a few hundred milliseconds; a counter
// still standing after this long has stopped (buffer full, device gone).
constexpr double kPositionStallSeconds = 3.0;

// Which step of setting up the recording failed first; Started when none did.
enum class CaptureStep { Started, Open, Buffer, Prepare, AddBuffer, Start };

// The open device with its one big buffer and the header that hands it over. Begin acquires
// them in order; the destructor undoes whatever was acquired, in reverse. The thread that
// records (the calibration worker, or the command line's main thread).
class CaptureSession {
 public:
  explicit CaptureSession(RunState& state) : state(state) {}
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;
  ~CaptureSession();

  CaptureStep Begin();
  WaveInDevice& Device() { return *device; }

 private:
  bool Succeeded(MMResult result, const wchar_t* call);

  RunState& state;
  std::unique_ptr<WaveInDevice> device;
  std::unique_ptr<std::uint8_t[]> buffer;
  WaveHeader header;
  bool prepared = false;
};

// Opens the recording device 8-bit mono at the nominal rate, retrying without
// WAVE_FORMAT_DIRECT when the device refuses that flag. On failure the error number is shown
// with the platform's text for it, and the result is null.
std::unique_ptr<WaveInDevice> OpenWaveIn(RunState& state, std::uint32_t deviceId);

// The device's completion callback: a header that came back done is reported through the
// run state. Device's own thread; only posts.
void WaveInCallback(WaveInDevice* device, std::uint32_t msg, WaveHeader* header);

}  // namespace veltrane
