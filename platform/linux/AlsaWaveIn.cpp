#include "platform/linux/AlsaWaveIn.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "base/NormalThread.h"
#include "base/Text.h"
#include "platform/linux/AlsaPcm.h"
#include "platform/linux/SoundServer.h"

namespace veltrane {
namespace {

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
// Starved for some seconds by programs that kept both processors busy, PulseAudio's null sink
// delivered 0.15 to 0.3 ms later from then on, and stayed so once they were done: the runs
// tilted by as much as 0.16 to 0.52 ms over their length (bench/adaptive-fit.md). PipeWire,
// with a build beside it, stayed within its own allowance.
constexpr double kStarvedServerDelayWanderSeconds = 300e-6;
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

class AlsaWaveIn final : public WaveInDevice {
 public:
  AlsaWaveIn(const AlsaCalls& calls, AlsaStreamRequest request, WaveInCompletion callback,
             std::shared_ptr<ErrorDetails> errors)
      : calls(calls),
        request(std::move(request)),
        callback(std::move(callback)),
        errors(std::move(errors)),
        pcm(calls) {}

  ~AlsaWaveIn() override {
    if (!closed) Shutdown();
  }

  // Opens the stream on the device's own thread; the result of the open and the set-up.
  MMResult Launch() {
    wakeDescriptor = calls.eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeDescriptor < 0) {
      errors->Set(MMSYSERR_ERROR, L"eventfd: " + FromUtf8(std::strerror(errno)));
      closed = true;
      return MMSYSERR_ERROR;
    }
    threadRunning = true;
    if (!calls.startThread(thread, [this] { Run(); })) {
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
      if (!pcm.WatchUnread()) return;
      // PipeWire's own ALSA device, or PipeWire behind the PulseAudio one.
      const bool pipeWire = request.pcmName.find("pipewire") != std::string::npos ||
                            IsPipeWire(SoundServerName());
      delayWander = pipeWire ? kPipeWireDelayWanderSeconds : kServerDelayWanderSeconds;
      busyDelayWander = pipeWire ? kPipeWireDelayWanderSeconds : kStarvedServerDelayWanderSeconds;
    });
    return delayWander;
  }

  double BusyDelayWanderSeconds() const override {
    DelayWanderSeconds();
    return busyDelayWander;
  }

  bool GetStampedPosition(std::uint32_t& samples, std::int64_t& counter) override;

  // The opening thread. A buffer still queued keeps the device open, as waveInClose does: the
  // caller resets first and gets it back.
  MMResult Close() override {
    if (closed) return MMSYSERR_INVALHANDLE;
    {
      std::lock_guard<std::mutex> lock(stateMutex);
      if (!queue.empty()) return WAVERR_STILLPLAYING;
    }
    Shutdown();
    return MMSYSERR_NOERROR;
  }

 private:
  enum class Command { None, Start, Reset, Quit };

  MMResult Send(Command command);
  void Shutdown();
  void Wake();
  void Acknowledge(MMResult result);
  void Run();
  void Quit();
  MMResult Fail(MMResult code, const std::wstring& what, const char* call, int error);
  MMResult OpenStream();
  MMResult StartStream();
  void StopStream();
  void ReturnBuffers();
  void WaitForSound();
  void Drain();
  int DrainLocked(std::vector<WaveHeader*>& filled);
  snd_pcm_sframes_t ReadInto(snd_pcm_sframes_t available, std::vector<WaveHeader*>& filled);
  snd_pcm_sframes_t Available();
  std::uint64_t Publish(std::uint64_t count);
  std::uint64_t CurrentPosition();

  const AlsaCalls& calls;
  const AlsaStreamRequest request;
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
  AlsaPcm pcm;
  std::uint64_t drained = 0;  // frames read from the ring buffer since Start
  std::chrono::duration<double> longestUnwatched{0};
  mutable std::once_flag delayWanderKnown;
  mutable double delayWander = 0.0;      // see DelayWanderSeconds
  mutable double busyDelayWander = 0.0;  // see BusyDelayWanderSeconds
  std::chrono::steady_clock::time_point lastLook;
  bool lostCount = false;
  std::atomic<bool> streaming{false};
  std::atomic<bool> readerWaiting{false};
  std::atomic<std::uint64_t> position{0};

  // The device thread's own.
  std::vector<pollfd> pollDescriptors;  // the stream's, then the wake-up descriptor
  int pollTimeoutMilliseconds = kPollTimeoutMilliseconds;
  std::uint8_t scratch[kScratchBytes];
};

