#include "platform/windows/WaveInAudio.h"

#include <windows.h>
// After windows.h, whose types it uses; the lean windows.h (WIN32_LEAN_AND_MEAN) leaves it out.
#include <mmsystem.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "base/NormalThread.h"
#include "base/Text.h"

namespace veltrane {
namespace {

// Windows hands a reset buffer back through the callback, but not every driver does it
// before waveInReset returns; the interface promises that it has come back by then. A
// driver that takes longer than this has lost the buffer.
constexpr auto kResetReturnWait = std::chrono::milliseconds(3000);

// waveIn hands the sound over through the system's audio engine, a sound server: its delivery
// delay drifts. Under Wine (waveIn over PulseAudio) the least delay wandered by about 0.1 ms
// within a minute, as PipeWire's does, so the same allowance; on Windows itself unmeasured.
constexpr double kEngineDelayWanderSeconds = 75e-6;

// waveIn may call its callback function on the thread that calls waveInReset (Wine does),
// while the interface promises a thread of the device's own. So every returned buffer is
// relayed to a thread that the device keeps for that alone.

class WaveInDeviceWindows : public WaveInDevice {
 public:
  WaveInDeviceWindows(WaveInCompletion callback, std::uint16_t blockAlign)
      : callback(std::move(callback)), blockAlign(blockAlign == 0 ? 1 : blockAlign) {}
  ~WaveInDeviceWindows() override;

  MMResult OpenDevice(UINT deviceId, const WaveFormat& format, std::uint32_t flags);

  MMResult PrepareHeader(WaveHeader& header) override;
  MMResult UnprepareHeader(WaveHeader& header) override;
  MMResult AddBuffer(WaveHeader& header) override;
  MMResult Start() override;
  MMResult Reset() override;
  MMResult GetPositionSamples(std::uint32_t& samples) override;
  double DelayWanderSeconds() const override { return kEngineDelayWanderSeconds; }
  // Looks aimed in bursts at each step made Wine's count late by 1 to 4 ms for 5 to 40 s at
  // a time, in about one run of three; steady looks every 2 ms did not (bench/wine-realtime.md).
  bool WantsSteadyLooks() const override { return true; }
  MMResult Close() override;

 private:
  static void CALLBACK Completion(HWAVEIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                                  DWORD_PTR param2);
  void RelayReturnedBuffers();
  void BufferDone(WAVEHDR& native);
  void StopRelay();

