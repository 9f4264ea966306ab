#include "engine/fit/AdaptiveRateFit.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/Robust.h"

// How the fit is chosen.
//
// The seen time is the true step instant plus a delay. What that delay looks like decides which
// line is closest to the truth: late looks with a long tail leave only the lowest points worth
// following (RateFit's lower edge); symmetric scatter (a device's own stamps, USB packets that
// come early as often as late) is best averaged by least squares; a delay that is nearly
// constant with a sharp lower edge (an idle computer polling) is best met by the lower hull,
// whose few lowest points lie far closer to the truth than block lows do.
//
// Regimes first. The typical delay above each block's low (the median height over the block's
// own lowest point) is a few hundred microseconds on an idle computer and milliseconds on a busy
// one; where its logarithm changes by more than kRegimeRatio between stretches of blocks, far
// beyond its scatter from block to block, a new stretch with an offset of its own begins there.
// A busy stretch's lows stand higher than a calm one's, and with one offset for both they would
// tilt the line. Regimes of one kind (calm before and after a busy while) share their line.
//
// Then, in each kind of regime, each fit's error is judged from the data and the smallest wins;
// the kinds' slopes are weighted by how well each is known. The lower edge has its own
// band (RateFit). Least squares has the standard error of its slope, read off the residuals'
// spectrum (SlopeVariance): a delay that repeats with a sound server's cycle scatters far more
// point by point than it moves the slope. The hull is tried only under a sharp edge
// (EdgeSharpness). The hull's error shrinks with the number of points at a rate that depends on how
// sharp the lower edge is (up to one over the count for a sharp edge, one over its square root for
// a soft one, hardly at all for a blurred one), so it is measured: hulls of interleaved subsets of
// 1/2, 1/4 and 1/8 of the points scatter by amounts whose trend, drawn back to the whole set, gives
// the whole hull's error.

namespace veltrane {
namespace {

using Point = AdaptiveRateFit::Point;
using Starts = std::vector<std::size_t>;  // index of each stretch's first point

// As RateFit's blocks, so that the regimes are judged on what the lower edge rests on.
constexpr std::size_t kBlockCount = 40;
constexpr std::size_t kMinStepsPerBlock = 4;

// A regime must span some blocks to be told from a block that happened to be unlucky.
constexpr std::size_t kMinRegimeBlocks = 3;
// A change of the typical delay by half again is far more than a sound server's wander moves it
// and far less than a busy computer's latency does (four times and more).
constexpr double kRegimeRatio = 1.5;
// And it must stand out from the blocks' own scatter by this many standard errors: among the
// few hundred stretches tried in a run, chance does not come near.
constexpr double kRegimeZ = 6.0;
// A run rarely changes character more than a few times; each level of search finds up to two.
constexpr int kRegimeDepth = 3;
// The blocks' typical delays scatter by at least this much (in their logarithm), so that an
// exact line, whose delays are all alike, is never cut.
constexpr double kLeastRegimeScatter = 0.05;

// The hull replaces the fit chosen so far only when its error is this much smaller: its error,
// drawn back from subsets, is the least certain, and where they are alike the choice would
// follow that noise and favour the luckiest. Least squares' error is known well enough to need
// no such margin.
constexpr double kClearlyBetter = 1.2;

// Above this, the lower edge is too soft for the hull (see EdgeSharpness): an idle computer's
// runs give about 1, a busy one's 2.5 and more.
constexpr double kSharpEdge = 1.8;

// Two-sided 98 % band, as RateFit's.
constexpr double kBandZ = 2.3263;
// The hull's error comes from a trend over three subset sizes whose subsets overlap between
// interleavings; it is known about as well as from eight independent ones, so its band takes the
// Student t quantile of 98 % at 8 degrees of freedom instead (2.896 / kBandZ).
constexpr double kHullBandWidening = 2.896 / kBandZ;

// The least squares slope's error is read off the residuals' spectrum (see SlopeVariance): below
// this many cycles per run it is taken as flat, which is all that a run can tell of its slowest
// wander, and above it each frequency's power is averaged with its neighbours within this ratio.
constexpr double kFlatCycles = 12.0;
constexpr double kSmoothingRatio = 1.25;
constexpr std::size_t kLeastSquaresPoints = 64;
// The slope's error rests mostly on that flat band, whose kFlatCycles cycles give two degrees of
// freedom each, so its band takes the Student t quantile of 98 % at 24 of them.
constexpr double kLeastSquaresBandWidening = 2.492 / kBandZ;

// Subset sizes for the hull's error and how many interleavings of each; 32 subsets at each size.
struct Subsets {
  std::size_t count;
  std::size_t interleavings;
};
constexpr Subsets kHullSubsets[] = {{2, 16}, {4, 8}, {8, 4}};
// Fewer points than this in a subset say nothing of the whole.
constexpr std::size_t kLeastSubsetPoints = 16;

std::size_t StretchEnd(const Starts& starts, std::size_t s, std::size_t n) {
  return s + 1 < starts.size() ? starts[s + 1] : n;
}

struct Block {
  std::size_t begin, end;
  std::size_t stretch;
};

std::vector<Block> MakeBlocks(const Starts& starts, std::size_t n) {
  const std::size_t perBlock = std::max(kMinStepsPerBlock, n / kBlockCount);
  std::vector<Block> blocks;
  for (std::size_t s = 0; s < starts.size(); ++s) {
    const std::size_t count = StretchEnd(starts, s, n) - starts[s];
    const std::size_t cut = std::max<std::size_t>(1, count / perBlock);
    for (std::size_t j = 0; j < cut; ++j) {
      blocks.push_back({starts[s] + j * count / cut, starts[s] + (j + 1) * count / cut, s});
    }
  }
  return blocks;
}

// Logarithm of the typical delay above the block's lowest point, against a line of this slope.
double TypicalDelay(const std::vector<Point>& points, const Block& block, double slope) {
  std::vector<double> heights;
  for (std::size_t i = block.begin; i < block.end; ++i) {
    heights.push_back(points[i].seconds - slope * points[i].frames);
  }
  const double low = *std::min_element(heights.begin(), heights.end());
  for (double& h : heights) h -= low;
  return std::log(Median(heights) + 1e-9);
}

// Finds the stretch [i, j) of blocks within [lo, hi) whose typical delays differ most from the
// rest's, keeps its ends when they differ as kRegimeRatio and kRegimeZ ask, and looks again
// within each piece. A stretch may touch lo or hi: then it is a single change.
void FindChanges(const std::vector<double>& delay, std::size_t lo, std::size_t hi, double scatter,
                 int depth, std::vector<std::size_t>& changes) {
  const std::size_t n = hi - lo;
  if (depth == 0 || n < 2 * kMinRegimeBlocks) return;
  std::vector<double> sum(n + 1, 0.0);
  for (std::size_t k = 0; k < n; ++k) sum[k + 1] = sum[k] + delay[lo + k];
  double bestZ = 0.0, bestDiff = 0.0;
  std::size_t bestI = 0, bestJ = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + kMinRegimeBlocks; j <= n; ++j) {
      const std::size_t inside = j - i, outside = n - inside;
      if (outside < kMinRegimeBlocks) continue;
      const double in = (sum[j] - sum[i]) / inside;
      const double out = (sum[n] - sum[j] + sum[i]) / outside;
      const double z = std::fabs(in - out) / (scatter * std::sqrt(1.0 / inside + 1.0 / outside));
      if (z > bestZ) bestZ = z, bestDiff = in - out, bestI = i, bestJ = j;
    }
  }
  if (bestZ < kRegimeZ || std::fabs(bestDiff) < std::log(kRegimeRatio)) return;
  if (bestI > 0) changes.push_back(lo + bestI);
  if (bestJ < n) changes.push_back(lo + bestJ);
  FindChanges(delay, lo, lo + bestI, scatter, depth - 1, changes);
  FindChanges(delay, lo + bestI, lo + bestJ, scatter, depth - 1, changes);
  FindChanges(delay, lo + bestJ, hi, scatter, depth - 1, changes);
}

