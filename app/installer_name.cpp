#include "app/installer_name.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace solvane {
namespace {

bool IsDeviceName(const std::string& name) {
  // Windows treats these as devices whatever the extension: "NUL.exe" is NUL.
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '0' && stem[3] <= '9';
}

bool IsSafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return false;
    if (std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name);
}

}  // namespace

std::optional<std::string> InstallerFileName(const std::string& url, const std::string& fallback) {
  if (url.find('/') == std::string::npos) return fallback;

  std::string_view rest(url);
  rest = rest.substr(0, rest.find('#'));
  rest = rest.substr(0, rest.find('?'));
  // After "scheme://" comes the authority; the path starts at the next '/'.
  const std::size_t scheme_end = rest.find("://");
  if (scheme_end != std::string_view::npos) {
    const std::size_t path_start = rest.find('/', scheme_end + 3);
    rest = path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
  }
  const std::size_t slash = rest.rfind('/');
  const std::string name(slash == std::string_view::npos ? rest : rest.substr(slash + 1));
  if (!IsSafeName(name)) return std::nullopt;
  return name;
}

}  // namespace solvane
