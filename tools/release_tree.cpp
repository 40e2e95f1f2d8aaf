#include "tools/release_tree.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/clock.h"
#include "platform/fs.h"
#include "release/manifest.h"
#include "release/patch_apply.h"
#include "release/release_choice.h"
#include "release/signature.h"
#include "release/signed_members.h"
#include "release/verify.h"
#include "state/installer_name.h"
#include "state/state_file.h"
#include "tools/installer_signature.h"
#include "tools/patch_make.h"
#include "tools/signing.h"

namespace solvane::publish {
namespace {

using Json = nlohmann::json;
namespace fs = std::filesystem;

Outcome Refuse(std::string message) { return {2, {std::move(message)}}; }
Outcome Fail(std::string message) { return {1, {std::move(message)}}; }

// A folder name in the tree that is also one segment of a URL path.
bool IsPlainSegment(const std::string& text) {
  if (text.empty() || text == "." || text == "..") return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == '?' || c == '#') return false;
  }
  return true;
}

std::string EscapeSegment(const std::string& segment) {
  std::unique_ptr<char, decltype(&curl_free)> escaped(
      curl_easy_escape(nullptr, segment.c_str(), static_cast<int>(segment.size())), curl_free);
  return escaped ? std::string(escaped.get()) : segment;
}

std::string UnescapeSegment(const std::string& segment) {
  int length = 0;
  std::unique_ptr<char, decltype(&curl_free)> plain(
      curl_easy_unescape(nullptr, segment.c_str(), static_cast<int>(segment.size()), &length),
      curl_free);
  return plain ? std::string(plain.get(), static_cast<std::size_t>(length)) : segment;
}

// The manifest and its signature: what clients fetch must never be half
// written, nor lost to a power cut after the tool said it was written.
bool WriteAtomically(const fs::path& path, const std::string& text) {
  return WriteFileAtomically(path.string(), text, FileForm::kBinary);
}

// The installer reaches the disk before the manifest that names it is written.
bool CopyAtomically(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directories(to.parent_path(), ec);
  if (ec) return false;
  const std::string temporary = TemporaryNameFor(to.string());
  fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, ec);
  bool copied = !ec;
  if (copied) {
    UniqueFile file = OpenFile(temporary, "rb");
    copied = file && FlushToDisk(file.get());
  }
  if (copied && RenameOver(temporary, to.string())) return true;
  (void)RemovePath(temporary);  // the failure is reported; a leftover is only litter
  return false;
}

// The manifest at the root, or an empty one when there is none yet.
std::optional<Json> LoadManifest(const fs::path& path, std::string& problem) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return Json::object();
  const std::optional<std::string> text = ReadText(path);
  if (!text) {
    problem = "cannot read " + path.string();
    return std::nullopt;
  }
  try {
    Json manifest = Json::parse(*text);
    if (manifest.is_object()) return manifest;
  } catch (const Json::exception&) {
  }
  problem = path.string() + " is not a JSON object";
  return std::nullopt;
}

constexpr const char kSignatureName[] = "manifest.json.minisig";
constexpr std::int64_t kWarnDays = 7;

// A new publication: the serial one higher than before, a fresh expiry.
void RaiseSerial(Json& manifest, int valid_days) {
  const Json old = manifest.value("serial", Json());
  const std::int64_t serial = std::max<std::int64_t>(JsonInt64(old).value_or(0), 0);
  manifest["serial"] = serial + 1;
  manifest["expires"] = FormatUtcTime(UnixNow() + std::int64_t{valid_days} * 86400);
}

// A signature of an earlier manifest would only be refused; remove it and say so.
void RemoveStaleSignature(const fs::path& root, Outcome& outcome) {
  std::error_code ec;
  if (fs::remove(root / kSignatureName, ec)) {
    outcome.messages.push_back(std::string("removed ") + kSignatureName +
                               ": it no longer matches the manifest; sign it again");
  }
}

