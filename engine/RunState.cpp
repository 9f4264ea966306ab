#include "engine/RunState.h"

#include <chrono>
#include <utility>

namespace veltrane {

RunState::RunState(PlatformServices services, std::int32_t deviceId, std::int32_t nominalRate)
    : services(std::move(services)), deviceId(deviceId), nominalRate(nominalRate) {}

void RunState::SetTarget(PostHandler newPost, BoxRequest newBox) {
  std::lock_guard lock(mutex);
  post = std::move(newPost);
  box = std::move(newBox);
}

void RunState::ClearTarget() {
  {
    std::lock_guard lock(mutex);
    post = nullptr;
    box = nullptr;
    ++targetGeneration;
  }
  changed.notify_all();
}

bool RunState::Post(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  // Held while queueing, so ClearTarget cannot return while a post is on its way.
  std::lock_guard lock(mutex);
  if (!post) return false;
  post(PostedMessage{message, wParam, lParam});
  return true;
}

void RunState::ShowMessageBox(const std::wstring& text, MessageIcon icon) {
  auto answered = std::make_shared<bool>(false);
  std::unique_lock lock(mutex);
  if (!box) return;
  const std::uint64_t generation = targetGeneration;
  box(text, icon, [this, answered] {
    {
      std::lock_guard doneLock(mutex);
      *answered = true;
    }
    changed.notify_all();
  });
  changed.wait(lock, [&] { return *answered || targetGeneration != generation; });
}

void RunState::MarkWorkerEnded() {
  {
    std::lock_guard lock(mutex);
    workerEnded = true;
  }
  changed.notify_all();
}

bool RunState::WaitForWorkerEnd(std::uint32_t timeoutMs) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return workerEnded.load(); });
}

}  // namespace veltrane
