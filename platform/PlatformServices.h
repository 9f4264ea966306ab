#pragma once
// The operating-system services one run of the program uses, chosen by a front end and
// handed down; nothing below the front ends knows which back end it runs on.

#include <memory>

#include "platform/Audio.h"
#include "platform/Clock.h"
#include "platform/Scheduler.h"

namespace veltrane {

struct PlatformServices {
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Scheduler> scheduler;
  std::shared_ptr<Audio> audio;
  // How many times faster than real time the program's time runs (1 normally).
  // Window timers divide their periods by it.
  double timeScale = 1.0;
};

}  // namespace veltrane