// The serial/expiry rules of the client for every platform the manifest names.
bool SoundForClients(const std::string& text, std::int64_t now, std::string& reason,
                     SignedMembers& members) {
  std::vector<std::string> platforms{""};
  try {
    const Json manifest = Json::parse(text);
    const Json current = manifest.is_object() ? manifest.value("current", Json()) : Json();
    if (current.is_object() && current.contains("stable") && current.at("stable").is_object()) {
      for (const auto& [platform, version] : current.at("stable").items()) {
        platforms.push_back(platform);
      }
    }
  } catch (const Json::exception&) {
  }
  for (const std::string& platform : platforms) {
    const std::optional<SignedMembers> checked = CheckSignedMembers(text, platform, 0, now, reason);
    if (!checked) {
      if (!platform.empty()) reason = platform + ": " + reason;
      return false;
    }
    members = *checked;
  }
  return true;
}

// Members the tool writes into must be objects when they already exist.
bool IsObjectOrAbsent(const Json& parent, const std::string& key) {
  return !parent.contains(key) || parent.at(key).is_object();
}

// "channel beta, rollout 25% today, available, needs 10.0.17763" for verify and the changes.
std::string ReleaseStateText(const Json& entry, const std::string& version, std::int64_t now) {
  const ListedRelease release = ReadReleaseEntry(version, entry);
  if (!release.problem.empty()) return "unusable: " + release.problem;
  char share[32];
  std::snprintf(share, sizeof share, "%.4g%%", RolloutShare(release.rollout, now));
  std::string needs;
  if (!release.min_os.empty()) needs += ", needs " + release.min_os;
  if (!release.informational.empty()) needs += ", informational";
  if (!release.min_autoupdate.empty()) needs += ", from " + release.min_autoupdate + " only";
  if (!release.rollback_to.empty()) needs += ", rolls back to " + release.rollback_to;
  return "channel " + (release.channel.empty() ? std::string("stable") : release.channel) +
         ", rollout " + share + " today, " +
         (release.withdrawn  ? "withdrawn"
          : release.critical ? "critical"
                             : "available") +
         needs;
}

// ", current in stable, beta" when `current` names the version.
std::string CurrentIn(const Json& manifest, const std::string& platform,
                      const std::string& version) {
  const Json current = manifest.value("current", Json());
  if (!current.is_object()) return "";
  std::string names;
  for (const auto& [channel, list] : current.items()) {
    if (list.is_object() && list.value(platform, Json()) == version) {
      names += (names.empty() ? ", current in " : ", ") + channel;
    }
  }
  return names;
}

// The entry's url for a file beside the installer in the tree.
std::string TreeUrl(const std::string& base_url, const std::string& platform,
                    const std::string& version, const std::string& file_name) {
  return base_url + EscapeSegment(platform) + "/" + EscapeSegment(version) + "/" +
         EscapeSegment(file_name);
}

// The file in the tree that an entry's url names: the url's last segment in
// the release's folder.
fs::path TreeFile(const fs::path& root, const std::string& platform, const std::string& version,
                  const std::string& url) {
  return root / platform / version / UnescapeSegment(url.substr(url.find_last_of('/') + 1));
}

