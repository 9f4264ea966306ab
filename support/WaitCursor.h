#pragma once
// The wait cursor, behind a seam so that code without a GUI can ask for it. The GUI
// installs its hooks at start-up; until then both calls do nothing. GUI thread only.

#include <functional>

namespace veltrane {

void SetWaitCursorHooks(std::function<void()> begin, std::function<void()> end);
void BeginWaitCursor();
void EndWaitCursor();

}  // namespace veltrane