bool AlsaWaveIn::GetStampedPosition(std::uint32_t& samples, std::int64_t& counter) {
  if (closed || !pcm.Stamped() || !streaming.load() || readerWaiting.load()) return false;
  std::lock_guard<std::mutex> lock(pcmMutex);
  if (!streaming.load()) return false;
  snd_pcm_status_t* status = nullptr;
  snd_pcm_status_alloca(&status);
  if (calls.snd_pcm_status(pcm.Handle(), status) < 0 ||
      snd_pcm_status_get_state(status) != SND_PCM_STATE_RUNNING) {
    return false;
  }
  snd_htimestamp_t stamp{};
  snd_pcm_status_get_htstamp(status, &stamp);
  const snd_pcm_uframes_t available = snd_pcm_status_get_avail(status);
  if ((stamp.tv_sec == 0 && stamp.tv_nsec == 0) || available >= pcm.RingFrames()) return false;
  samples = static_cast<std::uint32_t>(Publish(drained + available));
  counter = static_cast<std::int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
  return true;
}

// The opening thread.
MMResult AlsaWaveIn::Send(Command command) {
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

void AlsaWaveIn::Shutdown() {
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

void AlsaWaveIn::Wake() {
  const std::uint64_t one = 1;
  if (wakeDescriptor >= 0) (void)!::write(wakeDescriptor, &one, sizeof one);
}

// The device thread from here on.

void AlsaWaveIn::Acknowledge(MMResult result) {
  std::lock_guard<std::mutex> lock(stateMutex);
  pendingCommand = Command::None;
  commandResult = result;
  commandDone = true;
  stateChanged.notify_all();
}

void AlsaWaveIn::Run() {
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
      case Command::Quit:
        Quit();
        return;
      case Command::None:
        WaitForSound();
        Drain();
        break;
    }
  }
}

// Stops, hands back what is still queued (a device destroyed while recording), closes the
// stream and says the thread is done.
void AlsaWaveIn::Quit() {
  StopStream();
  ReturnBuffers();
  {
    std::lock_guard<std::mutex> lock(pcmMutex);
    pcm.Close();
  }
  std::lock_guard<std::mutex> lock(stateMutex);
  threadRunning = false;
  pendingCommand = Command::None;
  commandResult = MMSYSERR_NOERROR;
  commandDone = true;
  stateChanged.notify_all();
}

MMResult AlsaWaveIn::Fail(MMResult code, const std::wstring& what, const char* call, int error) {
  errors->Set(code, FailureDetail(request.pcmName, what, call, error));
  return code;
}

MMResult AlsaWaveIn::OpenStream() {
  const MMResult opened = pcm.Open(request.pcmName, request.rate, request.periodMicroseconds);
  if (opened != MMSYSERR_NOERROR) {
    errors->Set(opened, pcm.FailureText());
    return opened;
  }
  longestUnwatched = std::chrono::duration<double>(
      kLongestUnwatchedFraction * static_cast<double>(pcm.RingFrames()) / request.rate);
  // Quiet streams are looked at often enough for the watch.
  pollTimeoutMilliseconds = std::clamp(
      static_cast<int>(std::chrono::duration<double, std::milli>(longestUnwatched).count() / 4),
      1, kPollTimeoutMilliseconds);
  pollDescriptors = pcm.PollDescriptors();
  pollDescriptors.push_back(pollfd{wakeDescriptor, POLLIN, 0});
  return MMSYSERR_NOERROR;
}

MMResult AlsaWaveIn::StartStream() {
  std::lock_guard<std::mutex> lock(pcmMutex);
  if (streaming.load()) return MMSYSERR_NOERROR;
  ClearAlsaMessage();
  // After a Reset or a failed run the stream is set up again from the start: a new count,
  // not a continuation of the old one.
  if (calls.snd_pcm_state(pcm.Handle()) != SND_PCM_STATE_PREPARED) {
    const int error = calls.snd_pcm_prepare(pcm.Handle());
    if (error < 0) return Fail(OpenErrorCode(error), L"cannot start", "snd_pcm_prepare", error);
  }
  const int error = calls.snd_pcm_start(pcm.Handle());
  if (error < 0) return Fail(OpenErrorCode(error), L"cannot start", "snd_pcm_start", error);
  drained = 0;
  lostCount = false;
  lastLook = std::chrono::steady_clock::now();
  position.store(0);
  streaming.store(true);
  return MMSYSERR_NOERROR;
}

void AlsaWaveIn::StopStream() {
  std::lock_guard<std::mutex> lock(pcmMutex);
  if (!streaming.load()) return;
  calls.snd_pcm_drop(pcm.Handle());
  streaming.store(false);
}

