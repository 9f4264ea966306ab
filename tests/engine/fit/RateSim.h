// Simulated position steps as a polling observer (or a device stamping its own steps) sees them,
// for checking RateFit against a known true rate.
#pragma once

#include <cstdint>
#include <vector>

namespace veltrane {

struct SimCase {
  double nominalRate = 44100.0;
  double ppm = 0.0;                 // true rate offset
  std::uint32_t stepFrames = 441;   // frames per step
  std::uint32_t stepFramesMax = 0;  // above stepFrames: each step's size drawn in between
  double jitterUs = 0.0;            // device step jitter (normal sd), clipped to 45 % of a step
  bool uniformJitter = false;       // jitter spread evenly over +-jitterUs instead, within a step
  double pollUs = 1000.0;           // observer sleep between looks
  double lateUs = 0.0;              // mean scheduling latency per look (exponential)
  double outlierRate = 0.0;         // chance per look of an extra 10-100 ms stall
  double busyFrom = 0.0;            // latency and stalls only from this part of the run
  double busyPart = 1.0;            // until this part of it
  double cycleUs = 0.0;             // > 0: a sound server hands steps over at its cycle's ticks
  double stampUs = -1.0;            // >= 0: the device stamps each step (normal sd), no polling
  double seconds = 60.0;
  std::uint32_t lostFrames = 0;  // frames silently lost at mid-run
};

struct SimStep {
  double seconds;
  std::uint64_t frames;
  bool newSegment;  // first step after the loss
};

std::vector<SimStep> Simulate(const SimCase& simCase, std::uint64_t randomStart);

// Other estimators on the same steps, for comparison; each honours segments (common slope).
double LeastSquaresPpm(const std::vector<SimStep>& steps, double nominalRate);  // all points
double FirstToLastPpm(const std::vector<SimStep>& steps, double nominalRate);   // pooled spans
double HullPpm(const std::vector<SimStep>& steps, double nominalRate);          // LP lower envelope

// Small portable generator so fixed random starts give the same runs with any standard library.
class SimRandom {
 public:
  explicit SimRandom(std::uint64_t randomStart);
  double Uniform();  // [0, 1)
  double Exponential(double mean);
  double Normal();

 private:
  std::uint64_t state[4];
};

}  // namespace veltrane