// The caller's stretches, cut again where the delay's character changes.
Starts RegimeStarts(const std::vector<Point>& points, const Starts& starts, double slope) {
  const std::vector<Block> blocks = MakeBlocks(starts, points.size());
  std::vector<double> delay(blocks.size());
  for (std::size_t k = 0; k < blocks.size(); ++k) delay[k] = TypicalDelay(points, blocks[k], slope);
  std::vector<double> steps;
  for (std::size_t k = 1; k < blocks.size(); ++k) {
    if (blocks[k].stretch == blocks[k - 1].stretch)
      steps.push_back(std::fabs(delay[k] - delay[k - 1]));
  }
  if (steps.empty()) return starts;
  const double scatter =
      std::max(kLeastRegimeScatter, kMadToSigma * Median(steps) / std::sqrt(2.0));
  std::vector<std::size_t> changes;
  for (std::size_t lo = 0; lo < blocks.size();) {
    std::size_t hi = lo;
    while (hi < blocks.size() && blocks[hi].stretch == blocks[lo].stretch) ++hi;
    FindChanges(delay, lo, hi, scatter, kRegimeDepth, changes);
    lo = hi;
  }
  Starts cut = starts;
  for (std::size_t k : changes) cut.push_back(blocks[k].begin);
  std::sort(cut.begin(), cut.end());
  cut.erase(std::unique(cut.begin(), cut.end()), cut.end());
  return cut;
}

struct Line {
  bool ok = false;
  double slope = 0.0;   // seconds per frame
  double stdErr = 0.0;  // of the slope, before any allowance for a wandering delay
};

// Discrete Fourier transforms of one size, a power of two, in place, radix 2. Written here:
// Debian has FFTW for this system only, not for the Windows cross build.
class Fourier {
 public:
  explicit Fourier(std::size_t size) : size(size), cosines(size / 2), sines(size / 2) {
    // A quarter of the cosines, the rest by symmetry: most of the cost is in these calls.
    const std::size_t quarter = size / 4;
    std::vector<double> c(quarter + 1);
    for (std::size_t k = 0; k <= quarter; ++k)
      c[k] = std::cos(2.0 * M_PI * static_cast<double>(k) / static_cast<double>(size));
    for (std::size_t k = 0; k < size / 2; ++k) {
      cosines[k] = k <= quarter ? c[k] : -c[size / 2 - k];
      sines[k] = -(k <= quarter ? c[quarter - k] : c[k - quarter]);
    }
  }
  std::size_t Size() const { return size; }

