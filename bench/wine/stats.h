// Order statistics for the benchmark programs' samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quolin::bench {

// The sample at quantile q (0 to 1) by the nearest rank; 0 for no samples.
inline double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
  return values[i];
}

}  // namespace quolin::bench
