#pragma once
// Small robust statistics shared by the fits: medians, which a minority of wild points leave
// alone. No wxWidgets.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane {

// Median absolute deviation to standard deviation, for normal scatter.
constexpr double kMadToSigma = 1.4826;

// The upper median; values must not be empty.
inline double Median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// The most common value, the smallest of equals; 0 for none. The typical step of a position
// counter, from the gaps between the steps seen: a look now and then misses a step, which only
// makes some gaps a multiple of it.
inline std::uint32_t MostCommon(std::vector<std::uint32_t> values) {
  std::sort(values.begin(), values.end());
  std::uint32_t best = 0;
  std::size_t bestCount = 0;
  for (std::size_t i = 0; i < values.size();) {
    std::size_t j = i;
    while (j < values.size() && values[j] == values[i]) ++j;
    if (j - i > bestCount) {
      best = values[i];
      bestCount = j - i;
    }
    i = j;
  }
  return best;
}

}  // namespace veltrane