  void Transform(std::vector<std::complex<double>>& a) const {
    for (std::size_t i = 1, j = 0; i < size; ++i) {
      std::size_t bit = size >> 1;
      for (; j & bit; bit >>= 1) j ^= bit;
      j ^= bit;
      if (i < j) std::swap(a[i], a[j]);
    }
    // The products by hand: std::complex's guard against infinities makes them calls.
    double* x = reinterpret_cast<double*>(a.data());
    // The first stage's factor is 1: sums and differences only.
    for (std::size_t i = 0; i < 2 * size; i += 4) {
      const double re = x[i + 2], im = x[i + 3];
      x[i + 2] = x[i] - re, x[i + 3] = x[i + 1] - im;
      x[i] += re, x[i + 1] += im;
    }
    for (std::size_t len = 4; len <= size; len <<= 1) {
      const std::size_t stride = size / len, half = len / 2;
      for (std::size_t i = 0; i < size; i += len) {
        double* u = x + 2 * i;
        double* v = u + 2 * half;
        for (std::size_t k = 0, t = 0; k < half; ++k, t += stride, u += 2, v += 2) {
          const double c = cosines[t], s = sines[t];
          const double v0 = v[0], v1 = v[1], u0 = u[0], u1 = u[1];
          const double re = v0 * c - v1 * s, im = v0 * s + v1 * c;
          v[0] = u0 - re, v[1] = u1 - im;
          u[0] = u0 + re, u[1] = u1 + im;
        }
      }
    }
  }

 private:
  std::size_t size;
  std::vector<double> cosines, sines;
};

// The transform of one size, made once for the whole program: its factors take thousands of
// calls of the library, and every estimate of a run asks for the same few sizes.
const Fourier& FourierOfSize(std::size_t size) {
  static std::mutex lock;
  static std::map<std::size_t, std::unique_ptr<const Fourier>> made;
  const std::lock_guard<std::mutex> held(lock);
  std::unique_ptr<const Fourier>& fourier = made[size];
  if (!fourier) fourier = std::make_unique<const Fourier>(size);
  return *fourier;
}

// What an estimate's many fits reuse rather than allocate afresh: the transform's buffer (large
// enough that each allocation would map fresh pages) and the hulls' work lists. Held by the
// estimate, not by the thread: built with MinGW, thread_local buffers here corrupted the heap
// as the measuring thread ended (Wine's heap caught it in free).
struct Scratch {
  struct Edge {
    double slope, weight;
  };
  std::vector<std::complex<double>> transformed;
  std::vector<Edge> edges;
  std::vector<std::size_t> hull;
};

// sum(weight power * power smoothed as kFlatCycles and kSmoothingRatio say), scaled so that
// white noise of unit variance gives sum(weight^2).
double WeightedPower(const std::vector<double>& weightPower, const std::vector<double>& power,
                     std::size_t n, std::size_t size) {
  const std::size_t half = size / 2;
  std::vector<double> sum(half + 2, 0.0);
  for (std::size_t k = 0; k <= half; ++k) sum[k + 1] = sum[k] + power[k];
  const double cyclesPerBin = static_cast<double>(n) / static_cast<double>(size);
  const auto bin = [&](double cycles) {
    return std::clamp<std::size_t>(static_cast<std::size_t>(cycles / cyclesPerBin), 1, half);
  };
  const std::size_t flat = bin(kFlatCycles);
  double total = 0.0;
  for (std::size_t k = 1; k <= half; ++k) {
    const double cycles = static_cast<double>(k) * cyclesPerBin;
    const std::size_t lo = k <= flat ? 1 : bin(cycles / kSmoothingRatio);
    const std::size_t hi = k <= flat ? flat : bin(cycles * kSmoothingRatio);
    const double smooth = (sum[hi + 1] - sum[lo]) / static_cast<double>(hi + 1 - lo);
    // Every bin but the last stands for its mirror image too.
    total += (k < half ? 2.0 : 1.0) * weightPower[k] * smooth;
  }
  return total / (static_cast<double>(n) * static_cast<double>(size));
}

// The power of two real sequences of the same length at each frequency from 0 to half the
// transform's size, from one transform: a as its real part, b as its imaginary.
void Powers(const std::vector<double>& a, const std::vector<double>& b, const Fourier& fourier,
            std::vector<std::complex<double>>& x, std::vector<double>& powerA,
            std::vector<double>& powerB) {
  const std::size_t size = fourier.Size();
  x.assign(size, {});
  for (std::size_t i = 0; i < a.size(); ++i) x[i] = {a[i], b[i]};
  fourier.Transform(x);
  const std::size_t half = size / 2;
  powerA.assign(half + 1, 0.0);
  powerB.assign(half + 1, 0.0);
  for (std::size_t k = 0; k <= half; ++k) {
    const std::complex<double> p = x[k], q = std::conj(x[(size - k) % size]);
    powerA[k] = std::norm((p + q) * 0.5);
    powerB[k] = std::norm((p - q) * 0.5);
  }
}

// sin(k * angle) for k from 0 on, by the recurrence of the sines of multiple angles: one
// call of the library for thousands of values.
std::vector<double> Sines(double angle, std::size_t count) {
  std::vector<double> sines(count, 0.0);
  const double twiceCosine = 2.0 * std::cos(angle);
  if (count > 1) sines[1] = std::sin(angle);
  for (std::size_t k = 2; k < count; ++k) sines[k] = twiceCosine * sines[k - 1] - sines[k - 2];
  return sines;
}

