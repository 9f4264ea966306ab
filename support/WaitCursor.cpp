#include "support/WaitCursor.h"

#include <utility>

namespace veltrane {
namespace {
std::function<void()> beginHook;
std::function<void()> endHook;
}  // namespace

void SetWaitCursorHooks(std::function<void()> begin, std::function<void()> end) {
  beginHook = std::move(begin);
  endHook = std::move(end);
}

void BeginWaitCursor() {
  if (beginHook) beginHook();
}

void EndWaitCursor() {
  if (endHook) endHook();
}

}  // namespace veltrane
