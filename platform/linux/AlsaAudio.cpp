#include "platform/linux/AlsaAudio.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/DeviceNames.h"
#include "base/NormalThread.h"
#include "platform/linux/SoundServer.h"
#include "base/Text.h"

namespace veltrane {
namespace {

// The reader wakes about once per period. Short enough that the position steps often, long
// enough that the wake-ups cost nothing worth measuring.
constexpr unsigned kPeriodMicroseconds = 10'000;
// A sound server hands each period through its own threads and ours: the least delay until a
// step shows drifts by tens of microseconds over minutes. Measured on PulseAudio's null sink,
// calm and with both processors busy: one standard deviation of about 25 us, as a slope over
// runs of 30 s to 14 min (see bench/delay-wander.md).
constexpr double kServerDelayWanderSeconds = 25e-6;
// PipeWire's drifts further: its least delay crept or stepped by 0.1 to 0.15 ms within a
// minute on its null sink, too little for the loss detector to tell from scatter. 75 us is the
// least allowance under which every one of 41 replayed 60-s runs there held the truth in its
// band (bench/pipewire-replay.md).
constexpr double kPipeWireDelayWanderSeconds = 75e-6;
// The ring buffer holds this much sound, so the reader may be held up by the scheduler for
// about two seconds (see kLongestUnwatchedFraction) before the run fails as an overrun.
constexpr unsigned kBufferMicroseconds = 4'000'000;
// Plugins without a sound card below them count their pointer modulo the ring buffer (the
// PulseAudio plugin does): if nobody looks at the stream for as long as the ring buffer lasts,
// whole buffers of samples vanish from the count and no overrun is reported. Sound servers
// also deliver in bursts, so with such a plugin a look must come within half of that time, or
// the run fails as an overrun. (Below a card, the kernel itself reports an overrun.)
constexpr double kLongestUnwatchedFraction = 0.5;
// How long the reader waits for sound before it looks at the stream's state again, at most;
// commands wake it at once through its event descriptor.
constexpr int kPollTimeoutMilliseconds = 200;
// Where the reader puts sound while no buffer is queued: the count goes on, the sound is lost,
// as on the other platform.
constexpr std::size_t kScratchBytes = 4096;

// ALSA reports its own diagnostics through one process-wide handler. The device threads keep
// the latest one so that a failed open can say more than the error code; nothing is printed.
thread_local std::string lastAlsaMessage;

void KeepAlsaMessage(const char* file, int line, const char* function, int error,
                     const char* format, ...) {
  (void)file;
  (void)line;
  (void)function;
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  lastAlsaMessage = text;
  while (!lastAlsaMessage.empty() &&
         std::isspace(static_cast<unsigned char>(lastAlsaMessage.back()))) {
    lastAlsaMessage.pop_back();
  }
  if (error != 0) lastAlsaMessage += std::string(": ") + snd_strerror(error);
}

std::wstring AlsaErrorText(int error) { return FromUtf8(snd_strerror(error)); }

// The latest failure detail per result code, shown after the code's own text.
class ErrorDetails {
 public:
  void Set(MMResult code, std::wstring detail) {
    std::lock_guard<std::mutex> lock(mutex);
    details[code] = std::move(detail);
  }
  std::wstring Get(MMResult code) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = details.find(code);
    return found == details.end() ? std::wstring() : found->second;
  }

 private:
  std::mutex mutex;
  std::map<MMResult, std::wstring> details;
};

struct PcmCloser {
  void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using PcmHandle = std::unique_ptr<snd_pcm_t, PcmCloser>;

struct HwParamsFree {
  void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};
struct SwParamsFree {
  void operator()(snd_pcm_sw_params_t* params) const { snd_pcm_sw_params_free(params); }
};

// The result code for an ALSA error while a device is opened.
MMResult OpenErrorCode(int error) {
  switch (-error) {
    case EBUSY:
      return MMSYSERR_ALLOCATED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return MMSYSERR_BADDEVICEID;
    case ECONNREFUSED:
    case EHOSTDOWN:
    case ENOTCONN:
      return MMSYSERR_NODRIVER;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    default:
      return MMSYSERR_ERROR;
  }
}

// One open recording device. A thread of its own (see NormalThread) opens the
// ALSA stream, starts, drains, stops and closes it, and hands buffers back through the
// callback; the opening thread sends it commands and waits for their results.
class AlsaWaveIn final : public WaveInDevice {
 public:
  AlsaWaveIn(std::string pcmName, unsigned rate, unsigned periodMicroseconds,
             WaveInCompletion callback, std::shared_ptr<ErrorDetails> errors)
      : pcmName(std::move(pcmName)),
        rate(rate),
        periodMicroseconds(periodMicroseconds),
        callback(std::move(callback)),
        errors(std::move(errors)) {}

