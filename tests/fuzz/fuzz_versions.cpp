// CompareVersions: reflexive, antisymmetric in sign, transitive, and zero
// exactly when ReadVersion gives the same three numbers. Where no component
// leaves the 32-bit range, ReadVersion must agree with sscanf("%d.%d.%d").
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "release/manifest.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

bool SameNumbers(const solvane::VersionNumber& x, const solvane::VersionNumber& y) {
  return x.parts[0] == y.parts[0] && x.parts[1] == y.parts[1] && x.parts[2] == y.parts[2];
}

// No NUL (sscanf would stop there) and no run of more than 9 digits (so every
// "%d" stays in range and sscanf's result is defined).
bool SscanfComparable(const std::string& text) {
  int run = 0;
  for (char c : text) {
    if (c == '\0') return false;
    run = (c >= '0' && c <= '9') ? run + 1 : 0;
    if (run > 9) return false;
  }
  return true;
}

void CheckAgainstSscanf(const std::string& text) {
  if (!SscanfComparable(text)) return;
  int p[3] = {0, 0, 0};
  int n = std::sscanf(text.c_str(), "%d.%d.%d", &p[0], &p[1], &p[2]);
  if (n == EOF) n = 0;
  const solvane::VersionNumber v = solvane::ReadVersion(text);
  FUZZ_CHECK(v.components_read == n);
  FUZZ_CHECK(v.parts[0] == p[0] && v.parts[1] == p[1] && v.parts[2] == p[2]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string a = provider.ConsumeRandomLengthString(256);
  const std::string b = provider.ConsumeRandomLengthString(256);
  const std::string c = provider.ConsumeRemainingBytesAsString();

  const std::string* const all[] = {&a, &b, &c};
  for (const std::string* x : all) {
    FUZZ_CHECK(solvane::CompareVersions(*x, *x) == 0);
    const solvane::VersionNumber v = solvane::ReadVersion(*x);
    FUZZ_CHECK(v.components_read >= 0 && v.components_read <= 3);
    for (int i = v.components_read; i < 3; ++i) FUZZ_CHECK(v.parts[i] == 0);
    CheckAgainstSscanf(*x);
  }

  const int ab = Sign(solvane::CompareVersions(a, b));
  const int ba = Sign(solvane::CompareVersions(b, a));
  const int bc = Sign(solvane::CompareVersions(b, c));
  const int ac = Sign(solvane::CompareVersions(a, c));
  FUZZ_CHECK(ab == -ba);
  FUZZ_CHECK((ab == 0) == SameNumbers(solvane::ReadVersion(a), solvane::ReadVersion(b)));
  if (ab >= 0 && bc >= 0) FUZZ_CHECK(ac >= 0);
  if (ab <= 0 && bc <= 0) FUZZ_CHECK(ac <= 0);
  if (ab == 0) FUZZ_CHECK(ac == bc);
  return 0;
}
