#include "platform/linux/AlsaAudio.h"
#include "startup/NativeBackEnds.h"
#include "platform/linux/PosixClock.h"
#include "platform/linux/PosixScheduler.h"

namespace veltrane {

std::shared_ptr<Clock> MakeNativeClock() { return std::make_shared<PosixClock>(); }
std::shared_ptr<Scheduler> MakeNativeScheduler() { return std::make_shared<PosixScheduler>(); }
std::shared_ptr<Audio> MakeNativeAudio() { return std::make_shared<AlsaAudio>(); }

}  // namespace veltrane
