// ParseManifest on arbitrary text and platform key.
//
// Input: when a '\n' occurs within the first 64 bytes, the bytes before it are
// the platform key and the rest is the manifest text; otherwise the key is
// "windows-x64" and the whole input is the text.
//
// Besides crashes and sanitizer reports this checks the error contract of
// the manifest parser: it never prints, an error text comes only with a
// failure and is one line. Standard error is captured in memory to see that
// nothing is printed; sanitizer reports are written to file descriptor 2 and
// still appear.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "release/manifest.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

char* captured = nullptr;
std::size_t captured_size = 0;
std::FILE* capture = nullptr;

void OpenCapture() {
  if (capture) std::fclose(capture);
  std::free(captured);
  captured = nullptr;
  captured_size = 0;
  capture = open_memstream(&captured, &captured_size);
  if (!capture) std::abort();
  stderr = capture;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  solvane_fuzz_report = stderr;  // the real one, for check failures
  OpenCapture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string key = "windows-x64";
  std::string text = input;
  const std::size_t newline = input.find('\n');
  if (newline != std::string::npos && newline < 64) {
    key = input.substr(0, newline);
    text = input.substr(newline + 1);
  }

  std::fflush(capture);
  const std::size_t before = captured_size;
  std::string version, url, sha256, notes, error;
  const bool result = solvane::ParseManifest(text, key, version, url, sha256, notes, &error);
  std::fflush(capture);
  const std::string err(captured + before, captured_size - before);

  FUZZ_CHECK(err.empty());
  if (result) {
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(!url.empty());
    FUZZ_CHECK(version.size() <= 64);  // longer versions are no release
  }
  if (!error.empty()) {
    FUZZ_CHECK(!result);
    FUZZ_CHECK(error.find('\n') == std::string::npos);  // one line
  }
  if (captured_size > (1u << 20)) OpenCapture();  // keep the capture small
  return 0;
}
