#include "tests/engine/fit/RateSim.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "base/Random.h"

namespace veltrane {
namespace {

// Timer slack and wake-up cost on top of every requested sleep on an idle Linux box; its spread
// is what keeps the look phase wandering against the step phase.
constexpr double kSleepOvershootUs = 50.0;
constexpr double kSleepOvershootSpreadUs = 30.0;

// Stalls of a busy computer that show up now and then: 10 to 100 ms.
constexpr double kOutlierMinUs = 10000.0;
constexpr double kOutlierMaxUs = 100000.0;

// Monotonic clocks of long-running machines read 1e5 s and more; the fit must cope.
constexpr double kClockStartSeconds = 1e5;

std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

double SlopePpm(double nominalRate, double secondsPerFrame) {
  return (1.0 / (nominalRate * secondsPerFrame) - 1.0) * 1e6;
}

// Points per segment, relative to the run's first step.
struct Pts {
  std::vector<std::vector<double>> frames, seconds;
};

Pts Split(const std::vector<SimStep>& steps) {
  Pts p;
  for (const SimStep& s : steps) {
    if (p.frames.empty() || s.newSegment) {
      p.frames.emplace_back();
      p.seconds.emplace_back();
    }
    p.frames.back().push_back(static_cast<double>(s.frames) - steps[0].frames);
    p.seconds.back().push_back(s.seconds - steps[0].seconds);
  }
  return p;
}

// Ordinary least squares on all points, common slope, one offset per segment.
double OlsSlope(const Pts& p) {
  long double sxx = 0, sxt = 0;
  for (std::size_t s = 0; s < p.frames.size(); ++s) {
    long double mf = 0, mt = 0;
    const std::size_t n = p.frames[s].size();
    for (std::size_t i = 0; i < n; ++i) mf += p.frames[s][i], mt += p.seconds[s][i];
    mf /= n, mt /= n;
    for (std::size_t i = 0; i < n; ++i) {
      sxx += (p.frames[s][i] - mf) * (p.frames[s][i] - mf);
      sxt += (p.frames[s][i] - mf) * (p.seconds[s][i] - mt);
    }
  }
  return static_cast<double>(sxt / sxx);
}

double FirstLastSlope(const Pts& p) {
  double dt = 0, df = 0;
  for (std::size_t s = 0; s < p.frames.size(); ++s) {
    dt += p.seconds[s].back() - p.seconds[s].front();
    df += p.frames[s].back() - p.frames[s].front();
  }
  return dt / df;
}

// The LP envelope (Moon-Skelly-Towsley): the line under all points minimising the summed
// distance to them, common slope, per-segment offsets. Its slope is the lower-hull edge slope at
// which the count-weighted active hull vertices reach the mean position.
double HullSlope(const Pts& p) {
  struct Edge {
    double slope, weight;
  };
  std::vector<Edge> edges;
  double need = 0;
  for (std::size_t s = 0; s < p.frames.size(); ++s) {
    const auto& f = p.frames[s];
    const auto& t = p.seconds[s];
    std::vector<std::size_t> hull;
    for (std::size_t i = 0; i < f.size(); ++i) {
      while (hull.size() >= 2) {
        const std::size_t a = hull[hull.size() - 2], b = hull.back();
        const double cross = (f[b] - f[a]) * (t[i] - t[a]) - (t[b] - t[a]) * (f[i] - f[a]);
        if (cross > 0) break;
        hull.pop_back();
      }
      hull.push_back(i);
    }
    const double n = static_cast<double>(f.size());
    for (double x : f) need += x - f[0];
    for (std::size_t h = 1; h < hull.size(); ++h) {
      const std::size_t a = hull[h - 1], b = hull[h];
      edges.push_back({(t[b] - t[a]) / (f[b] - f[a]), n * (f[b] - f[a])});
    }
  }
  std::sort(edges.begin(), edges.end(),
            [](const Edge& x, const Edge& y) { return x.slope < y.slope; });
  double reached = 0;
  for (const Edge& e : edges) {
    reached += e.weight;
    if (reached >= need) return e.slope;
  }
  return edges.empty() ? 0.0 : edges.back().slope;
}

}  // namespace

SimRandom::SimRandom(std::uint64_t randomStart) {
  for (auto& s : state) s = NextSplitMix64(randomStart);
}

double SimRandom::Uniform() {  // xoshiro256**
  const std::uint64_t result = Rotl(state[1] * 5, 7) * 9;
  const std::uint64_t t = state[1] << 17;
  state[2] ^= state[0];
  state[3] ^= state[1];
  state[1] ^= state[2];
  state[0] ^= state[3];
  state[2] ^= t;
  state[3] = Rotl(state[3], 45);
  return static_cast<double>(result >> 11) * 0x1.0p-53;
}

double SimRandom::Exponential(double mean) { return -mean * std::log1p(-Uniform()); }

double SimRandom::Normal() {
  const double u = 1.0 - Uniform();
  return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * Uniform());
}