// Makes a patch from each earlier installer into the release's folder and
// records it in `entry`'s `deltas`, keyed by the base's digest. "" or the
// problem; `refused` tells a bad request from a failure to write.
std::string AddDeltas(const AddRequest& request, const std::string& digest, const fs::path& folder,
                      const std::string& installer_name, Json& entry, bool& refused) {
  refused = true;
  std::vector<std::pair<std::string, std::string>> bases;  // digest, path
  for (const std::string& base : request.delta_from) {
    std::error_code ec;
    const std::optional<std::string> base_digest =
        fs::is_regular_file(base, ec) ? Sha256Hex(base) : std::nullopt;
    if (!base_digest) return "cannot read --delta-from " + base;
    if (*base_digest == digest) {
      return "--delta-from " + base + " is the installer itself; a patch from it is useless";
    }
    bases.emplace_back(*base_digest, base);
  }
  refused = false;
  Json deltas = entry.contains("deltas") && entry.at("deltas").is_array() ? entry.at("deltas")
                                                                          : Json::array();
  for (const auto& [base_digest, base] : bases) {
    const std::string name = installer_name + ".from-" + base_digest.substr(0, 16) + ".zst";
    const fs::path patch = folder / name;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (const std::string problem = MakePatch(base, request.installer, patch.string());
        !problem.empty()) {
      return "cannot make the patch from " + base + ": " + problem;
    }
    const std::optional<std::string> patch_digest = Sha256Hex(patch.string());
    const std::uintmax_t size = fs::file_size(patch, ec);
    if (!patch_digest || ec) return "cannot read the patch " + patch.string();
    Json kept = Json::array();
    for (const Json& listed : deltas) {
      if (!listed.is_object() || listed.value("from_sha256", Json()) != base_digest) {
        kept.push_back(listed);
      }
    }
    deltas = std::move(kept);
    deltas.push_back({{"from_sha256", base_digest},
                      {"url", TreeUrl(request.base_url, request.platform, request.version, name)},
                      {"sha256", *patch_digest},
                      {"size", static_cast<std::int64_t>(size)}});
  }
  if (!deltas.empty()) entry["deltas"] = deltas;
  return "";
}

// Checks one listed patch against the tree; problems go to `report`, and a
// patch whose base is not in the tree gets a warning in `outcome`.
void VerifyDelta(const fs::path& root, const Json& manifest, const std::string& platform,
                 const std::string& version, const std::string& installer_sha256, const Json& delta,
                 const std::function<void(std::string)>& report, Outcome& outcome) {
  const std::string where = platform + " " + version + ": delta ";
  auto text = [&delta](const char* key) {
    const Json value = delta.is_object() ? delta.value(key, Json()) : Json();
    return value.is_string() ? value.get<std::string>() : std::string();
  };
  const std::string from = text("from_sha256");
  const std::string url = text("url");
  const std::string patch_sha256 = text("sha256");
  const std::optional<std::int64_t> listed_size =
      delta.is_object() ? JsonInt64(delta.value("size", Json())) : std::nullopt;
  if (!IsSha256Hex(from) || url.empty() || !IsSha256Hex(patch_sha256) || !listed_size) {
    return report(where + "needs from_sha256, url, sha256 and size: " + delta.dump());
  }
  const fs::path patch = TreeFile(root, platform, version, url);
  std::error_code ec;
  if (!fs::is_regular_file(patch, ec)) return report(where + "missing file " + patch.string());
  const std::uintmax_t size = fs::file_size(patch, ec);
  if (ec || static_cast<std::int64_t>(size) != *listed_size) {
    return report(where + "size does not match " + patch.string());
  }
  if (!VerifySha256(patch.string(), patch_sha256)) {
    return report(where + "digest does not match " + patch.string());
  }
  // The base is whichever installer in the tree has the digest.
  std::optional<fs::path> base;
  const Json releases = manifest.value("releases", Json::object());
  for (const auto& [other_platform, versions] : releases.items()) {
    if (!versions.is_object()) continue;
    for (const auto& [other_version, entry] : versions.items()) {
      if (!base && entry.is_object() && entry.value("sha256", Json()) == from &&
          entry.value("url", Json()).is_string()) {
        const fs::path file =
            TreeFile(root, other_platform, other_version, entry.at("url").get<std::string>());
        if (VerifySha256(file.string(), from)) base = file;
      }
    }
  }
  if (!base) {
    outcome.messages.push_back("warning: " + where + patch.filename().string() +
                               " could not be checked: no installer in the tree has its "
                               "from_sha256 " +
                               from);
    return;
  }
  const fs::path result =
      fs::temp_directory_path(ec) / ("solvane-verify-" + installer_sha256.substr(0, 16) + "-" +
                                     std::to_string(UnixNow()) + "-" + from.substr(0, 8));
  const PatchApplied applied =
      ApplyPatchFile(base->string(), from, patch.string(), result.string());
  (void)RemovePath(result.string());  // only ever a scratch copy
  if (!applied.ok) {
    report(where + patch.filename().string() + " does not apply to " + base->string() + ": " +
           applied.problem);
  } else if (applied.sha256 != installer_sha256) {
    report(where + patch.filename().string() + " applied to " + base->string() +
           " does not give the release's installer");
  }
}

}  // namespace