// The variance of sum(weight[i] * delay[i]) over runs that differ in the phase of every pattern
// in the delay, estimated from one run's residuals: the weights' power times the residuals'
// power, frequency by frequency. Where the delay is white this is the textbook
// sum(weight^2) * variance; where it repeats (a sound server's cycle beating against the steps)
// only what reaches the low frequencies that a line's weights respond to counts, which neither
// point-by-point scatter nor means over pieces of the run tell apart from noise; a delay that
// wanders slowly shows in the flat lowest band. The fit took the weights' own direction and each
// stretch's mean out of the residuals, and with them some of the low frequencies' power: what it
// took from white noise, computed from those directions' own spectra, is given back.
double SlopeVariance(const std::vector<double>& weight, const std::vector<double>& residual,
                     const Starts& starts, Scratch& scratch) {
  const std::size_t n = weight.size();
  std::size_t size = 1;
  while (size < n) size <<= 1;
  const Fourier& fourier = FourierOfSize(size);
  std::vector<double> weightPower, power, removed;
  Powers(weight, residual, fourier, scratch.transformed, weightPower, power);
  // The removed directions' power, each of unit length: the weights, and each stretch's
  // indicator, whose transform has a closed form (a Dirichlet kernel).
  double weightSquares = 0.0;
  for (double w : weight) weightSquares += w * w;
  removed.assign(size / 2 + 1, 0.0);
  for (std::size_t k = 0; k < removed.size(); ++k) removed[k] = weightPower[k] / weightSquares;
  const double angle = M_PI / static_cast<double>(size);
  const std::vector<double> below = Sines(angle, removed.size());
  for (std::size_t s = 0; s < starts.size(); ++s) {
    const std::size_t length = StretchEnd(starts, s, n) - starts[s];
    const std::vector<double> above = Sines(angle * static_cast<double>(length), removed.size());
    removed[0] += static_cast<double>(length);
    for (std::size_t k = 1; k < removed.size(); ++k)
      removed[k] += above[k] * above[k] / (below[k] * below[k] * static_cast<double>(length));
  }
  // What white noise of unit variance leaves at each frequency, beside what the run left.
  for (double& r : removed) r = static_cast<double>(n) - r;
  const double spectral = WeightedPower(weightPower, power, n, size);
  const double white = WeightedPower(weightPower, removed, n, size);
  return white > 0.0 ? spectral * (weightSquares / white) : spectral;
}

// Least squares through all points, one offset per stretch, with the standard error of its slope
// from the points' pulls on it (see below), times the batch-means factor for residuals that move
// together over long stretches.
Line LeastSquares(const std::vector<Point>& points, const Starts& starts, Scratch& scratch) {
  const std::size_t n = points.size();
  std::vector<double> meanFrames(starts.size()), meanSeconds(starts.size());
  std::vector<std::size_t> stretchOf(n);
  for (std::size_t s = 0; s < starts.size(); ++s) {
    long double f = 0.0L, t = 0.0L;
    const std::size_t end = StretchEnd(starts, s, n);
    for (std::size_t i = starts[s]; i < end; ++i)
      f += points[i].frames, t += points[i].seconds, stretchOf[i] = s;
    meanFrames[s] = static_cast<double>(f / (end - starts[s]));
    meanSeconds[s] = static_cast<double>(t / (end - starts[s]));
  }
  long double sxx = 0.0L, sxt = 0.0L;
  for (std::size_t i = 0; i < n; ++i) {
    const double df = points[i].frames - meanFrames[stretchOf[i]];
    sxx += df * df;
    sxt += df * (points[i].seconds - meanSeconds[stretchOf[i]]);
  }
  Line line;
  if (n < starts.size() + 2 || !(sxx > 0.0L)) return line;
  const double slope = static_cast<double>(sxt / sxx);
  std::vector<double> residual(n), weight(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double df = points[i].frames - meanFrames[stretchOf[i]];
    residual[i] = points[i].seconds - meanSeconds[stretchOf[i]] - slope * df;
    weight[i] = df / static_cast<double>(sxx);
  }
  if (n < kLeastSquaresPoints) return line;
  line.ok = slope > 0.0;
  line.slope = slope;
  line.stdErr =
      std::sqrt(SlopeVariance(weight, residual, starts, scratch)) * kLeastSquaresBandWidening;
  return line;
}

// What the LP envelope weighs for one stretch: its point count and how far its points lie,
// in frames, past its first one in all.
struct StretchWeight {
  double count = 0.0;
  double need = 0.0;
};

// By stretch, the points that may be vertices of its lower hull, as indices into `points` in
// order; the first and the last point of each stretch must be among them.
using HullCandidates = std::vector<std::vector<std::size_t>>;

// Above zero when p lies above the line from a through b (frames growing).
double Turn(const AdaptiveRateFit::Point& a, const AdaptiveRateFit::Point& b,
            const AdaptiveRateFit::Point& p) {
  return (b.frames - a.frames) * (p.seconds - a.seconds) -
         (b.seconds - a.seconds) * (p.frames - a.frames);
}