// Hands every queued buffer back, marked done, in queue order.
void AlsaWaveIn::ReturnBuffers() {
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

void AlsaWaveIn::WaitForSound() {
  for (pollfd& descriptor : pollDescriptors) descriptor.revents = 0;
  calls.poll(pollDescriptors.data(), pollDescriptors.size(), pollTimeoutMilliseconds);
  if ((pollDescriptors.back().revents & POLLIN) != 0) {
    std::uint64_t count = 0;
    (void)!::read(wakeDescriptor, &count, sizeof count);
  }
}

// Moves what the ring buffer holds into the queued buffers; a buffer that fills comes back
// through the callback. A broken stream (overrun, suspend, device gone) ends the run: the
// buffers come back early, and the stream is not prepared again behind the caller's back.
void AlsaWaveIn::Drain() {
  std::vector<WaveHeader*> filled;
  int failure = 0;
  {
    readerWaiting.store(true);
    std::lock_guard<std::mutex> lock(pcmMutex);
    readerWaiting.store(false);
    if (!streaming.load()) return;
    unsigned short revents = 0;
    calls.snd_pcm_poll_descriptors_revents(pcm.Handle(), pollDescriptors.data(),
                                           static_cast<unsigned>(pollDescriptors.size() - 1),
                                           &revents);
    failure = DrainLocked(filled);
    if (failure == 0 && calls.snd_pcm_state(pcm.Handle()) == SND_PCM_STATE_XRUN) failure = -EPIPE;
    if (failure != 0) {
      Fail(MMSYSERR_ERROR,
           lostCount ? L"the recording broke off: the ring buffer went unread too long"
                     : L"the recording broke off",
           nullptr, lostCount ? 0 : failure);
      calls.snd_pcm_drop(pcm.Handle());
      streaming.store(false);
    }
  }
  for (WaveHeader* header : filled) callback(this, WIM_DATA, header);
  // The count stays where the stream broke.
  if (failure != 0) ReturnBuffers();
}

// Under pcmMutex: reads until the ring buffer is empty. 0, or the error that broke the stream.
int AlsaWaveIn::DrainLocked(std::vector<WaveHeader*>& filled) {
  for (;;) {
    const snd_pcm_sframes_t available = Available();
    if (available < 0) return static_cast<int>(available);
    Publish(drained + static_cast<std::uint64_t>(available));
    if (available == 0) return 0;
    const snd_pcm_sframes_t read = ReadInto(available, filled);
    if (read == -EAGAIN) return 0;
    if (read < 0) return static_cast<int>(read);
  }
}

// Under pcmMutex: reads what fits into the front buffer (or the scratch space when none is
// queued); a buffer that fills moves to filled. The frames read, or a negative error.
snd_pcm_sframes_t AlsaWaveIn::ReadInto(snd_pcm_sframes_t available,
                                       std::vector<WaveHeader*>& filled) {
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
  const snd_pcm_sframes_t read = calls.snd_pcm_readi(pcm.Handle(), target, wanted);
  if (read < 0) return read;
  drained += static_cast<std::uint64_t>(read);
  if (header == nullptr) return read;
  std::lock_guard<std::mutex> stateLock(stateMutex);
  frontFilled += static_cast<std::uint32_t>(read);
  if (frontFilled == header->bufferLength) {
    queue.pop_front();
    header->bytesRecorded = frontFilled;
    header->flags = (header->flags & ~WHDR_INQUEUE) | WHDR_DONE;
    frontFilled = 0;
    filled.push_back(header);
  }
  return read;
}

// Under pcmMutex: frames waiting in the ring buffer, or a negative error. A full ring
// buffer, or one that went unwatched for too long, counts as an overrun even when the plugin
// does not say so, since its count may have lost samples.
snd_pcm_sframes_t AlsaWaveIn::Available() {
  const auto now = std::chrono::steady_clock::now();
  if (pcm.WatchUnread() && now - lastLook > longestUnwatched) lostCount = true;
  lastLook = now;
  if (lostCount) return -EPIPE;
  const snd_pcm_sframes_t available = calls.snd_pcm_avail(pcm.Handle());
  if (available >= 0 && static_cast<snd_pcm_uframes_t>(available) >= pcm.RingFrames()) {
    lostCount = true;
    return -EPIPE;
  }
  return available;
}

// Under pcmMutex. The count never runs backwards, even if a plugin's avail does.
std::uint64_t AlsaWaveIn::Publish(std::uint64_t count) {
  const std::uint64_t previous = position.load();
  if (count < previous) return previous;
  position.store(count);
  return count;
}

std::uint64_t AlsaWaveIn::CurrentPosition() {
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

}  // namespace

MMResult OpenAlsaWaveIn(const AlsaCalls& calls, const AlsaStreamRequest& request,
                        WaveInCompletion callback, std::shared_ptr<ErrorDetails> errors,
                        std::unique_ptr<WaveInDevice>& device) {
  auto opened = std::make_unique<AlsaWaveIn>(calls, request, std::move(callback), std::move(errors));
  const MMResult result = opened->Launch();
  if (result != MMSYSERR_NOERROR) return result;
  device = std::move(opened);
  return MMSYSERR_NOERROR;
}

}  // namespace veltrane
