// The spread of rollout draws: 100,000 fresh draws (as many installations),
// how many land in each tenth of the 32-bit range and how many a share of
// 10 %, 20 %, ... 100 % reaches. Exits 1 when a tenth is off by more than
// one point of the whole. Run by scripts/bench.sh rollout.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "release/release_choice.h"

int main(int argc, char** argv) {
  const long draws = argc > 1 ? std::atol(argv[1]) : 100000;
  if (draws <= 0) return 2;
  long tenths[10] = {};
  long reached[10] = {};
  for (long i = 0; i < draws; ++i) {
    const std::uint32_t draw = solvane::DrawForRollout();
    ++tenths[static_cast<std::uint64_t>(draw) * 10 >> 32];
    for (int share = 1; share <= 10; ++share) {
      if (solvane::DrawCovered(draw, share * 10.0)) ++reached[share - 1];
    }
  }
  double worst = 0;
  std::printf("%ld draws\ntenth   draws   share of all   off by (points)\n", draws);
  for (int t = 0; t < 10; ++t) {
    const double share = 100.0 * static_cast<double>(tenths[t]) / static_cast<double>(draws);
    worst = std::fmax(worst, std::fabs(share - 10.0));
    std::printf("%2d      %6ld  %6.3f %%       %+.3f\n", t + 1, tenths[t], share, share - 10.0);
  }
  std::printf("rollout share   reached\n");
  for (int s = 0; s < 10; ++s) {
    std::printf("%3d %%           %6.3f %%\n", (s + 1) * 10,
                100.0 * static_cast<double>(reached[s]) / static_cast<double>(draws));
  }
  std::printf("largest deviation of a tenth: %.3f points (limit 1)\n", worst);
  return worst <= 1.0 ? 0 : 1;
}