// The LP envelope (the line under all points with the least summed distance to them), one
// offset per stretch: its slope is that of the lower hull's edge at which the hull vertices,
// weighted by their stretch's point count, reach the stretches' mean position. The hull's
// edges, as pairs of indices, go to `hullEdges` when asked for.
using IndexPairs = std::vector<std::pair<std::size_t, std::size_t>>;
std::optional<double> EnvelopeSlope(const std::vector<Point>& points,
                                    const HullCandidates& candidates,
                                    const std::vector<StretchWeight>& weights, Scratch& scratch,
                                    IndexPairs* hullEdges = nullptr) {
  using Edge = Scratch::Edge;
  // An estimate asks for a few hundred subsets' envelopes: the lists are the scratch's.
  std::vector<Edge>& edges = scratch.edges;
  std::vector<std::size_t>& hull = scratch.hull;
  edges.clear();
  double need = 0.0;
  for (std::size_t s = 0; s < candidates.size(); ++s) {
    hull.clear();
    for (std::size_t i : candidates[s]) {
      const Point& p = points[i];
      while (hull.size() >= 2 &&
             !(Turn(points[hull[hull.size() - 2]], points[hull.back()], p) > 0.0)) {
        hull.pop_back();
      }
      hull.push_back(i);
    }
    need += weights[s].need;
    const std::ptrdiff_t before = static_cast<std::ptrdiff_t>(edges.size());
    for (std::size_t h = 1; h < hull.size(); ++h) {
      const Point& a = points[hull[h - 1]];
      const Point& b = points[hull[h]];
      edges.push_back({(b.seconds - a.seconds) / (b.frames - a.frames),
                       weights[s].count * (b.frames - a.frames)});
      if (hullEdges) hullEdges->emplace_back(hull[h - 1], hull[h]);
    }
    // A lower hull's edges rise in slope: each stretch's only needs merging with the others'.
    if (before > 0) {
      std::inplace_merge(edges.begin(), edges.begin() + before, edges.end(),
                         [](const Edge& x, const Edge& y) { return x.slope < y.slope; });
    }
  }
  if (edges.empty()) return std::nullopt;
  double reached = 0.0;
  for (const Edge& e : edges) {
    reached += e.weight;
    if (reached >= need) return e.slope;
  }
  return edges.back().slope;
}

std::optional<double> HullSlope(const std::vector<Point>& points, const Starts& starts,
                                Scratch& scratch) {
  HullCandidates all(starts.size());
  std::vector<StretchWeight> weights(starts.size());
  for (std::size_t s = 0; s < starts.size(); ++s) {
    const std::size_t begin = starts[s], end = StretchEnd(starts, s, points.size());
    weights[s].count = static_cast<double>(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      all[s].push_back(i);
      weights[s].need += points[i].frames - points[begin].frames;
    }
  }
  return EnvelopeSlope(points, all, weights, scratch);
}

// Which of `count` subsets point i of an interleaving falls in: scrambled, so that a delay that
// repeats every few steps (a sound server's cycle against the step period) spreads over all.
std::size_t SubsetOf(std::size_t i, std::uint64_t interleaving, std::size_t count) {
  std::uint64_t x = (static_cast<std::uint64_t>(i) + 1) * 0x9E3779B97F4A7C15ULL ^
                    (interleaving + 1) * 0xD1B54A32D192ED03ULL;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ULL;
  x ^= x >> 27;
  // The counts are powers of two, and a division costs more than the rest.
  return static_cast<std::size_t>((count & (count - 1)) == 0 ? x & (count - 1) : x % count);
}

// Only points low under the whole hull's line are likely vertices of a subset's hull: the
// subsets' hulls are found from the lowest this share and each subset's ends, and taken in
// more points only where a hull reaches higher (ExactSubsetSlope).
constexpr double kCandidateShare = 0.05;

// What the subsets' hulls share: each point's height over the whole hull's line, which points
// are low enough to be looked at, and each stretch's point count and mean position.
struct SubsetFrame {
  std::vector<double> heights;
  double lowLimit = 0.0;
  std::vector<std::size_t> low;            // indices of points no higher than lowLimit, in order
  std::vector<double> counts, meanFrames;  // by stretch
};

// Each point's height over the line of this slope through its stretch's lowest point.
std::vector<double> Heights(const std::vector<Point>& points, const Starts& starts, double slope) {
  std::vector<double> heights(points.size());
  for (std::size_t s = 0; s < starts.size(); ++s) {
    double floor = std::numeric_limits<double>::infinity();
    const std::size_t end = StretchEnd(starts, s, points.size());
    for (std::size_t i = starts[s]; i < end; ++i) {
      heights[i] = points[i].seconds - slope * points[i].frames;
      floor = std::min(floor, heights[i]);
    }
    for (std::size_t i = starts[s]; i < end; ++i) heights[i] -= floor;
  }
  return heights;
}

// The heights in an order in which the median stands at the middle and no height before it is
// higher: the lower quantiles are then looked for in the first half alone.
struct HeightOrder {
  std::vector<double> values;
  std::vector<double>::iterator Middle() {
    return values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  }
};

HeightOrder OrderHeights(const std::vector<double>& heights) {
  HeightOrder order{heights};
  std::nth_element(order.values.begin(), order.Middle(), order.values.end());
  return order;
}

SubsetFrame MakeSubsetFrame(const std::vector<Point>& points, const Starts& starts,
                            std::vector<double> heights, HeightOrder& order) {
  SubsetFrame frame;
  const std::size_t n = points.size();
  frame.heights = std::move(heights);
  for (std::size_t s = 0; s < starts.size(); ++s) {
    long double frames = 0.0L;
    const std::size_t end = StretchEnd(starts, s, n);
    for (std::size_t i = starts[s]; i < end; ++i) frames += points[i].frames;
    frame.counts.push_back(static_cast<double>(end - starts[s]));
    frame.meanFrames.push_back(static_cast<double>(frames / (end - starts[s])));
  }
  const auto cut = order.values.begin() + static_cast<std::ptrdiff_t>(kCandidateShare * (n - 1));
  std::nth_element(order.values.begin(), cut, order.Middle());
  frame.lowLimit = *cut;
  for (std::size_t i = 0; i < n; ++i) {
    if (frame.heights[i] <= frame.lowLimit) frame.low.push_back(i);
  }
  return frame;
}

