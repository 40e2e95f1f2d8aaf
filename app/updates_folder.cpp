#include "app/updates_folder.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "constants.h"
#include "platform/encoding.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "release/verify.h"
#include "state/installer_name.h"
#include "state/paths.h"
#include "state/records.h"

namespace solvane {
namespace {

// A launched installer may still be running, or its opener still reading it.
constexpr std::int64_t kLaunchedKeepSeconds = 86400;

// A save writes and renames its temporary file within moments; one older than
// this was left by a process that was killed.
constexpr auto kStrayTemporaryAge = std::chrono::minutes(1);
// A delta's patch left by a killed check.
constexpr auto kStrayPatchAge = std::chrono::hours(1);

std::string Utf8Name(const std::filesystem::path& path) {
  const std::u8string name = path.filename().u8string();
  return std::string(name.begin(), name.end());
}

}  // namespace

bool SamePath(const std::string& a, const std::string& b) {
  if (a == b) return true;
  const std::optional<std::string> path_a = Utf8ToPath(a);
  const std::optional<std::string> path_b = Utf8ToPath(b);
  if (!path_a || !path_b) return false;
  try {
    const std::filesystem::path fs_a = ToFsPath(*path_a);
    const std::filesystem::path fs_b = ToFsPath(*path_b);
    if (fs_a.lexically_normal() == fs_b.lexically_normal()) return true;
    std::error_code ec;
    return std::filesystem::equivalent(fs_a, fs_b, ec) && !ec;
  } catch (const std::filesystem::filesystem_error&) {
    return false;
  }
}

bool IsRecordedInstaller(const Json& state, const std::string& path, const std::string& sha256) {
  const auto other_bytes = [&sha256](const std::string& digest) {
    return sha256.empty() || digest != sha256;
  };
  std::vector<std::string> recorded;
  const std::optional<StagedRecord> staged = ReadStaged(state);
  if (staged && other_bytes(staged->sha256)) recorded.push_back(staged->installer);
  const std::optional<BaseRecord> base = ReadBase(state);
  if (base && other_bytes(base->sha256)) recorded.push_back(base->installer);
  // A launched installer may still be running, whatever its bytes.
  for (const LaunchedRecord& launched : ReadLaunched(state)) {
    recorded.push_back(launched.installer);
  }
  return std::any_of(recorded.begin(), recorded.end(), [&path](const std::string& installer) {
    return !installer.empty() && SamePath(installer, path);
  });
}

bool IsOwnInstallerFile(const std::string& path) {
  try {
    const std::filesystem::path file = ToFsPath(path);
    if (IsReservedName(Utf8Name(file))) return false;
    std::error_code ec;
    if (std::filesystem::symlink_status(file, ec).type() != std::filesystem::file_type::regular) {
      return false;
    }
    return std::filesystem::equivalent(file.parent_path(), ToFsPath(UpdatesDirectory()), ec) && !ec;
  } catch (const std::filesystem::filesystem_error&) {
    return false;
  }
}

bool StagedFileVerifies(const std::string& path, const std::string& sha256) {
  return IsOwnInstallerFile(path) && (sha256.empty() || VerifySha256(path, sha256));
}

bool RemoveOwnInstaller(const std::string& installer_utf8) {
  const std::optional<std::string> path = Utf8ToPath(installer_utf8);
  // A file that stays is only litter: nothing records it any more.
  return path && IsOwnInstallerFile(*path) && RemovePathPatiently(*path).waited;
}

void RememberLaunched(Json& state, const std::string& installer_utf8, std::int64_t now) {
  std::vector<LaunchedRecord> launched = ReadLaunched(state);
  std::erase_if(launched,
                [&](const LaunchedRecord& r) { return SamePath(r.installer, installer_utf8); });
  launched.push_back({installer_utf8, now});
  WriteLaunched(state, launched);
}

void RememberStarted(Json& state, const std::string& installer_utf8, const std::string& version,
                     const std::string& sha256, std::int64_t now) {
  if (sha256.empty()) {
    RememberLaunched(state, installer_utf8, now);
    return;
  }
  // The base it replaces goes a day after its own start, which has mostly passed.
  if (const std::optional<BaseRecord> old = ReadBase(state)) {
    if (!SamePath(old->installer, installer_utf8))
      RememberLaunched(state, old->installer, old->time);
  }
  WriteBase(state, {version, installer_utf8, sha256, now});
}

bool TidyUpdatesFolder(Json& state, std::int64_t now) {
  bool changed = false;
  if (state.contains("launched")) {
    const std::optional<StagedRecord> staged = ReadStaged(state);
    const std::optional<BaseRecord> base = ReadBase(state);
    std::vector<LaunchedRecord> kept;
    for (const LaunchedRecord& record : ReadLaunched(state)) {
      // The same file name may have been downloaded and staged again since,
      // or started again and kept as the base.
      if (staged && SamePath(staged->installer, record.installer)) continue;
      if (base && SamePath(base->installer, record.installer)) continue;
      if (record.time <= now - kLaunchedKeepSeconds) {
        (void)RemoveOwnInstaller(record.installer);
        continue;
      }
      kept.push_back(record);
    }
    Json tidied = state;
    WriteLaunched(tidied, kept);
    if (tidied != state) {
      state = std::move(tidied);
      changed = true;
    }
  }

  const std::string temporary_prefix = std::string(kStateFileName + 1) + ".tmp-";
  std::error_code ec;
  std::filesystem::directory_iterator entries(ToFsPath(UpdatesDirectory()), ec);
  for (; !ec && entries != std::filesystem::directory_iterator(); entries.increment(ec)) {
    const std::string name = Utf8Name(entries->path());
    const bool patch = name == kDeltaPatchFileName + 1;
    if (!patch && !name.starts_with(temporary_prefix)) continue;
    std::error_code entry_ec;
    if (!entries->is_regular_file(entry_ec)) continue;
    const auto written = std::filesystem::last_write_time(entries->path(), entry_ec);
    if (entry_ec) continue;
    // A patch is applied within moments of its download, but on a slow disk
    // a large one takes a while.
    const auto age = std::filesystem::file_time_type::clock::now() - written;
    if (age > (patch ? kStrayPatchAge : kStrayTemporaryAge)) {
      std::filesystem::remove(entries->path(), entry_ec);
    }
  }
  return changed;
}

bool RemovePartialFile(const std::string& path) {
  // Taken first, so that a partial file another run is downloading into is
  // never pulled from under it.
  const LockAttempt partial = LockFile(path);
  if (!partial.lock) return !PathExists(path);
  return RemovePath(path);
}

bool RemovePartialDownloads(const std::string& keep_name) {
  bool none_held = true;
  std::error_code ec;
  std::filesystem::directory_iterator entries(ToFsPath(UpdatesDirectory()), ec);
  for (; !ec && entries != std::filesystem::directory_iterator(); entries.increment(ec)) {
    const std::string name = Utf8Name(entries->path());
    if (!name.ends_with(kPartialSuffix) || name == keep_name) continue;
    std::error_code entry_ec;
    if (!entries->is_regular_file(entry_ec)) continue;
    const std::optional<std::string> narrow_name = Utf8ToPath(name);
    // A name that cannot be spelled narrowly is no download's of ours.
    if (!narrow_name) {
      std::filesystem::remove(entries->path(), entry_ec);
      continue;
    }
    const std::string path = UpdatesDirectory() + "/" + *narrow_name;
    const LockAttempt partial = LockFile(path);
    if (partial.busy) {
      none_held = false;
      continue;
    }
    if (partial.lock) (void)RemovePath(path);  // a file that stays goes next time
  }
  return none_held;
}

}  // namespace solvane
