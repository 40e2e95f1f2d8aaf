#include "platform/command_line_win.h"

#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <shellapi.h>

#include <memory>

#include "platform/encoding_win.h"

namespace solvane {
namespace {

struct LocalFreer {
  void operator()(LPWSTR* block) const noexcept { ::LocalFree(block); }
};

}  // namespace

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> args;
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
  if (!argv) return args;
  args.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) args.push_back(Utf8FromWide(argv.get()[i]));
  return args;
}

}  // namespace solvane