// The points between points[from] and points[to] that `in` takes and that lie under the line
// through them, in order.
template <typename In>
std::vector<std::size_t> Under(const std::vector<Point>& points, std::size_t from, std::size_t to,
                               In in) {
  std::vector<std::size_t> under;
  for (std::size_t i = from + 1; i < to; ++i) {
    if (Turn(points[from], points[to], points[i]) < 0.0 && in(i)) under.push_back(i);
  }
  return under;
}

// One interleaving's subsets: by subset and stretch, the first and last point (kNone where the
// subset has none there) and the weights. A subset's points are scattered over its stretch as
// evenly as the whole's, so it is weighted as its share of the whole, measured from its own
// first point: the hull edge over the stretch's mean position, where its own points' mean
// lies but for chance, without looking at every point once for each interleaving.
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
struct Interleaving {
  std::uint64_t key = 0;
  std::size_t count = 0;
  std::vector<StretchWeight> weights;  // at subset * stretches + stretch
  std::vector<std::size_t> first, last;
  std::size_t Subset(std::size_t i) const { return SubsetOf(i, key, count); }
};

Interleaving MakeInterleaving(const std::vector<Point>& points, const Starts& starts,
                              const SubsetFrame& frame, std::size_t count,
                              std::uint64_t interleaving) {
  Interleaving v{interleaving, count, {}, {}, {}};
  const std::size_t stretches = starts.size();
  v.weights.resize(count * stretches);
  v.first.assign(count * stretches, kNone);
  v.last.assign(count * stretches, kNone);
  for (std::size_t s = 0; s < stretches; ++s) {
    const std::size_t begin = starts[s], end = StretchEnd(starts, s, points.size());
    // From each end inwards until every subset has shown itself, a few points mostly.
    std::size_t found = 0;
    for (std::size_t i = begin; i < end && found < count; ++i) {
      std::size_t& first = v.first[v.Subset(i) * stretches + s];
      if (first == kNone) first = i, ++found;
    }
    found = 0;
    for (std::size_t i = end; i > begin && found < count; --i) {
      std::size_t& last = v.last[v.Subset(i - 1) * stretches + s];
      if (last == kNone) last = i - 1, ++found;
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t at = k * stretches + s;
      if (v.first[at] == kNone) continue;
      v.weights[at].count = frame.counts[s] / static_cast<double>(count);
      v.weights[at].need = v.weights[at].count * (frame.meanFrames[s] - points[v.first[at]].frames);
    }
  }
  return v;
}

// The envelope slope of subset k from its low points and ends. Between two vertices no higher
// than the low points the hull stays no higher, so every point left out lies above it. Next
// to a higher vertex (a subset's end, mostly, always a vertex) a point left out may lie under
// the hull: the subset's points under that edge are taken in (those above it lie above the
// whole hull too) and the hull is found once more. That one is final: it lies nowhere above
// the first, and every point of the subset under the first is now among its own. So the
// slope is the one of all the subset's points.
std::optional<double> ExactSubsetSlope(const std::vector<Point>& points, const SubsetFrame& frame,
                                       const Interleaving& v, std::size_t k, HullCandidates kept,
                                       const std::vector<StretchWeight>& weights,
                                       Scratch& scratch) {
  const auto in = [&](std::size_t i) { return v.Subset(i) == k; };
  IndexPairs hullEdges;
  const std::optional<double> slope = EnvelopeSlope(points, kept, weights, scratch, &hullEdges);
  bool grown = false;
  for (const auto& [from, to] : hullEdges) {
    if (std::max(frame.heights[from], frame.heights[to]) <= frame.lowLimit) continue;
    const std::vector<std::size_t> under = Under(points, from, to, in);
    if (under.empty()) continue;
    // The stretch whose edge it is, by its ends.
    for (std::vector<std::size_t>& c : kept) {
      if (c.front() > from || c.back() < to) continue;
      std::vector<std::size_t> merged;
      std::set_union(c.begin(), c.end(), under.begin(), under.end(), std::back_inserter(merged));
      // Nothing new when the point under it lies on the hull but for rounding.
      grown = grown || merged.size() > c.size();
      c = std::move(merged);
      break;
    }
  }
  return grown ? EnvelopeSlope(points, kept, weights, scratch) : slope;
}

// The hull slopes of the `count` subsets of one interleaving; none when a subset is too small
// or gives no hull.
std::optional<std::vector<double>> SubsetSlopes(const std::vector<Point>& points,
                                                const Starts& starts, const SubsetFrame& frame,
                                                std::size_t count, std::uint64_t interleaving,
                                                Scratch& scratch) {
  if (points.size() / count < kLeastSubsetPoints) return std::nullopt;
  const Interleaving v = MakeInterleaving(points, starts, frame, count, interleaving);
  const std::size_t stretches = starts.size();
  // Each subset's low points and ends, stretch by stretch, in order.
  std::vector<HullCandidates> candidates(count, HullCandidates(stretches));
  std::size_t s = 0;
  for (std::size_t i : frame.low) {
    while (i >= StretchEnd(starts, s, points.size())) ++s;
    const std::size_t k = v.Subset(i), at = k * stretches + s;
    std::vector<std::size_t>& own = candidates[k][s];
    if (own.empty() && v.first[at] != i) own.push_back(v.first[at]);
    own.push_back(i);
  }
  std::vector<double> slopes;
  for (std::size_t k = 0; k < count; ++k) {
    std::vector<StretchWeight> weights;
    HullCandidates kept;
    for (std::size_t st = 0; st < stretches; ++st) {
      const std::size_t at = k * stretches + st;
      if (v.first[at] == kNone) continue;
      std::vector<std::size_t>& c = candidates[k][st];
      if (c.empty()) c.push_back(v.first[at]);
      if (c.back() != v.last[at]) c.push_back(v.last[at]);
      kept.push_back(std::move(c));
      weights.push_back(v.weights[at]);
    }
    const std::optional<double> slope =
        ExactSubsetSlope(points, frame, v, k, std::move(kept), weights, scratch);
    if (!slope) return std::nullopt;
    slopes.push_back(*slope);
  }
  return slopes;
}

