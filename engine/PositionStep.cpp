#include "engine/PositionStep.h"

#include <cmath>

namespace veltrane {

StepSeen WaitForPositionStep(WaveInDevice& device, Clock& clock,
                             const std::function<double()>& readMilliseconds,
                             const std::atomic<bool>& stopRequested, double stallSeconds) {
  std::uint32_t noted = 0;
  MMResult result = device.GetPositionSamples(noted);
  const double waitStart = readMilliseconds();
  for (;;) {
    std::uint32_t now = 0;
    if (result == MMSYSERR_NOERROR) result = device.GetPositionSamples(now);
    if (result != MMSYSERR_NOERROR) return {StepWait::Failed, 0, 0.0, 0, result};
    if (now != noted) {
      const double milliseconds = readMilliseconds();
      return {StepWait::Stepped, now, milliseconds, now - noted};
    }
    if (stopRequested.load(std::memory_order_relaxed)) return {StepWait::StopRequested};
    clock.Pause(kPositionPollPauseUs);
    if (std::fabs(readMilliseconds() - waitStart) > stallSeconds * 1000.0) {
      return {StepWait::Stalled};
    }
  }
}

}  // namespace veltrane