  ~AlsaWaveIn() override { Close(); }

  // Opens the stream on the device's own thread; the result of snd_pcm_open and the set-up.
  MMResult Launch() {
    wakeDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeDescriptor < 0) {
      errors->Set(MMSYSERR_ERROR, L"eventfd: " + FromUtf8(std::strerror(errno)));
      closed = true;
      return MMSYSERR_ERROR;
    }
    threadRunning = true;
    if (!thread.Start([this] { Run(); })) {
      threadRunning = false;
      errors->Set(MMSYSERR_NOMEM, L"the device thread could not start");
      Shutdown();
      return MMSYSERR_NOMEM;
    }
    std::unique_lock<std::mutex> lock(stateMutex);
    stateChanged.wait(lock, [this] { return commandDone; });
    const MMResult result = commandResult;
    lock.unlock();
    if (result != MMSYSERR_NOERROR) Shutdown();
    return result;
  }

  // The opening thread.
  MMResult PrepareHeader(WaveHeader& header) override {
    if (closed) return MMSYSERR_INVALHANDLE;
    if (header.data == nullptr || header.bufferLength == 0) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> lock(stateMutex);
    header.flags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  // The opening thread.
  MMResult UnprepareHeader(WaveHeader& header) override {
    if (closed) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(stateMutex);
    if ((header.flags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
    header.flags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }

  // The opening thread. Buffers are filled in the order they were added.
  MMResult AddBuffer(WaveHeader& header) override {
    if (closed) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> lock(stateMutex);
    if ((header.flags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
    if ((header.flags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
    header.flags = (header.flags & ~WHDR_DONE) | WHDR_INQUEUE;
    header.bytesRecorded = 0;
    queue.push_back(&header);
    return MMSYSERR_NOERROR;
  }

  // The opening thread.
  MMResult Start() override {
    if (closed) return MMSYSERR_INVALHANDLE;
    return Send(Command::Start);
  }

  // The opening thread. The buffers come back through the callback before Reset returns.
  MMResult Reset() override {
    if (closed) return MMSYSERR_INVALHANDLE;
    return Send(Command::Reset);
  }

  // The opening thread; cheap enough for a tight loop. The count is frames already drained plus
  // frames waiting in the ring buffer, as the device itself reports them.
  MMResult GetPositionSamples(std::uint32_t& samples) override {
    if (closed) return MMSYSERR_INVALHANDLE;
    samples = static_cast<std::uint32_t>(CurrentPosition());
    return MMSYSERR_NOERROR;
  }

  // Asked only by a measurement that fits the drift, and once: the server's name costs a round
  // trip to it, which an open for any other purpose need not wait for.
  double DelayWanderSeconds() const override {
    std::call_once(delayWanderKnown, [this] {
      if (!watchUnread) return;
      // PipeWire's own ALSA device, or PipeWire behind the PulseAudio one.
      const bool pipeWire =
          pcmName.find("pipewire") != std::string::npos || IsPipeWire(SoundServerName());
      delayWander = pipeWire ? kPipeWireDelayWanderSeconds : kServerDelayWanderSeconds;
    });
    return delayWander;
  }

  bool GetStampedPosition(std::uint32_t& samples, std::int64_t& counter) override {
    if (closed || !stamped || !streaming.load() || readerWaiting.load()) return false;
    std::lock_guard<std::mutex> lock(pcmMutex);
    if (!streaming.load()) return false;
    snd_pcm_status_t* status = nullptr;
    snd_pcm_status_alloca(&status);
    if (snd_pcm_status(pcm.get(), status) < 0 ||
        snd_pcm_status_get_state(status) != SND_PCM_STATE_RUNNING) {
      return false;
    }
    snd_htimestamp_t stamp{};
    snd_pcm_status_get_htstamp(status, &stamp);
    const snd_pcm_uframes_t available = snd_pcm_status_get_avail(status);
    if ((stamp.tv_sec == 0 && stamp.tv_nsec == 0) || available >= ringFrames) return false;
    samples = static_cast<std::uint32_t>(Publish(drained + available));
    counter = static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
    return true;
  }

  // The opening thread. Stops a running stream first: its buffers come back through the
  // callback.
  MMResult Close() override {
    if (closed) return MMSYSERR_INVALHANDLE;
    Shutdown();
    return MMSYSERR_NOERROR;
  }

 private:
  enum class Command { None, Start, Reset, Quit };

  // The opening thread.
  MMResult Send(Command command) {
    std::unique_lock<std::mutex> lock(stateMutex);
    pendingCommand = command;
    commandDone = false;
    stateChanged.notify_all();
    lock.unlock();
    Wake();
    lock.lock();
    stateChanged.wait(lock, [this] { return commandDone; });
    return commandResult;
  }

  void Shutdown() {
    closed = true;
    bool running;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      running = threadRunning;
    }
    if (running) Send(Command::Quit);
    thread.Join();
    if (wakeDescriptor >= 0) ::close(wakeDescriptor);
    wakeDescriptor = -1;
  }

  void Wake() {
    const std::uint64_t one = 1;
    if (wakeDescriptor >= 0) (void)!::write(wakeDescriptor, &one, sizeof one);
  }

  // The device thread from here on.

  void Acknowledge(MMResult result) {
    std::lock_guard<std::mutex> lock(stateMutex);
    pendingCommand = Command::None;
    commandResult = result;
    commandDone = true;
    stateChanged.notify_all();
  }

  void Run() {
    const MMResult opened = OpenStream();
    if (opened != MMSYSERR_NOERROR) {
      std::lock_guard<std::mutex> lock(stateMutex);
      threadRunning = false;
      commandResult = opened;
      commandDone = true;
      stateChanged.notify_all();
      return;
    }
    Acknowledge(MMSYSERR_NOERROR);
    for (;;) {
      Command command;
      {
        std::unique_lock<std::mutex> lock(stateMutex);
        if (!streaming.load()) {
          stateChanged.wait(lock, [this] { return pendingCommand != Command::None; });
        }
        command = pendingCommand;
      }
      switch (command) {
        case Command::Start:
          Acknowledge(StartStream());
          break;
        case Command::Reset:
          StopStream();
          position.store(0);
          ReturnBuffers();
          Acknowledge(MMSYSERR_NOERROR);
          break;
        case Command::Quit: {
          StopStream();
          ReturnBuffers();
          {
            std::lock_guard<std::mutex> lock(pcmMutex);
            pcm.reset();
          }
          std::lock_guard<std::mutex> lock(stateMutex);
          threadRunning = false;
          pendingCommand = Command::None;
          commandResult = MMSYSERR_NOERROR;
          commandDone = true;
          stateChanged.notify_all();
          return;
        }
        case Command::None:
          WaitForSound();
          Drain();
          break;
      }
    }
  }

  MMResult Fail(MMResult code, const std::wstring& what, int error) {
    std::wstring detail = FromUtf8(pcmName) + L": " + what;
    if (error != 0) detail += L": " + AlsaErrorText(error);
    if (!lastAlsaMessage.empty()) detail += L" [" + FromUtf8(lastAlsaMessage) + L"]";
    errors->Set(code, detail);
    return code;
  }

  MMResult OpenStream() {
    lastAlsaMessage.clear();
    snd_pcm_t* opened = nullptr;
    // Non-blocking: a busy hardware device would otherwise wait until it is free.
    int error = snd_pcm_open(&opened, pcmName.c_str(), SND_PCM_STREAM_CAPTURE,
                             SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_RESAMPLE);
    if (error < 0) return Fail(OpenErrorCode(error), L"cannot open", error);
    PcmHandle handle(opened);

    snd_pcm_hw_params_t* rawHw = nullptr;
    if (snd_pcm_hw_params_malloc(&rawHw) < 0) return Fail(MMSYSERR_NOMEM, L"hw params", 0);
    std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree> hw(rawHw);
    error = snd_pcm_hw_params_any(handle.get(), hw.get());
    if (error < 0) return Fail(OpenErrorCode(error), L"no configuration", error);
    // A resampled stream would run on the resampler's idea of time, not on the device's clock.
    error = snd_pcm_hw_params_set_rate_resample(handle.get(), hw.get(), 0);
    if (error < 0) return Fail(MMSYSERR_ERROR, L"cannot switch resampling off", error);
    error = snd_pcm_hw_params_set_access(handle.get(), hw.get(), SND_PCM_ACCESS_RW_INTERLEAVED);
    if (error < 0) return Fail(WAVERR_BADFORMAT, L"no interleaved read access", error);
    error = snd_pcm_hw_params_set_format(handle.get(), hw.get(), SND_PCM_FORMAT_U8);
    if (error < 0) return Fail(WAVERR_BADFORMAT, L"no 8-bit unsigned samples", error);
    error = snd_pcm_hw_params_set_channels(handle.get(), hw.get(), 1);
    if (error < 0) return Fail(WAVERR_BADFORMAT, L"no mono recording", error);
    error = snd_pcm_hw_params_set_rate(handle.get(), hw.get(), rate, 0);
    if (error < 0) {
      return Fail(WAVERR_BADFORMAT,
                  L"cannot record at " + std::to_wstring(rate) + L" Hz without resampling", error);
    }
    // Near values: whatever the device can do close to them is good enough, so a refusal
    // leaves the configuration as it is.
    unsigned periodTime = periodMicroseconds;
    int direction = 0;
    (void)snd_pcm_hw_params_set_period_time_near(handle.get(), hw.get(), &periodTime, &direction);
    unsigned bufferTime = kBufferMicroseconds;
    direction = 0;
    (void)snd_pcm_hw_params_set_buffer_time_near(handle.get(), hw.get(), &bufferTime, &direction);
    error = snd_pcm_hw_params(handle.get(), hw.get());
    if (error < 0) return Fail(WAVERR_BADFORMAT, L"configuration refused", error);

    unsigned acceptedRate = 0;
    direction = 0;
    error = snd_pcm_hw_params_get_rate(hw.get(), &acceptedRate, &direction);
    if (error < 0 || acceptedRate != rate || direction != 0) {
      return Fail(WAVERR_BADFORMAT,
                  L"runs at " + std::to_wstring(acceptedRate) + L" Hz instead of " +
                      std::to_wstring(rate) + L" Hz",
                  0);
    }
    snd_pcm_uframes_t periodFrames = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_hw_params_get_period_size(hw.get(), &periodFrames, &direction);
    snd_pcm_hw_params_get_buffer_size(hw.get(), &bufferFrames);
    ringFrames = bufferFrames;
    longestUnwatched = std::chrono::duration<double>(kLongestUnwatchedFraction *
                                                     static_cast<double>(bufferFrames) / rate);
    snd_pcm_info_t* rawInfo = nullptr;
    if (snd_pcm_info_malloc(&rawInfo) >= 0) {
      watchUnread = snd_pcm_info(handle.get(), rawInfo) < 0 || snd_pcm_info_get_card(rawInfo) < 0;
      snd_pcm_info_free(rawInfo);
    }
    // Quiet streams are looked at often enough for the watch.
    pollTimeoutMilliseconds = std::clamp(
        static_cast<int>(std::chrono::duration<double, std::milli>(longestUnwatched).count() / 4),
        1, kPollTimeoutMilliseconds);

    snd_pcm_sw_params_t* rawSw = nullptr;
    if (snd_pcm_sw_params_malloc(&rawSw) < 0) return Fail(MMSYSERR_NOMEM, L"sw params", 0);
    std::unique_ptr<snd_pcm_sw_params_t, SwParamsFree> sw(rawSw);
    snd_pcm_uframes_t boundary = 0;
    error = snd_pcm_sw_params_current(handle.get(), sw.get());
    if (error >= 0) error = snd_pcm_sw_params_get_boundary(sw.get(), &boundary);
    if (error >= 0) {
      error = snd_pcm_sw_params_set_avail_min(handle.get(), sw.get(),
                                              std::max<snd_pcm_uframes_t>(periodFrames, 1));
    }
    // Started only by Start, never by the first read.
    if (error >= 0) error = snd_pcm_sw_params_set_start_threshold(handle.get(), sw.get(), boundary);
    // A full ring buffer stops the stream: lost samples end the run instead of leaving a gap.
    if (error >= 0) {
      error = snd_pcm_sw_params_set_stop_threshold(handle.get(), sw.get(), bufferFrames);
    }
    // A card's driver stamps the count with the instant it read it, on the clock the program
    // measures with; a plugin's stamp is only the time of the call, no better than our own.
    stamped = false;
    if (error >= 0 && !watchUnread) {
      stamped = snd_pcm_sw_params_set_tstamp_mode(handle.get(), sw.get(), SND_PCM_TSTAMP_ENABLE) >=
                    0 &&
                snd_pcm_sw_params_set_tstamp_type(handle.get(), sw.get(),
                                                  SND_PCM_TSTAMP_TYPE_MONOTONIC) >= 0;
    }
    if (error >= 0) error = snd_pcm_sw_params(handle.get(), sw.get());
    if (error < 0) return Fail(MMSYSERR_ERROR, L"software configuration refused", error);

    const int count = snd_pcm_poll_descriptors_count(handle.get());
    if (count <= 0) return Fail(MMSYSERR_ERROR, L"no poll descriptors", count);
    pollDescriptors.resize(static_cast<std::size_t>(count) + 1);
    error = snd_pcm_poll_descriptors(handle.get(), pollDescriptors.data(),
                                     static_cast<unsigned>(count));
    if (error < 0) return Fail(MMSYSERR_ERROR, L"no poll descriptors", error);
    pollDescriptors.back() = pollfd{wakeDescriptor, POLLIN, 0};

    std::lock_guard<std::mutex> lock(pcmMutex);
    pcm = std::move(handle);
    return MMSYSERR_NOERROR;
  }

  MMResult StartStream() {
    std::lock_guard<std::mutex> lock(pcmMutex);
    if (streaming.load()) return MMSYSERR_NOERROR;
    lastAlsaMessage.clear();
    // After a Reset or a failed run the stream is set up again from the start: a new count,
    // not a continuation of the old one.
    const snd_pcm_state_t state = snd_pcm_state(pcm.get());
    int error = 0;
    if (state != SND_PCM_STATE_PREPARED) error = snd_pcm_prepare(pcm.get());
    if (error >= 0) error = snd_pcm_start(pcm.get());
    if (error < 0) return Fail(OpenErrorCode(error), L"cannot start", error);
    drained = 0;
    lostCount = false;
    lastLook = std::chrono::steady_clock::now();
    position.store(0);
    streaming.store(true);
    return MMSYSERR_NOERROR;
  }

  void StopStream() {
    std::lock_guard<std::mutex> lock(pcmMutex);
    if (!streaming.load()) return;
    snd_pcm_drop(pcm.get());
    streaming.store(false);
  }

  // Hands every queued buffer back, marked done, in queue order.
  void ReturnBuffers() {
    for (;;) {
      WaveHeader* header = nullptr;
      {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (queue.empty()) break;
        header = queue.front();
        queue.pop_front();
        header->bytesRecorded = frontFilled;
        frontFilled = 0;
        header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
      }
      callback(this, WIM_DATA, header);
    }
  }

  void WaitForSound() {
    for (pollfd& descriptor : pollDescriptors) descriptor.revents = 0;
    ::poll(pollDescriptors.data(), pollDescriptors.size(), pollTimeoutMilliseconds);
    if ((pollDescriptors.back().revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      (void)!::read(wakeDescriptor, &count, sizeof count);
    }
  }

  // Moves what the ring buffer holds into the queued buffers; a buffer that fills comes back
  // through the callback. A broken stream (overrun, suspend, device gone) ends the run: the
  // buffers come back early, and the stream is not prepared again behind the caller's back.
  void Drain() {
    std::vector<WaveHeader*> filled;
    int failure = 0;
    {
      readerWaiting.store(true);
      std::lock_guard<std::mutex> lock(pcmMutex);
      readerWaiting.store(false);
      if (!streaming.load()) return;
      unsigned short revents = 0;
      snd_pcm_poll_descriptors_revents(pcm.get(), pollDescriptors.data(),
                                       static_cast<unsigned>(pollDescriptors.size() - 1), &revents);
      for (;;) {
        const snd_pcm_sframes_t available = Available();
        if (available < 0) {
          failure = static_cast<int>(available);
          break;
        }
        Publish(drained + static_cast<std::uint64_t>(available));
        if (available == 0) break;

        WaveHeader* header = nullptr;
        std::uint32_t filledBytes = 0;
        {
          std::lock_guard<std::mutex> stateLock(stateMutex);
          if (!queue.empty()) header = queue.front();
          filledBytes = frontFilled;
        }
        std::uint8_t* target = scratch;
        std::size_t room = sizeof scratch;
        if (header != nullptr) {
          target = header->data + filledBytes;
          room = header->bufferLength - filledBytes;
        }
        const auto wanted = std::min<std::size_t>(room, static_cast<std::size_t>(available));
        const snd_pcm_sframes_t read = snd_pcm_readi(pcm.get(), target, wanted);
        if (read == -EAGAIN) break;
        if (read < 0) {
          failure = static_cast<int>(read);
          break;
        }
        drained += static_cast<std::uint64_t>(read);
        if (header == nullptr) continue;
        std::lock_guard<std::mutex> stateLock(stateMutex);
        frontFilled += static_cast<std::uint32_t>(read);
        if (frontFilled == header->bufferLength) {
          queue.pop_front();
          header->bytesRecorded = frontFilled;
          header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
          frontFilled = 0;
          filled.push_back(header);
        }
      }
      if (failure == 0 && snd_pcm_state(pcm.get()) == SND_PCM_STATE_XRUN) failure = -EPIPE;
      if (failure != 0) {
        Fail(MMSYSERR_ERROR,
             lostCount ? L"the recording broke off: the ring buffer went unread too long"
                       : L"the recording broke off",
             lostCount ? 0 : failure);
        snd_pcm_drop(pcm.get());
        streaming.store(false);
      }
    }
    for (WaveHeader* header : filled) callback(this, WIM_DATA, header);
    // The count stays where the stream broke.
    if (failure != 0) ReturnBuffers();
  }

  // Under pcmMutex: frames waiting in the ring buffer, or a negative error. A full ring
  // buffer, or one that went unwatched for too long, counts as an overrun even when the plugin
  // does not say so, since its count may have lost samples.
  snd_pcm_sframes_t Available() {
    const auto now = std::chrono::steady_clock::now();
    if (watchUnread && now - lastLook > longestUnwatched) lostCount = true;
    lastLook = now;
    if (lostCount) return -EPIPE;
    const snd_pcm_sframes_t available = snd_pcm_avail(pcm.get());
    if (available >= 0 && static_cast<snd_pcm_uframes_t>(available) >= ringFrames) {
      lostCount = true;
      return -EPIPE;
    }
    return available;
  }

  // Under pcmMutex. The count never runs backwards, even if a plugin's avail does.
  std::uint64_t Publish(std::uint64_t count) {
    const std::uint64_t previous = position.load();
    if (count < previous) return previous;
    position.store(count);
    return count;
  }

  std::uint64_t CurrentPosition() {
    // While the reader waits for the lock it gets it: a caller polling in a tight loop would
    // otherwise win every race for it and hold up the draining.
    if (!streaming.load() || readerWaiting.load()) return position.load();
    std::lock_guard<std::mutex> lock(pcmMutex);
    if (!streaming.load()) return position.load();
    const snd_pcm_sframes_t available = Available();
    // A broken stream keeps its last count; the reader ends the run.
    if (available < 0) {
      Wake();
      return position.load();
    }
    return Publish(drained + static_cast<std::uint64_t>(available));
  }

  const std::string pcmName;
  const unsigned rate;
  const unsigned periodMicroseconds;
  const WaveInCompletion callback;
  const std::shared_ptr<ErrorDetails> errors;
  NormalThread thread;
  int wakeDescriptor = -1;
  bool closed = false;  // the opening thread's own

  // Commands from the opening thread and the buffer queue.
  std::mutex stateMutex;
  std::condition_variable stateChanged;
  Command pendingCommand = Command::None;
  bool commandDone = false;
  MMResult commandResult = MMSYSERR_NOERROR;
  bool threadRunning = false;
  std::deque<WaveHeader*> queue;
  std::uint32_t frontFilled = 0;  // bytes already in queue.front()

  // ALSA calls on one stream must not overlap: the device thread and position queries take
  // pcmMutex for them.
  std::mutex pcmMutex;
  PcmHandle pcm;
  std::uint64_t drained = 0;  // frames read from the ring buffer since Start
  snd_pcm_uframes_t ringFrames = 0;
  std::chrono::duration<double> longestUnwatched{0};
  bool watchUnread = true;  // no card below the plugin: its pointer may wrap unnoticed
  bool stamped = false;     // the driver stamps the count (see Open)
  mutable std::once_flag delayWanderKnown;
  mutable double delayWander = 0.0;  // see DelayWanderSeconds
  std::chrono::steady_clock::time_point lastLook;
  bool lostCount = false;
  std::atomic<bool> streaming{false};
  std::atomic<bool> readerWaiting{false};
  std::atomic<std::uint64_t> position{0};

  // The device thread's own.
  std::vector<pollfd> pollDescriptors;
  int pollTimeoutMilliseconds = kPollTimeoutMilliseconds;
  std::uint8_t scratch[kScratchBytes];
};

struct DeviceEntry {
  std::string pcmName;
  std::wstring productName;
};

std::string TakeHint(void* hint, const char* field) {
  char* value = snd_device_name_get_hint(hint, field);
  if (value == nullptr) return std::string();
  std::string text(value);
  std::free(value);
  return text;
}

// Hardware capture devices in card and device order, named "<pcm> (<card>)".
void ListHardwareDevices(std::vector<std::string>& pcmNames, std::vector<std::wstring>& names) {
  snd_ctl_card_info_t* cardInfo = nullptr;
  snd_pcm_info_t* pcmInfo = nullptr;
  if (snd_ctl_card_info_malloc(&cardInfo) < 0) return;
  if (snd_pcm_info_malloc(&pcmInfo) < 0) {
    snd_ctl_card_info_free(cardInfo);
    return;
  }
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    snd_ctl_t* control = nullptr;
    const std::string controlName = "hw:" + std::to_string(card);
    if (snd_ctl_open(&control, controlName.c_str(), 0) < 0) continue;
    if (snd_ctl_card_info(control, cardInfo) < 0) {
      snd_ctl_close(control);
      continue;
    }
    const std::string cardId = snd_ctl_card_info_get_id(cardInfo);
    const std::wstring cardName = FromUtf8(snd_ctl_card_info_get_name(cardInfo));
    int device = -1;
    while (snd_ctl_pcm_next_device(control, &device) == 0 && device >= 0) {
      snd_pcm_info_set_device(pcmInfo, static_cast<unsigned>(device));
      snd_pcm_info_set_subdevice(pcmInfo, 0);
      snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_CAPTURE);
      if (snd_ctl_pcm_info(control, pcmInfo) < 0) continue;  // playback only
      // By card id rather than number, so a card that appears meanwhile does not shift it.
      pcmNames.push_back("plughw:CARD=" + cardId + ",DEV=" + std::to_string(device));
      std::wstring name = HardwareDeviceName(cardName, FromUtf8(snd_pcm_info_get_name(pcmInfo)));
      if (name.empty()) name = FromUtf8("hw:" + cardId + "," + std::to_string(device));
      names.push_back(name);
    }
    snd_ctl_close(control);
  }
  snd_pcm_info_free(pcmInfo);
  snd_ctl_card_info_free(cardInfo);
}

// The sound servers' devices that ALSA's configuration offers for recording, in a fixed order.
// Only the configuration is read: opening them to find out would connect to (or start) a
// server and could take long.
void ListServerDevices(std::vector<std::string>& pcmNames, std::vector<std::wstring>& names) {
  struct Server {
    const char* pcmName;
    const wchar_t* fallbackName;  // when the description is missing or too long to read well
  };
  static const Server servers[] = {
      {"pulse", L"PulseAudio Sound Server"},
      {"pipewire", L"PipeWire Sound Server"},
      {"default", L"Default Input"},
  };
  std::map<std::string, std::string> descriptions;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0) return;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    const std::string name = TakeHint(*hint, "NAME");
    const std::string direction = TakeHint(*hint, "IOID");
    if (!direction.empty() && direction != "Input") continue;
    if (descriptions.count(name) == 0) descriptions[name] = TakeHint(*hint, "DESC");
  }
  snd_device_name_free_hint(hints);
  for (const Server& server : servers) {
    const auto found = descriptions.find(server.pcmName);
    if (found == descriptions.end()) continue;
    std::wstring name = FirstLine(FromUtf8(found->second));
    if (name.empty() || name.size() > kMaxProductNameChars) name = server.fallbackName;
    pcmNames.push_back(server.pcmName);
    names.push_back(name);
  }
}

std::wstring BaseErrorText(MMResult code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return L"The operation succeeded.";
    case MMSYSERR_ERROR:
      return L"The recording device reported an error.";
    case MMSYSERR_BADDEVICEID:
      return L"The recording device does not exist (any more).";
    case MMSYSERR_ALLOCATED:
      return L"The recording device is in use by another program.";
    case MMSYSERR_INVALHANDLE:
      return L"The recording device is not open.";
    case MMSYSERR_NODRIVER:
      return L"No driver or sound server answers for the recording device.";
    case MMSYSERR_NOMEM:
      return L"There is not enough memory for the recording device.";
    case MMSYSERR_INVALFLAG:
      return L"The recording device does not support an open flag that was given.";
    case MMSYSERR_INVALPARAM:
      return L"A parameter given to the recording device is invalid.";
    case WAVERR_BADFORMAT:
      return L"The recording device cannot record in this format at this sample rate "
             L"without resampling.";
    case WAVERR_STILLPLAYING:
      return L"The buffer is still queued on the recording device.";
    case WAVERR_UNPREPARED:
      return L"The buffer has not been prepared.";
    default:
      return L"Unknown error " + std::to_wstring(code) + L".";
  }
}

}  // namespace

struct AlsaAudio::Impl {
  std::once_flag listed;
  std::vector<DeviceEntry> devices;
  std::shared_ptr<ErrorDetails> errors = std::make_shared<ErrorDetails>();
  std::atomic<unsigned> periodMicroseconds{kPeriodMicroseconds};