// The scatter of the hull slopes of interleaved subsets of 1/count of the points, each
// interleaving about its own mean; 0 when a subset gives no hull.
double HullSubsetScatter(const std::vector<Point>& points, const Starts& starts,
                         const SubsetFrame& frame, Subsets subsets, Scratch& scratch) {
  double squares = 0.0;
  std::size_t dof = 0;
  for (std::uint64_t v = 0; v < subsets.interleavings; ++v) {
    const std::optional<std::vector<double>> slopes =
        SubsetSlopes(points, starts, frame, subsets.count, v, scratch);
    if (!slopes) return 0.0;
    double mean = 0.0;
    for (double s : *slopes) mean += s;
    mean /= static_cast<double>(slopes->size());
    for (double s : *slopes) squares += (s - mean) * (s - mean);
    dof += slopes->size() - 1;
  }
  return std::sqrt(squares / static_cast<double>(dof));
}

// The whole hull's error, drawn back from its subsets' scatter along their trend in the subset
// count (a power between 0 and 1, see the method note); 0 when there is too little to tell.
double HullStdErr(const std::vector<Point>& points, const Starts& starts, const SubsetFrame& frame,
                  Scratch& scratch) {
  double sumX = 0.0, sumY = 0.0, sumXX = 0.0, sumXY = 0.0;
  const double m = static_cast<double>(std::size(kHullSubsets));
  for (const Subsets& subsets : kHullSubsets) {
    const double scatter = HullSubsetScatter(points, starts, frame, subsets, scratch);
    if (!(scatter > 0.0)) return 0.0;
    const double x = std::log(static_cast<double>(subsets.count)), y = std::log(scatter);
    sumX += x, sumY += y, sumXX += x * x, sumXY += x * y;
  }
  const double power = std::clamp((sumXY - sumX * sumY / m) / (sumXX - sumX * sumX / m), 0.0, 1.0);
  return std::exp((sumY - power * sumX) / m);
}

// How sharp the lower edge under the hull line is: the mean height of the blocks' lows over the
// line, against what a delay spread evenly from zero up would leave (its median over half of
// one more than the steps per block). About 1 for such a delay; a soft edge (a busy computer's
// latency, jitter, a delay that moves along the run) leaves its lows far higher.
double EdgeSharpness(const std::vector<double>& heights, const Starts& starts, HeightOrder& order) {
  const std::vector<Block> blocks = MakeBlocks(starts, heights.size());
  double lows = 0.0;
  for (const Block& block : blocks) {
    lows += *std::min_element(heights.begin() + static_cast<std::ptrdiff_t>(block.begin),
                              heights.begin() + static_cast<std::ptrdiff_t>(block.end));
  }
  const double perBlock = static_cast<double>(heights.size()) / blocks.size();
  const double median = *order.Middle();
  return median > 0.0 ? lows / blocks.size() / median * (perBlock + 1.0) / 2.0
                      : std::numeric_limits<double>::infinity();
}

struct RegimeFit {
  bool ok = false;
  AdaptiveRateFit::Method method = AdaptiveRateFit::Method::kLowerEdge;
  double slope = 0.0;   // seconds per frame
  double stdErr = 0.0;  // such that kBandZ of them make the band, without the delay's wander
  std::size_t blocks = 0;
};

// One regime's points with the stretches the caller began in it: the lower edge unless another
// fit is better known, the hull only under a sharp edge.
RegimeFit FitRegime(const std::vector<Point>& points, const Starts& starts, double nominalRate,
                    Scratch& scratch) {
  using Method = AdaptiveRateFit::Method;
  RegimeFit fit;
  const RateEstimate edge = RateFit::EstimateOf(points, starts, nominalRate, 0.0);
  if (!edge.valid) return fit;
  fit.ok = true;
  fit.blocks = edge.blocks;
  fit.slope = 1.0 / (nominalRate * edge.ratio);
  // The band's own half-width (a t quantile) in slope, as a standard error at kBandZ.
  fit.stdErr = (1.0 / (nominalRate * (1.0 + edge.bandLowPpm * 1e-6)) - fit.slope) / kBandZ;
  const Line ls = LeastSquares(points, starts, scratch);
  if (ls.ok && ls.stdErr < fit.stdErr) {
    fit.method = Method::kLeastSquares;
    fit.slope = ls.slope;
    fit.stdErr = ls.stdErr;
  }
  const std::optional<double> hull = HullSlope(points, starts, scratch);
  if (!hull || !(*hull > 0.0)) return fit;
  std::vector<double> heights = Heights(points, starts, *hull);
  HeightOrder order = OrderHeights(heights);
  if (EdgeSharpness(heights, starts, order) > kSharpEdge) return fit;
  const double hullErr = HullStdErr(
      points, starts, MakeSubsetFrame(points, starts, std::move(heights), order), scratch);
  if (hullErr > 0.0 && hullErr * kClearlyBetter < fit.stdErr) {
    fit.method = Method::kLowerHull;
    fit.slope = *hull;
    fit.stdErr = hullErr * kHullBandWidening;
  }
  return fit;
}

