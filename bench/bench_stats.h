// What both benchmarks share: the order in which the clients run in a round,
// and the spread of a set of measurements.
#pragma once

#include <algorithm>
#include <vector>

namespace solvane::bench {

// Clients 0..count-1 forwards in even rounds and backwards in odd ones
// (A B, B A, ...): over an even number of rounds each client runs as often
// before every other as after it, so neither a warming nor a cooling machine
// favours one of them.
inline std::vector<int> RoundOrder(int round, int count) {
  std::vector<int> order;
  for (int k = 0; k < count; ++k) order.push_back(round % 2 == 0 ? k : count - 1 - k);
  return order;
}

struct Spread {
  double min = 0;
  double median = 0;
  double max = 0;
};

inline Spread SpreadOf(std::vector<double> values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return {values.front(), median, values.back()};
}

}  // namespace solvane::bench
