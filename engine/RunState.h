#pragma once
// What the calibration worker shares with the dialog. Both own it, so a worker that outlives
// the dialog never touches freed memory: every post and every message box of the worker and
// of the audio callback goes through here, and once the dialog has let go (ClearTarget) they
// are dropped.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/Messages.h"
#include "support/MessageBox.h"
#include "platform/PlatformServices.h"

namespace veltrane {

class RunState {
 public:
  // Queues a message for the dialog's thread. Must be safe to call from any thread.
  using PostHandler = std::function<void(const PostedMessage&)>;
  // A box that the dialog's thread shows on the worker's behalf. The handler queues the
  // request and returns; the dialog calls done() once the box is closed.
  using BoxRequest = std::function<void(const std::wstring& text, MessageIcon icon,
                                        std::function<void()> done)>;

  RunState(PlatformServices services, std::int32_t deviceId, std::int32_t nominalRate);

  // Dialog's thread: where posts and boxes go from now on.
  void SetTarget(PostHandler post, BoxRequest box);
  // Dialog's thread, before the dialog goes: later posts are dropped and a worker waiting
  // for a box goes on.
  void ClearTarget();

  // Any thread. False when the dialog has gone and the message was dropped.
  bool Post(std::uint32_t message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

  // Worker thread: shows a box on the dialog's thread and waits until it is closed, or
  // returns at once when the dialog has gone (or goes while waiting).
  void ShowMessageBox(const std::wstring& text, MessageIcon icon);

  // Worker thread, last act: lets whoever waits for the worker know that it has ended.
  void MarkWorkerEnded();
  // Any thread.
  bool WorkerEnded() const { return workerEnded.load(); }
  // Waits up to timeoutMs of real time for the worker to end; true when it has.
  bool WaitForWorkerEnd(std::uint32_t timeoutMs);

  const PlatformServices services;
  const std::int32_t deviceId;
  const std::int32_t nominalRate;

  // Set once, from 0 to 1, by the dialog's thread; polled by the worker.
  std::atomic<bool> stopRequested{false};
  // Set by the thread that opens the device when the device refused the format, which here
  // means the rate (the rest is fixed): a bad parameter rather than a failed device.
  std::atomic<bool> rateRefused{false};

 private:
  // Recursive: a box handler may answer at once, from inside ShowMessageBox.
  mutable std::recursive_mutex mutex;
  std::condition_variable_any changed;
  PostHandler post;
  BoxRequest box;
  std::uint64_t targetGeneration = 0;  // counts ClearTarget calls, so waiters see a clear
  std::atomic<bool> workerEnded{false};
};

}  // namespace veltrane
