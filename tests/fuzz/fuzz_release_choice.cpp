// The release choice on arbitrary manifest text: the document as read, its
// release entries (deltas, rollouts, withdrawals, channels, sizes) and the
// release chosen for a query drawn from the input.
//
// Input: the first 6 bytes, when there are that many, make the query: byte 0
// holds flags (1: the channel "beta", 2: a signed build's digest rule, 4: an
// installed version "1.5.0", 8: the staged version "2.0.0" held), bytes 1-4
// the draw and byte 5 the clock (days after 2026-01-01); the rest is the text.
//
// Besides crashes and sanitizer reports this checks what the choice promises:
// what it offers is listed, usable, not withdrawn and has a URL, and a signed
// build's choice carries a digest.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "release/manifest.h"
#include "release/release_choice.h"
#include "release/signed_members.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kQueryBytes = 6;
  std::uint8_t query_bytes[kQueryBytes] = {};
  const std::size_t header = size < kQueryBytes ? size : kQueryBytes;
  for (std::size_t i = 0; i < header; ++i) query_bytes[i] = data[i];
  const std::string text(reinterpret_cast<const char*>(data) + header, size - header);
  const std::uint8_t flags = query_bytes[0];

  const std::string key = "windows-x64";
  solvane::ReleaseQuery query;
  query.platform_key = key;
  query.channel = (flags & 1) ? "beta" : "";
  query.require_sha256 = (flags & 2) != 0;
  if (flags & 4) query.installed = "1.5.0";
  query.draw = static_cast<std::uint32_t>(query_bytes[1]) << 24 |
               static_cast<std::uint32_t>(query_bytes[2]) << 16 |
               static_cast<std::uint32_t>(query_bytes[3]) << 8 | query_bytes[4];
  query.now = 1767225600 + static_cast<std::int64_t>(query_bytes[5]) * 86400;
  query.system = {"Windows", (flags & 16) ? "10.0.17763" : "6.1.7601"};
  query.link_scheme = (flags & 32) ? "http" : "https";
  std::vector<std::string> held;
  if (flags & 8) held.push_back("2.0.0");

  const solvane::ManifestDocument document =
      solvane::ReadManifestDocument(text, key, query.channel, held);
  FUZZ_CHECK(document.error.find('\n') == std::string::npos);
  const std::vector<solvane::ListedRelease> listed = solvane::ListReleases(document, key);
  for (const solvane::ListedRelease& release : listed) {
    FUZZ_CHECK(release.deltas.size() <= solvane::kMaxReleaseDeltas);
  }
  const solvane::ReleaseChoice choice = solvane::ChooseRelease(document, query);
  if (choice.found()) {
    const solvane::ListedRelease& chosen = choice.release;
    FUZZ_CHECK(!chosen.url.empty());
    FUZZ_CHECK(!chosen.withdrawn);
    FUZZ_CHECK(chosen.problem.empty());
    FUZZ_CHECK(chosen.version.size() <= 64);
    FUZZ_CHECK(solvane::FindRelease(listed, chosen.version).has_value());
    if (query.require_sha256) FUZZ_CHECK(solvane::IsSha256Hex(chosen.sha256));
    FUZZ_CHECK(chosen.informational.empty());
    FUZZ_CHECK(chosen.min_os.empty() ||
               solvane::CompareSystemVersions(query.system.version, chosen.min_os) >= 0);
    FUZZ_CHECK(!choice.available ||
               solvane::CompareVersions(choice.available->version, chosen.version) > 0);
  }
  std::string reason;
  const auto members = solvane::CheckSignedMembers(document, key, 0, query.now, reason);
  FUZZ_CHECK(members.has_value() == reason.empty());
  if (members) FUZZ_CHECK(members->serial >= 1);
  return 0;
}
