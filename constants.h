// The values the program is built with that several files share. There is no
// configuration file and no run-time setting: a vendor's build fixes the
// release identity in CMake, and everything below is the same for every build.
// A value with a single user lives beside it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace solvane {

// The fresh install retries a broken installer transfer this many times in
// all, pausing between tries; each try resumes from the bytes held.
inline constexpr int kInstallAttempts = 4;
inline constexpr int kInstallRetryPauseMilliseconds = 2000;

// Largest manifest body accepted; a real manifest is a few kilobytes.
inline constexpr std::size_t kManifestBodyCap = 16u * 1024 * 1024;

inline constexpr const char kStateFileName[] = "/Updates.json";
inline constexpr const char kLogFileName[] = "/SolvaneSetup.log";
inline constexpr const char kLockFileName[] = "/Updates.lock";
// The trust floor: the highest manifest serial accepted and the rollout draw,
// kept apart from the state file so that losing that file loses neither.
inline constexpr const char kTrustFileName[] = "/Trust.json";
// The last accepted manifest and its signature, kept so that the next check
// can ask the server whether they are still current.
inline constexpr const char kKeptManifestFileName[] = "/Manifest.kept.json";
inline constexpr const char kKeptSignatureFileName[] = "/Manifest.kept.json.minisig";
// A delta update's patch, downloaded here and removed once applied.
inline constexpr const char kDeltaPatchFileName[] = "/Updates.patch";
// An installer is downloaded under its name plus this, and renamed when whole
// and verified.
inline constexpr const char kPartialSuffix[] = ".partial";

inline constexpr const char kWindowTitle[] = "Solvane Setup";

}  // namespace solvane
