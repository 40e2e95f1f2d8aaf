// The values the program is built with. There is no configuration file and no
// run-time setting: a vendor's build fixes the release identity in CMake, and
// everything below is the same for every build.
#pragma once

#include <cstddef>
#include <cstdint>

namespace solvane {

// Minimum time between two unforced update checks.
inline constexpr std::int64_t kCheckIntervalSeconds = 86400;

// Whole-transfer limits, from name resolution to the last byte.
inline constexpr long kManifestTimeoutSeconds = 30;
inline constexpr long kInstallerTimeoutSeconds = 300;

// Largest manifest body accepted; a real manifest is a few kilobytes.
inline constexpr std::size_t kManifestBodyCap = 16u * 1024 * 1024;

inline constexpr const char kManifestFileName[] = "manifest.json";
inline constexpr const char kDefaultInstallName[] = "Solvane-setup.exe";
inline constexpr const char kDefaultUpdateName[] = "Solvane-update.exe";
inline constexpr const char kDefaultCurrentVersion[] = "0.0.0";

inline constexpr const char kVendorFolder[] = "/Korrinwade/Solvane";
inline constexpr const char kUpdatesFolder[] = "/Updates";
inline constexpr const char kStateFileName[] = "/Updates.json";
inline constexpr const char kLogFileName[] = "/SolvaneSetup.log";
inline constexpr const char kLockFileName[] = "/Updates.lock";
// An installer is downloaded under its name plus this, and renamed when whole
// and verified.
inline constexpr const char kPartialSuffix[] = ".partial";

inline constexpr const char kWindowTitle[] = "Solvane Setup";
inline constexpr const char kNoReleaseMessage[] = "Could not find a release for this platform.";
inline constexpr const char kDownloadFailedMessage[] = "Download failed or verification error.";

}  // namespace solvane