// The points of regimes of one kind, in order, with a stretch of their own wherever the caller
// began one and wherever the caller began one in a regime of another kind between them.
struct Group {
  std::vector<Point> points;
  Starts starts;
  double delay = 0.0;   // the regimes' typical delay, as TypicalDelay gives it
  std::size_t end = 0;  // one past the last point taken, in the whole run
};

// Regimes whose typical delays lie within kRegimeRatio of each other, an idle computer's before
// and after a busy while, share one line: their lower edges stand alike, and together they span
// the run, which pins the slope far better than two halves that each bring their own offset.
std::vector<Group> Groups(const std::vector<Point>& points, const Starts& segmentStarts,
                          const Starts& starts, double framesPerSecond) {
  const std::size_t n = points.size();
  Starts cuts;  // where each regime begins
  for (std::size_t start : starts) {
    if (start == 0 || !std::binary_search(segmentStarts.begin(), segmentStarts.end(), start)) {
      cuts.push_back(start);
    }
  }
  if (cuts.size() == 1) return {{points, starts, 0.0, n}};
  std::vector<double> delay(cuts.size(), 0.0);
  std::vector<std::size_t> count(cuts.size(), 0);
  for (const Block& block : MakeBlocks(starts, n)) {
    const std::size_t r =
        std::upper_bound(cuts.begin(), cuts.end(), block.begin) - cuts.begin() - 1;
    delay[r] += TypicalDelay(points, block, 1.0 / framesPerSecond);
    ++count[r];
  }
  std::vector<Group> groups;
  for (std::size_t r = 0; r < cuts.size(); ++r) {
    const double own = delay[r] / static_cast<double>(std::max<std::size_t>(count[r], 1));
    Group* group = nullptr;
    for (Group& g : groups) {
      if (std::fabs(g.delay - own) < std::log(kRegimeRatio)) group = &g;
      if (group) break;
    }
    if (!group) {
      groups.push_back({});
      group = &groups.back();
      group->delay = own;
    }
    const std::size_t begin = cuts[r], end = r + 1 < cuts.size() ? cuts[r + 1] : n;
    for (std::size_t i = begin; i < end; ++i) {
      // A stretch begins with the group, at the caller's starts, and after a gap the caller
      // began a stretch in.
      const auto at =
          std::lower_bound(segmentStarts.begin(), segmentStarts.end(), i == begin ? group->end : i);
      if (group->points.empty() || (at != segmentStarts.end() && *at <= i)) {
        group->starts.push_back(group->points.size());
      }
      group->points.push_back(points[i]);
    }
    group->end = end;
  }
  return groups;
}

}  // namespace

AdaptiveRateFit::AdaptiveRateFit(double nominalRate) : nominalRate(nominalRate) {}

RateEstimate AdaptiveRateFit::LowerEdgeEstimate() const {
  return RateFit::EstimateOf(series.Points(), series.SegmentStarts(), nominalRate, delayWander);
}

AdaptiveRateFit::Choice AdaptiveRateFit::Analyse() const {
  const std::vector<Point>& points = series.Points();
  Choice choice;
  const std::vector<std::size_t>& segmentStarts = series.SegmentStarts();
  const RateEstimate first = LowerEdgeEstimate();
  choice.estimate = first;
  if (!first.valid) return choice;
  const Starts starts = RegimeStarts(points, segmentStarts, 1.0 / (nominalRate * first.ratio));
  choice.regimeChanges = starts.size() - segmentStarts.size();

  // Each kind of regime is fitted on its own, the way its delays call for; their slopes are
  // then weighted by how well each is known.
  double weights = 0.0, weighted = 0.0, mostWeight = 0.0;
  std::size_t blocks = 0;
  Scratch scratch;
  for (const Group& group : Groups(points, segmentStarts, starts, first.ratio * nominalRate)) {
    const RegimeFit fit = FitRegime(group.points, group.starts, nominalRate, scratch);
    if (!fit.ok) return choice;
    const double w = 1.0 / (fit.stdErr * fit.stdErr);
    weights += w;
    weighted += w * fit.slope;
    blocks += fit.blocks;
    if (w > mostWeight) mostWeight = w, choice.method = fit.method;
  }
  const double slope = weighted / weights;
  const double frameSpan = points.back().frames - points.front().frames;
  const double stdErr =
      std::hypot(1.0 / std::sqrt(weights), frameSpan > 0.0 ? delayWander / frameSpan : 0.0);
  const double half = kBandZ * stdErr;
  RateEstimate& e = choice.estimate;
  e.blocks = blocks;
  e.ratio = 1.0 / (nominalRate * slope);
  e.ppm = (e.ratio - 1.0) * 1e6;
  e.stdErrPpm = stdErr / slope * e.ratio * 1e6;
  e.bandLowPpm = (1.0 / (nominalRate * (slope + half)) - 1.0) * 1e6;
  e.bandHighPpm = slope > half ? (1.0 / (nominalRate * (slope - half)) - 1.0) * 1e6
                               : std::numeric_limits<double>::infinity();
  return choice;
}

}  // namespace veltrane