std::optional<std::string> ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Outcome AddRelease(const AddRequest& request) {
  if (request.base_url.empty() || request.base_url.back() != '/') {
    return Refuse("base URL must end in '/': " + request.base_url);
  }
  if (ReadVersion(request.version).components_read < 1) {
    return Refuse("version must begin with a number: '" + request.version + "'");
  }
  if (!IsPlainSegment(request.version)) {
    return Refuse("version cannot name a folder: '" + request.version + "'");
  }
  if (!IsPlainSegment(request.platform)) {
    return Refuse("platform key cannot name a folder: '" + request.platform + "'");
  }
  const std::string file_name = fs::path(request.installer).filename().string();
  if (!InstallerFileName("/" + file_name, "")) {
    return Refuse("installer file name is not safe to download: '" + file_name + "'");
  }
  const std::optional<std::string> digest = Sha256Hex(request.installer);
  if (!digest || !fs::is_regular_file(request.installer)) {
    return Refuse("cannot read installer " + request.installer);
  }

  const fs::path root(request.root);
  const fs::path manifest_path = root / "manifest.json";
  std::string problem;
  std::optional<Json> manifest = LoadManifest(manifest_path, problem);
  if (!manifest) return Refuse(problem);
  if (!IsObjectOrAbsent(*manifest, "releases") || !IsObjectOrAbsent(*manifest, "current") ||
      (manifest->contains("current") && !IsObjectOrAbsent(manifest->at("current"), "stable")) ||
      (manifest->contains("releases") &&
       !IsObjectOrAbsent(manifest->at("releases"), request.platform))) {
    return Refuse(manifest_path.string() + " has a member of the wrong type on the way to " +
                  request.platform);
  }

  const Json before = *manifest;
  Json& by_version = (*manifest)["releases"][request.platform];
  if (by_version.contains(request.version)) {
    const Json& existing = by_version.at(request.version);
    const bool same = existing.is_object() && existing.value("sha256", Json()) == *digest;
    if (!same && !request.replace) {
      return Refuse("version " + request.version + " of " + request.platform +
                    " is already published with another file (use --replace)");
    }
  }

  const std::string tree_path = request.platform + "/" + request.version + "/" + file_name;
  const std::string url = TreeUrl(request.base_url, request.platform, request.version, file_name);
  // Rollout, withdrawal and the other members set before are kept; patches
  // only while the installer is the same.
  Json& entry = by_version[request.version];
  if (!entry.is_object()) entry = Json::object();
  if (entry.value("sha256", Json()) != *digest) entry.erase("deltas");
  std::error_code size_error;
  const std::uintmax_t installer_size = fs::file_size(request.installer, size_error);
  if (size_error) return Refuse("cannot read installer " + request.installer);
  entry["url"] = url;
  entry["sha256"] = *digest;
  entry["size"] = static_cast<std::int64_t>(installer_size);
  entry["notes"] = request.notes;
  if (!request.min_os.empty()) {
    if (!IsSystemVersion(request.min_os)) {
      return Refuse("min-os must be 1 to 4 dotted numbers: '" + request.min_os + "'");
    }
    entry["min_os"] = request.min_os;
  }
  if (!request.informational.empty()) {
    // The clients take https, or their own release scheme.
    const std::string scheme = request.base_url.substr(0, request.base_url.find("://"));
    if (!IsLinkUrl(request.informational, "https") && !IsLinkUrl(request.informational, scheme)) {
      return Refuse("informational must be an https URL of at most 2 KiB: '" +
                    request.informational + "'");
    }
    entry["informational"] = request.informational;
  }
  if (!request.min_autoupdate.empty()) {
    if (ReadVersion(request.min_autoupdate).components_read == 0) {
      return Refuse("min-autoupdate must begin with a number: '" + request.min_autoupdate + "'");
    }
    entry["min_autoupdate"] = request.min_autoupdate;
  }
  if (!request.channel.empty()) {
    if (!IsChannelName(request.channel) || request.channel == "stable") {
      return Refuse("channel must be 1 to 32 characters from a-z0-9- and not stable: '" +
                    request.channel + "'");
    }
    if (manifest->contains("current") &&
        !IsObjectOrAbsent(manifest->at("current"), request.channel)) {
      return Refuse("current." + request.channel + " is not an object");
    }
    entry["channel"] = request.channel;
    (*manifest)["current"][request.channel][request.platform] = request.version;
  } else if (request.make_stable) {
    entry.erase("channel");  // promoted: a stable release from now on
    (*manifest)["current"]["stable"][request.platform] = request.version;
  }

  if (!request.delta_from.empty()) {
    bool refused = false;
    const std::string problem =
        AddDeltas(request, *digest, root / request.platform / request.version, file_name,
                  by_version[request.version], refused);
    if (!problem.empty()) return refused ? Refuse(problem) : Fail(problem);
  }

  const bool changed = *manifest != before;
  if (changed) RaiseSerial(*manifest, request.valid_days);
  const std::string text = manifest->dump(2) + "\n";
  // The client reads what we publish; check with its own parser first.
  if (manifest->at("current").is_object() && manifest->at("current").contains("stable") &&
      manifest->at("current").at("stable").contains(request.platform)) {
    std::string version, parsed_url, sha256, notes, error;
    if (!ParseManifest(text, request.platform, version, parsed_url, sha256, notes, &error)) {
      return Fail("the client could not read the new manifest for " + request.platform +
                  (error.empty() ? "" : ": manifest parse error -- " + error));
    }
  }

  if (!CopyAtomically(request.installer, root / tree_path)) {
    return Fail("cannot copy the installer to " + (root / tree_path).string());
  }
  Outcome outcome{0, {"published " + request.platform + " " + request.version + " as " + url}};
  if (!changed) {
    outcome.messages.push_back("manifest unchanged");
    return outcome;
  }
  if (!WriteAtomically(manifest_path, text)) {
    return Fail("cannot write " + manifest_path.string());
  }
  outcome.messages.push_back("serial " + manifest->at("serial").dump() + ", expires " +
                             manifest->at("expires").get<std::string>());
  RemoveStaleSignature(root, outcome);
  return outcome;
}