std::vector<SimStep> Simulate(const SimCase& c, std::uint64_t randomStart) {
  SimRandom random(randomStart);
  const double trueRate = c.nominalRate * (1.0 + c.ppm * 1e-6);
  const double start = kClockStartSeconds + 1000.0 * random.Uniform();
  const double end = start + c.seconds;
  const double lossAt = start + 0.5 * c.seconds;
  const std::uint64_t firstFrames = static_cast<std::uint64_t>(1e6 * random.Uniform()) + 1000000;

  const double cycle = c.cycleUs * 1e-6;
  // Drawn only when there is a cycle, so that the other cases keep their runs.
  const double cycleStart = c.cycleUs > 0.0 ? start - cycle * random.Uniform() : start;

  // Device side: the k-th step lands at its true instant plus clipped jitter.
  std::uint64_t elapsed = 0;  // frames since start
  auto nextStep = [&](double& at, std::uint64_t& frames) {
    std::uint32_t size = c.stepFrames;
    if (c.stepFramesMax > c.stepFrames) {
      size += static_cast<std::uint32_t>((c.stepFramesMax - c.stepFrames + 1) * random.Uniform());
    }
    elapsed += size;
    const double clip = (c.uniformJitter ? 0.5 : 0.45) * size / trueRate;
    const double draw = c.uniformJitter ? 2.0 * random.Uniform() - 1.0 : random.Normal();
    const double jitter = std::clamp(c.jitterUs * 1e-6 * draw, -clip, clip);
    at = start + elapsed / trueRate + jitter;
    // The server runs its cycle on the computer's clock; a step waits for the next tick.
    if (c.cycleUs > 0.0) at = cycleStart + std::ceil((at - cycleStart) / cycle) * cycle;
    frames = firstFrames + elapsed;
    if (at >= lossAt) frames -= c.lostFrames;
  };

  std::vector<SimStep> seen;
  seen.reserve(static_cast<std::size_t>(c.seconds * trueRate / c.stepFrames) + 16);
  std::uint64_t lastFrames = firstFrames;
  bool lossSeen = false;
  auto record = [&](double at, std::uint64_t frames, double stepAt) {
    if (frames <= lastFrames) return;  // a loss stalls the counter until it catches up
    const bool afterLoss = c.lostFrames > 0 && stepAt >= lossAt;
    seen.push_back({at, frames, afterLoss && !lossSeen});
    lossSeen = lossSeen || afterLoss;
    lastFrames = frames;
  };

  double stepAt = 0.0;
  std::uint64_t stepFrames = 0;
  nextStep(stepAt, stepFrames);
  if (c.stampUs >= 0.0) {
    while (stepAt < end) {
      record(stepAt + c.stampUs * 1e-6 * random.Normal(), stepFrames, stepAt);
      nextStep(stepAt, stepFrames);
    }
    return seen;
  }

  // Observer side: look, then stamp the clock after any scheduling latency, then sleep.
  double look = start + c.pollUs * 1e-6 * random.Uniform();
  double shownAt = start;  // step instant of the position the counter shows
  std::uint64_t shown = firstFrames;
  while (look < end) {
    while (stepAt <= look) {
      shown = stepFrames;
      shownAt = stepAt;
      nextStep(stepAt, stepFrames);
    }
    const bool busy =
        look >= start + c.busyFrom * c.seconds && look < start + c.busyPart * c.seconds;
    double late = busy && c.lateUs > 0.0 ? random.Exponential(c.lateUs) : 0.0;
    if (busy && c.outlierRate > 0.0 && random.Uniform() < c.outlierRate) {
      late += kOutlierMinUs + (kOutlierMaxUs - kOutlierMinUs) * random.Uniform();
    }
    const double stamp = look + late * 1e-6;
    record(stamp, shown, shownAt);
    look =
        stamp + 1e-6 * (c.pollUs + kSleepOvershootUs + random.Exponential(kSleepOvershootSpreadUs));
  }
  return seen;
}

double LeastSquaresPpm(const std::vector<SimStep>& steps, double nominalRate) {
  return SlopePpm(nominalRate, OlsSlope(Split(steps)));
}

double FirstToLastPpm(const std::vector<SimStep>& steps, double nominalRate) {
  return SlopePpm(nominalRate, FirstLastSlope(Split(steps)));
}

double HullPpm(const std::vector<SimStep>& steps, double nominalRate) {
  return SlopePpm(nominalRate, HullSlope(Split(steps)));
}

}  // namespace veltrane
