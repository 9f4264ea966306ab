#include "startup/NativeBackEnds.h"
#include "platform/windows/WaveInAudio.h"
#include "platform/windows/WindowsClock.h"
#include "platform/windows/WindowsScheduler.h"

namespace veltrane {

std::shared_ptr<Clock> MakeNativeClock() { return std::make_shared<WindowsClock>(); }
std::shared_ptr<Scheduler> MakeNativeScheduler() { return std::make_shared<WindowsScheduler>(); }
std::shared_ptr<Audio> MakeNativeAudio() { return std::make_shared<WaveInAudio>(); }

}  // namespace veltrane