Outcome ChangeRelease(const ReleaseChange& change) {
  using Kind = ReleaseChange::Kind;
  const fs::path root(change.root);
  const fs::path manifest_path = root / "manifest.json";
  if (!fs::exists(manifest_path)) return Refuse("no manifest.json in " + change.root);
  std::string problem;
  std::optional<Json> manifest = LoadManifest(manifest_path, problem);
  if (!manifest) return Refuse(problem);
  const Json releases = manifest->value("releases", Json());
  const Json versions = releases.is_object() ? releases.value(change.platform, Json()) : Json();
  if (!versions.is_object() || !versions.contains(change.version) ||
      !versions.at(change.version).is_object()) {
    return Refuse("no release " + change.version + " of " + change.platform + " is published");
  }
  Json& entry = (*manifest)["releases"][change.platform][change.version];
  const Json before = entry;
  const std::int64_t now = UnixNow();
  std::string what;
  switch (change.kind) {
    case Kind::kRolloutPercent:
      if (!(change.percent >= 0 && change.percent <= 100)) {
        return Refuse("the share must be from 0 to 100");
      }
      entry["rollout"] = Json{{"percent", change.percent}};
      break;
    case Kind::kRolloutDays: {
      const std::optional<std::int64_t> start =
          change.start.empty() ? std::optional(now) : ParseUtcTime(change.start);
      if (!start) return Refuse("--start takes a UTC time YYYY-MM-DDTHH:MM:SSZ");
      if (!(change.days > 0 && change.days <= 3650)) {
        return Refuse("--days takes a number of days above 0, up to 3650");
      }
      entry["rollout"] = Json{{"start", FormatUtcTime(*start)}, {"days", change.days}};
      break;
    }
    case Kind::kRolloutPause: {
      const ListedRelease release = ReadReleaseEntry(change.version, entry);
      if (!release.problem.empty()) {
        return Refuse(change.version + " has an unusable entry: " + release.problem);
      }
      // Rounded down to a hundredth: a pause never reaches anyone new.
      const double share = std::floor(RolloutShare(release.rollout, now) * 100) / 100;
      entry["rollout"] = Json{{"percent", share}};
      what = "paused at " + Json(share).dump() + "%";
      break;
    }
    case Kind::kRolloutFull:
      entry.erase("rollout");
      break;
    case Kind::kWithdraw:
      entry["withdrawn"] = true;
      entry.erase("rollback_to");
      if (!change.rollback_to.empty()) {
        const ListedRelease target =
            ReadReleaseEntry(change.rollback_to, versions.value(change.rollback_to, Json(nullptr)));
        if (!versions.contains(change.rollback_to)) {
          return Refuse("no release " + change.rollback_to + " of " + change.platform +
                        " to roll back to is published");
        }
        if (CompareVersions(change.rollback_to, change.version) >= 0) {
          return Refuse("--rollback-to must name a release older than " + change.version);
        }
        if (target.withdrawn || !target.problem.empty()) {
          return Refuse(change.rollback_to + " is withdrawn or unusable");
        }
        entry["rollback_to"] = change.rollback_to;
      }
      break;
    case Kind::kRestore:
      entry.erase("withdrawn");
      entry.erase("rollback_to");
      break;
    case Kind::kCritical:
      entry["critical"] = true;
      break;
    case Kind::kNotCritical:
      entry.erase("critical");
      break;
  }
  Outcome outcome{0,
                  {change.platform + " " + change.version + ": " +
                   (what.empty() ? ReleaseStateText(entry, change.version, now) : what)}};
  if (entry == before) {
    outcome.messages.push_back("manifest unchanged");
    return outcome;
  }
  RaiseSerial(*manifest, change.valid_days);
  if (!WriteAtomically(manifest_path, manifest->dump(2) + "\n")) {
    return Fail("cannot write " + manifest_path.string());
  }
  outcome.messages.push_back("serial " + manifest->at("serial").dump() + ", expires " +
                             manifest->at("expires").get<std::string>());
  RemoveStaleSignature(root, outcome);
  return outcome;
}

