// Where this build finds its releases. Fixed when the program is built.
#pragma once

#include <cstdint>
#include <string>

namespace solvane {

// The manifest's name below the release base URL.
inline constexpr const char kManifestFileName[] = "manifest.json";

struct ReleaseSource {
  std::string base_url;      // ends in '/'
  std::string platform_key;  // key of this build's releases in the manifest
  // minisign public keys ("RW...") separated by ';'; "" when releases are unsigned
  std::string public_keys = {};
  // The longest random wait before an unforced check's first request; 0: none.
  std::int64_t check_spread_seconds = 0;
  // minisign public keys separated by ';' that sign key sets after the
  // build's own, and how many of them must; "" and 0: the build's release
  // keys are never replaced.
  std::string root_keys = {};
  std::int64_t root_threshold = 0;
  // The exact signer names an installer must carry on Windows, and the
  // SHA-256 of their keys, each separated by ';'; "": no check.
  std::string publisher_names = {};
  std::string publisher_pins = {};

  std::string ManifestUrl() const { return base_url + kManifestFileName; }
  // "https", or "http" for a test build's loopback server.
  std::string Scheme() const { return base_url.substr(0, base_url.find("://")); }
};

}  // namespace solvane
