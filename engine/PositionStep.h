#pragma once
// Waiting for a step of the device's position counter, so that both ends of every interval lie
// on a step: the worker's reports, and every test that times a device the way it does.

#include <atomic>
#include <cstdint>
#include <functional>

#include "engine/Capture.h"
#include "platform/Audio.h"
#include "platform/Clock.h"

namespace veltrane {

// The pause between two looks at the position. A loop without any pause, at the highest
// priority on the worker's one processor, starves whatever else the kernel puts there, and
// the sound server that moves the position is among it: its steps then come up to 100 ms late
// (the kernel's real-time throttling lets it run for 50 ms a second). A pause this short lets
// it run and costs a step's detection a few tens of microseconds, about 0.1 ppm over 300 s.
constexpr std::uint32_t kPositionPollPauseUs = 20;

enum class StepWait { Stepped, StopRequested, Failed, Stalled };

// How a wait for a step ended and, when it stepped, where to, when it was seen and how far it
// moved; when a position query failed, its result.
struct StepSeen {
  StepWait wait = StepWait::Failed;
  std::uint32_t position = 0;
  double milliseconds = 0.0;
  std::uint32_t stepFrames = 0;
  MMResult error = MMSYSERR_NOERROR;
};

// Polls the position, pausing kPositionPollPauseUs between looks, until it moves away from the
// one it starts with, then reads readMilliseconds at once. Gives up when stopRequested is set
// or the counter stands still for stallSeconds. The counter is unsigned 32-bit: a step across
// its wrap is a step forward.
StepSeen WaitForPositionStep(WaveInDevice& device, Clock& clock,
                             const std::function<double()>& readMilliseconds,
                             const std::atomic<bool>& stopRequested,
                             double stallSeconds = kPositionStallSeconds);

}  // namespace veltrane