Outcome RefreshManifest(const std::string& root_text, int valid_days) {
  const fs::path root(root_text);
  const fs::path manifest_path = root / "manifest.json";
  if (!fs::exists(manifest_path)) return Refuse("no manifest.json in " + root_text);
  std::string problem;
  std::optional<Json> manifest = LoadManifest(manifest_path, problem);
  if (!manifest) return Refuse(problem);
  RaiseSerial(*manifest, valid_days);
  if (!WriteAtomically(manifest_path, manifest->dump(2) + "\n")) {
    return Fail("cannot write " + manifest_path.string());
  }
  Outcome outcome{0,
                  {"serial " + manifest->at("serial").dump() + ", expires " +
                   manifest->at("expires").get<std::string>()}};
  RemoveStaleSignature(root, outcome);
  return outcome;
}

Outcome SignManifest(const std::string& root_text, const std::string& secret_key_file) {
  const fs::path root(root_text);
  const std::optional<std::string> text = ReadText(root / "manifest.json");
  if (!text) return Refuse("cannot read " + (root / "manifest.json").string());
  std::string reason;
  SignedMembers members;
  if (!SoundForClients(*text, UnixNow(), reason, members)) {
    return Refuse("clients would refuse this manifest (" + reason +
                  "); run solvane-publish refresh first");
  }
  std::string problem;
  const std::optional<SecretKey> key = LoadSecretKey(secret_key_file, problem);
  if (!key) return Refuse(problem);

  const std::string signature = SignMessage(*text, "manifest.json", *key, UnixNow());
  // Never publish a signature that the client would refuse.
  if (CheckSignature(*text, signature, {PublicHalf(*key)}) != SignatureCheck::kValid) {
    return Fail("the new signature does not verify");
  }
  if (!WriteAtomically(root / kSignatureName, signature)) {
    return Fail("cannot write " + (root / kSignatureName).string());
  }
  return {0,
          {"signed manifest.json with key " + KeyIdText(key->key_id) + " (serial " +
           std::to_string(members.serial) + ", expires " + FormatUtcTime(members.expires) + ")"}};
}