  // Once per run, so ids stay the same while the program runs.
  const std::vector<DeviceEntry>& Devices() {
    std::call_once(listed, [this] {
      std::vector<std::string> pcmNames;
      std::vector<std::wstring> names;
      ListHardwareDevices(pcmNames, names);
      ListServerDevices(pcmNames, names);
      const std::vector<std::wstring> productNames = MakeProductNames(names);
      for (std::size_t i = 0; i < pcmNames.size(); ++i) {
        devices.push_back(DeviceEntry{pcmNames[i], productNames[i]});
      }
    });
    return devices;
  }
};

AlsaAudio::AlsaAudio() : impl(std::make_unique<Impl>()) {
  static std::once_flag handlerInstalled;
  std::call_once(handlerInstalled, [] { snd_lib_error_set_handler(&KeepAlsaMessage); });
}

AlsaAudio::~AlsaAudio() = default;

std::uint32_t AlsaAudio::GetNumDevs() { return static_cast<std::uint32_t>(impl->Devices().size()); }

MMResult AlsaAudio::GetDevCaps(std::uint32_t deviceId, WaveInCaps& caps) {
  const auto& devices = impl->Devices();
  if (deviceId >= devices.size()) return MMSYSERR_BADDEVICEID;
  caps.productName = devices[deviceId].productName;
  return MMSYSERR_NOERROR;
}

MMResult AlsaAudio::Open(std::unique_ptr<WaveInDevice>& device, std::uint32_t deviceId,
                         const WaveFormat& format, WaveInCompletion callback, std::uint32_t flags) {
  // Every sample reaches this program unresampled anyway, so WAVE_FORMAT_DIRECT is met as
  // asked; WAVE_ALLOWSYNC means nothing for an input.
  constexpr std::uint32_t kKnownFlags = CALLBACK_FUNCTION | WAVE_FORMAT_DIRECT | WAVE_ALLOWSYNC;
  if ((flags & ~kKnownFlags) != 0 || (flags & CALLBACK_FUNCTION) == 0) {
    return MMSYSERR_INVALFLAG;
  }
  if (!callback) return MMSYSERR_INVALPARAM;
  const auto& devices = impl->Devices();
  if (deviceId >= devices.size()) return MMSYSERR_BADDEVICEID;
  if (format.formatTag != WAVE_FORMAT_PCM || format.channels != 1 || format.bitsPerSample != 8 ||
      format.blockAlign != 1 || format.samplesPerSec == 0 ||
      format.avgBytesPerSec != format.samplesPerSec) {
    impl->errors->Set(WAVERR_BADFORMAT, L"only 8-bit mono PCM is recorded");
    return WAVERR_BADFORMAT;
  }
  auto opened = std::make_unique<AlsaWaveIn>(devices[deviceId].pcmName, format.samplesPerSec,
                                             impl->periodMicroseconds.load(), std::move(callback),
                                             impl->errors);
  const MMResult result = opened->Launch();
  if (result != MMSYSERR_NOERROR) return result;
  device = std::move(opened);
  return MMSYSERR_NOERROR;
}

void AlsaAudio::PreferStepSeconds(double seconds) {
  // Within what the ring buffer and a timely stall check allow.
  impl->periodMicroseconds = static_cast<unsigned>(std::clamp(seconds, 0.001, 0.1) * 1e6);
}

std::vector<std::uint32_t> AlsaAudio::GetNativeRates(std::uint32_t deviceId) {
  static constexpr std::uint32_t kUsualRates[] = {8000,  11025, 16000, 22050,  32000, 44100,
                                                  48000, 88200, 96000, 176400, 192000};
  const auto& devices = impl->Devices();
  if (deviceId >= devices.size()) return {};
  snd_pcm_t* opened = nullptr;
  if (snd_pcm_open(&opened, devices[deviceId].pcmName.c_str(), SND_PCM_STREAM_CAPTURE,
                   SND_PCM_NONBLOCK) < 0) {
    return {};
  }
  PcmHandle handle(opened);
  std::vector<std::uint32_t> rates;
  snd_pcm_info_t* info = nullptr;
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_info_alloca(&info);
  snd_pcm_hw_params_alloca(&hw);
  // Only a card's driver knows its clock's rates; a server's plugin accepts them all.
  if (snd_pcm_info(handle.get(), info) < 0 || snd_pcm_info_get_card(info) < 0) return {};
  if (snd_pcm_hw_params_any(handle.get(), hw) < 0 ||
      snd_pcm_hw_params_set_rate_resample(handle.get(), hw, 0) < 0) {
    return {};
  }
  for (const std::uint32_t rate : kUsualRates) {
    if (snd_pcm_hw_params_test_rate(handle.get(), hw, rate, 0) == 0) rates.push_back(rate);
  }
  return rates;
}

std::wstring AlsaAudio::GetErrorText(MMResult code) {
  std::wstring text = BaseErrorText(code);
  const std::wstring detail = impl->errors->Get(code);
  if (!detail.empty()) text += L" (" + detail + L")";
  return text;
}

}  // namespace veltrane
