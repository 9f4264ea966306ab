#pragma once
// One small pseudo-random generator (splitmix64) for simulated timings and the gaps between
// looks: fast, the same on every system and compiler, and repeatable, so runs with the same
// start give the same numbers. Not for anything that must be unpredictable.

#include <cstdint>

namespace veltrane {

constexpr std::uint64_t kSplitMixGamma = 0x9E3779B97F4A7C15ULL;

// The number that follows x, from x alone: so draw k of a sequence is SplitMix64(start + k)
// without walking through the draws before it.
constexpr std::uint64_t SplitMix64(std::uint64_t x) {
  x += kSplitMixGamma;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// The next number of the sequence that state walks; moves state on.
constexpr std::uint64_t NextSplitMix64(std::uint64_t& state) {
  const std::uint64_t next = SplitMix64(state);
  state += kSplitMixGamma;
  return next;
}

}  // namespace veltrane