  WaveInCompletion callback;
  const std::uint16_t blockAlign;
  HWAVEIN handle = nullptr;
  std::map<WaveHeader*, WAVEHDR> natives;  // one per prepared header; node addresses stay
  std::mutex mutex;
  std::condition_variable allBack;
  int queued = 0;
  std::condition_variable returned;
  std::deque<WAVEHDR*> toRelay;
  bool stopping = false;
  NormalThread relay;
};

WaveInDeviceWindows::~WaveInDeviceWindows() {
  if (handle != nullptr) {
    Reset();
    for (auto& [header, native] : natives) {
      waveInUnprepareHeader(handle, &native, sizeof native);
      header->flags &= ~WHDR_PREPARED;
    }
    natives.clear();
    Close();
  }
  StopRelay();
}

void WaveInDeviceWindows::StopRelay() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  returned.notify_all();
  relay.Join();
}

void WaveInDeviceWindows::RelayReturnedBuffers() {
  std::unique_lock lock(mutex);
  for (;;) {
    returned.wait(lock, [this] { return stopping || !toRelay.empty(); });
    if (toRelay.empty()) return;
    WAVEHDR* native = toRelay.front();
    toRelay.pop_front();
    lock.unlock();
    BufferDone(*native);
    lock.lock();
  }
}

MMResult WaveInDeviceWindows::OpenDevice(UINT deviceId, const WaveFormat& format,
                                         std::uint32_t flags) {
  WAVEFORMATEX native{};
  native.wFormatTag = format.formatTag;
  native.nChannels = format.channels;
  native.nSamplesPerSec = format.samplesPerSec;
  native.nAvgBytesPerSec = format.avgBytesPerSec;
  native.nBlockAlign = format.blockAlign;
  native.wBitsPerSample = format.bitsPerSample;
  native.cbSize = 0;
  // The interface's flags are waveIn's own; the callback is always this function.
  const DWORD nativeFlags = (flags & ~CALLBACK_TYPEMASK) | CALLBACK_FUNCTION;
  if (!relay.Start([this] { RelayReturnedBuffers(); })) return MMSYSERR_NOMEM;
  const MMResult result =
      waveInOpen(&handle, deviceId, &native, reinterpret_cast<DWORD_PTR>(&Completion),
                 reinterpret_cast<DWORD_PTR>(this), nativeFlags);
  if (result != MMSYSERR_NOERROR) handle = nullptr;
  return result;
}

void CALLBACK WaveInDeviceWindows::Completion(HWAVEIN, UINT msg, DWORD_PTR instance,
                                              DWORD_PTR param1, DWORD_PTR) {
  if (msg != WIM_DATA) return;
  auto* device = reinterpret_cast<WaveInDeviceWindows*>(instance);
  {
    std::lock_guard lock(device->mutex);
    device->toRelay.push_back(reinterpret_cast<WAVEHDR*>(param1));
  }
  device->returned.notify_all();
}

void WaveInDeviceWindows::BufferDone(WAVEHDR& native) {
  auto* header = reinterpret_cast<WaveHeader*>(native.dwUser);
  header->bytesRecorded = native.dwBytesRecorded;
  header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
  callback(this, WIM_DATA, header);
  {
    std::lock_guard lock(mutex);
    --queued;
  }
  allBack.notify_all();
}

MMResult WaveInDeviceWindows::PrepareHeader(WaveHeader& header) {
  if (natives.count(&header) != 0) return MMSYSERR_NOERROR;
  WAVEHDR native{};
  native.lpData = reinterpret_cast<LPSTR>(header.data);
  native.dwBufferLength = header.bufferLength;
  native.dwUser = reinterpret_cast<DWORD_PTR>(&header);
  auto& kept = natives.emplace(&header, native).first->second;
  const MMResult result = waveInPrepareHeader(handle, &kept, sizeof kept);
  if (result != MMSYSERR_NOERROR) {
    natives.erase(&header);
    return result;
  }
  header.flags = WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMResult WaveInDeviceWindows::UnprepareHeader(WaveHeader& header) {
  const auto found = natives.find(&header);
  if (found == natives.end()) return MMSYSERR_NOERROR;
  const MMResult result = waveInUnprepareHeader(handle, &found->second, sizeof(WAVEHDR));
  if (result != MMSYSERR_NOERROR) return result;
  natives.erase(found);
  header.flags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMResult WaveInDeviceWindows::AddBuffer(WaveHeader& header) {
  const auto found = natives.find(&header);
  if (found == natives.end()) return WAVERR_UNPREPARED;
  header.bytesRecorded = 0;
  header.flags = (header.flags & ~WHDR_DONE) | WHDR_INQUEUE;
  {
    std::lock_guard lock(mutex);
    ++queued;
  }
  const MMResult result = waveInAddBuffer(handle, &found->second, sizeof(WAVEHDR));
  if (result != MMSYSERR_NOERROR) {
    header.flags &= ~WHDR_INQUEUE;
    std::lock_guard lock(mutex);
    --queued;
  }
  return result;
}

MMResult WaveInDeviceWindows::Start() { return waveInStart(handle); }

MMResult WaveInDeviceWindows::Reset() {
  const MMResult result = waveInReset(handle);
  if (result != MMSYSERR_NOERROR) return result;
  std::unique_lock lock(mutex);
  if (!allBack.wait_for(lock, kResetReturnWait, [this] { return queued <= 0; })) {
    return MMSYSERR_ERROR;
  }
  return MMSYSERR_NOERROR;
}

MMResult WaveInDeviceWindows::GetPositionSamples(std::uint32_t& samples) {
  MMTIME time{};
  time.wType = TIME_SAMPLES;
  const MMResult result = waveInGetPosition(handle, &time, sizeof time);
  if (result != MMSYSERR_NOERROR) return result;
  // A driver that cannot count samples answers in the type it can.
  switch (time.wType) {
    case TIME_SAMPLES:
      samples = time.u.sample;
      return MMSYSERR_NOERROR;
    case TIME_BYTES:
      samples = time.u.cb / blockAlign;
      return MMSYSERR_NOERROR;
    default:
      return MMSYSERR_ERROR;
  }
}

MMResult WaveInDeviceWindows::Close() {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  {
    // Windows refuses while a buffer is queued; Wine closes all the same, and the buffer
    // would never come back. Our own count says it whatever the system does.
    std::lock_guard lock(mutex);
    if (queued > 0) return WAVERR_STILLPLAYING;
  }
  const MMResult result = waveInClose(handle);
  if (result == MMSYSERR_NOERROR) handle = nullptr;
  return result;
}

}  // namespace

std::uint32_t WaveInAudio::GetNumDevs() { return waveInGetNumDevs(); }

MMResult WaveInAudio::GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) {
  WAVEINCAPSW native{};
  const MMResult result = waveInGetDevCapsW(deviceId, &native, sizeof native);
  if (result != MMSYSERR_NOERROR) return result;
  caps.productName.assign(native.szPname, wcsnlen(native.szPname, MAXPNAMELEN));
  return MMSYSERR_NOERROR;
}

MMResult WaveInAudio::Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                           const WaveFormat& format, WaveInCompletion callback,
                           std::uint32_t flags) {
  device.reset();
  auto opened = std::make_unique<WaveInDeviceWindows>(std::move(callback), format.blockAlign);
  const MMResult result = opened->OpenDevice(deviceId, format, flags);
  if (result == MMSYSERR_NOERROR) device = std::move(opened);
  return result;
}

std::wstring WaveInAudio::GetErrorText(MMResult code) {
  wchar_t text[MAXERRORLENGTH] = {};
  if (waveInGetErrorTextW(code, text, MAXERRORLENGTH) == MMSYSERR_NOERROR && text[0] != L'\0') {
    return text;
  }
  return FormatText(L"Unknown error %u.", code);
}

}  // namespace veltrane
