#pragma once
// The back ends of the system the program was built for, one source file per system.

#include <memory>

#include "platform/Audio.h"
#include "platform/Clock.h"
#include "platform/Scheduler.h"

namespace veltrane {

std::shared_ptr<Clock> MakeNativeClock();
std::shared_ptr<Scheduler> MakeNativeScheduler();
std::shared_ptr<Audio> MakeNativeAudio();

}  // namespace veltrane
