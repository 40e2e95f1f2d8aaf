#include "state/installer_name.h"

#include <string_view>

#include "constants.h"
#include "platform/encoding.h"

namespace solvane {
namespace {

// A short 8.3 alias ("UPDATE~1.JSO") can name any long file on Windows.
bool LooksLikeShortAlias(const std::string& name) {
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] == '~' && name[i + 1] >= '0' && name[i + 1] <= '9') return true;
  }
  return false;
}

bool IsDeviceName(const std::string& name) {
  // Windows treats these as devices whatever the extension: "NUL.exe" is NUL.
  std::string stem = AsciiUpper(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (stem == device) return true;
  }
  return stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
         stem[3] >= '0' && stem[3] <= '9';
}

// The longest file name the file systems we meet take, in bytes (NTFS counts
// UTF-16 units, never more than the UTF-8 bytes).
constexpr std::size_t kMaxFileNameBytes = 255;

bool IsSafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  // The download is made under the name plus ".partial", which must fit too.
  if (name.size() + std::string_view(kPartialSuffix).size() > kMaxFileNameBytes) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) return false;
    if (std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  return !IsDeviceName(name) && !IsReservedName(name);
}

}  // namespace

bool IsReservedName(const std::string& name) {
  // Windows compares names without regard to case, so these do too.
  const std::string lower = AsciiLower(name);
  const std::string state = AsciiLower(kStateFileName + 1);
  const std::string log = AsciiLower(kLogFileName + 1);
  // The kept signature's name continues the kept manifest's.
  const std::string kept = AsciiLower(kKeptManifestFileName + 1);
  const std::string trust = AsciiLower(kTrustFileName + 1);
  return lower == state || lower == log || lower == AsciiLower(kLockFileName + 1) ||
         lower == trust || lower.starts_with(trust + ".") ||
         lower == AsciiLower(kDeltaPatchFileName + 1) || lower == kept ||
         lower.starts_with(state + ".") || lower.starts_with(log + ".") ||
         lower.starts_with(kept + ".") || lower.ends_with(AsciiLower(kPartialSuffix)) ||
         LooksLikeShortAlias(name);
}

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

std::optional<std::string> VersionedInstallerName(const std::string& name,
                                                  const std::string& version) {
  const std::string::size_type dot = name.rfind('.');
  const std::string::size_type stem = dot == std::string::npos || dot == 0 ? name.size() : dot;
  std::string versioned = name.substr(0, stem) + "-" + version + name.substr(stem);
  if (!IsSafeName(versioned)) return std::nullopt;
  return versioned;
}

}  // namespace solvane