Outcome VerifyTree(const std::string& root_text, const std::string& public_key_file,
                   const std::vector<std::string>& publishers) {
  const fs::path root(root_text);
  std::string problem;
  std::optional<Json> loaded = LoadManifest(root / "manifest.json", problem);
  if (!loaded) return Fail(problem);
  if (!fs::exists(root / "manifest.json")) return Fail("no manifest.json in " + root_text);
  const Json& manifest = *loaded;

  Outcome outcome;
  auto report = [&outcome](std::string line) {
    outcome.code = 1;
    outcome.messages.push_back(std::move(line));
  };

  Json releases = manifest.value("releases", Json::object());
  if (!releases.is_object()) {
    report("releases is not an object");
    releases = Json::object();
  }
  for (const auto& [platform, versions] : releases.items()) {
    if (!versions.is_object()) {
      report(platform + ": releases are not an object");
      continue;
    }
    for (const auto& [version, entry] : versions.items()) {
      const std::string where = platform + " " + version + ": ";
      if (!entry.is_object() || !entry.value("url", Json()).is_string() ||
          entry.at("url").get<std::string>().empty()) {
        report(where + "no url");
        continue;
      }
      const Json sha256 = entry.value("sha256", Json());
      if (!sha256.is_string() || sha256.get<std::string>().empty()) {
        report(where + "no sha256");
        continue;
      }
      const fs::path file = TreeFile(root, platform, version, entry.at("url").get<std::string>());
      std::error_code ec;
      if (!fs::is_regular_file(file, ec)) {
        report(where + "missing file " + file.string());
      } else if (!VerifySha256(file.string(), sha256.get<std::string>())) {
        report(where + "digest does not match " + file.string());
      } else {
        // A build with release keys takes no entry without its size.
        const std::optional<std::int64_t> listed = JsonInt64(entry.value("size", Json()));
        const std::uintmax_t size = fs::file_size(file, ec);
        if (!listed) {
          report(where + "no size");
        } else if (ec || static_cast<std::int64_t>(size) != *listed) {
          report(where + "size does not match " + file.string());
        }
        if (!publishers.empty() && platform.starts_with("windows")) {
          const std::string warning =
              SignatureWarning(CheckInstallerSignature(file.string()), publishers, where);
          if (!warning.empty()) outcome.messages.push_back(warning);
        }
      }
      const Json deltas = entry.value("deltas", Json::array());
      if (!deltas.is_array()) report(where + "deltas is not a list");
      for (const Json& delta : deltas.is_array() ? deltas : Json::array()) {
        VerifyDelta(root, manifest, platform, version, sha256.get<std::string>(), delta, report,
                    outcome);
      }
      // A rollback the clients would refuse takes nobody back.
      const Json rollback_to = entry.value("rollback_to", Json());
      if (rollback_to.is_string()) {
        const std::string target = rollback_to.get<std::string>();
        const ListedRelease listed = ReadReleaseEntry(target, versions.value(target, Json()));
        if (!versions.contains(target)) {
          report(where + "rollback_to " + target + " is not published");
        } else if (CompareVersions(target, version) >= 0) {
          report(where + "rollback_to " + target + " is not older");
        } else if (listed.withdrawn || !listed.problem.empty()) {
          report(where + "rollback_to " + target + " is withdrawn or unusable");
        } else if (entry.value("withdrawn", Json()) != true) {
          report(where + "rollback_to without withdrawn");
        }
      }
      // A url, sha256 or notes of the wrong type is reported as the client's
      // parser sees it; the release control members are reported here.
      const std::string state = ReleaseStateText(entry, version, UnixNow());
      if (!state.starts_with("unusable")) {
        outcome.listing.push_back(where + state + CurrentIn(manifest, platform, version));
      } else if (!state.starts_with("unusable: url") && !state.starts_with("unusable: sha256") &&
                 !state.starts_with("unusable: notes")) {
        report(where + state);
      }
    }
  }

  const Json current = manifest.value("current", Json::object());
  Json stable = current.is_object() ? current.value("stable", Json::object()) : Json();
  if (!stable.is_object()) {
    report("current.stable is not an object");
    stable = Json::object();
  }
  for (const auto& [platform, version] : stable.items()) {
    std::string v, url, sha256, notes, error;
    if (!version.is_string()) {
      report(platform + ": stable version is not a string");
    } else if (!ParseManifest(manifest.dump(), platform, v, url, sha256, notes, &error)) {
      // What the client would print on its own standard error, under our name.
      report(!error.empty() ? platform + ": manifest parse error -- " + error
                            : platform + ": stable version " + version.get<std::string>() +
                                  " has no release entry with a url");
    }
  }
  if (!public_key_file.empty()) {
    const std::optional<std::string> key_text = ReadText(public_key_file);
    const std::optional<PublicKey> key =
        key_text ? ParsePublicKeyFile(*key_text) : std::optional<PublicKey>();
    const std::optional<std::string> text = ReadText(root / "manifest.json");
    const std::optional<std::string> signature = ReadText(root / kSignatureName);
    std::string reason;
    SignedMembers members;
    const std::int64_t now = UnixNow();
    if (!key) {
      report("not a minisign public key: " + public_key_file);
    } else if (!signature || !text) {
      report(std::string("no ") + kSignatureName + ": run solvane-publish sign");
    } else if (const SignatureCheck check = CheckSignature(*text, *signature, {*key});
               check != SignatureCheck::kValid) {
      report(std::string("signature: ") + SignatureCheckText(check));
    } else if (!SoundForClients(*text, now, reason, members)) {
      report("signed manifest: " + reason);
    } else {
      const std::int64_t days_left = (members.expires - now) / 86400;
      outcome.messages.push_back("signature: valid, key " + KeyIdText(key->key_id) + ", serial " +
                                 std::to_string(members.serial) + ", expires " +
                                 FormatUtcTime(members.expires));
      if (members.expires - now < kWarnDays * 86400) {
        outcome.messages.push_back("warning: the manifest expires in " + std::to_string(days_left) +
                                   " days; run solvane-publish refresh and sign");
      }
    }
  }
  if (outcome.code == 0) outcome.messages.push_back("ok");
  return outcome;
}

}  // namespace solvane::publish
