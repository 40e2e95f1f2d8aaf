#include "platform/command_line_win.h"

#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <shellapi.h>

#include <memory>

namespace solvane {
namespace {

struct LocalFreer {
  void operator()(LPWSTR* block) const noexcept { ::LocalFree(block); }
};

std::string ToUtf8(const wchar_t* wide) {
  // The first call counts the terminator too; the string holds one less.
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(static_cast<std::size_t>(size - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

std::vector<std::string> CommandLineArguments() {
  std::vector<std::string> args;
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
  if (!argv) return args;
  args.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) args.push_back(ToUtf8(argv.get()[i]));
  return args;
}

}  // namespace solvane
