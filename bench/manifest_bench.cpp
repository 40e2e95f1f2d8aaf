// Peak resident memory of ParseManifest on hostile manifests just under the
// 16 MiB body cap, each parsed in a fresh child process, beside a child that
// only builds the same text (the floor any parser pays). Not a test: it
// prints figures; run by scripts/bench.sh manifest.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "constants.h"
#include "release/manifest.h"

namespace {

const std::size_t kSize = solvane::kManifestBodyCap - 1;

std::string OpenBrackets() { return std::string(kSize, '['); }

std::string WideArrays() {
  std::string text;
  text.reserve(kSize);
  text += "{\"x\":[";
  while (text.size() + 8 < kSize) text += "[],";
  return text + "[]]}";
}

std::string HugeNotes() {
  const std::string head =
      R"({"current":{"stable":{"windows-x64":"1.5.0"}},"releases":{"windows-x64":{"1.5.0":{"url":"u","notes":")";
  return head + std::string(kSize - head.size() - 6, 'n') + "\"}}}}";
}

std::string ManyVersions() {
  std::string text;
  text.reserve(kSize);
  text += R"({"current":{"stable":{"windows-x64":"1.5.0"}},"releases":{"windows-x64":{)";
  for (int i = 0; text.size() + 40 < kSize; ++i) text += "\"" + std::to_string(i) + "\":{},";
  return text + R"("1.5.0":{"url":"u"}}}})";
}

// Runs `body` in a child and returns its peak resident memory in KiB.
long PeakKib(const std::function<void()>& body) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  struct rusage usage {};
  wait4(child, &status, 0, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  std::freopen("/dev/null", "w", stderr);  // the parse-error lines
  const struct {
    const char* name;
    std::string (*make)();
  } inputs[] = {
      {"16 MiB of '['", OpenBrackets},
      {"16 MiB of [],[],...", WideArrays},
      {"16 MiB of notes", HugeNotes},
      {"16 MiB of versions", ManyVersions},
  };
  std::printf("%-22s %12s %12s %8s\n", "manifest", "text only", "parsed", "x body");
  for (const auto& input : inputs) {
    const long floor = PeakKib([&] {
      volatile std::size_t size = input.make().size();
      static_cast<void>(size);
    });
    bool ok = false;
    const long parsed = PeakKib([&] {
      std::string version, url, sha256, notes;
      ok = solvane::ParseManifest(input.make(), "windows-x64", version, url, sha256, notes);
    });
    std::printf("%-22s %9ld KiB %9ld KiB %8.1f\n", input.name, floor, parsed,
                static_cast<double>(parsed) / static_cast<double>(kSize / 1024));
  }
  return 0;
}
