// The portable half of the publisher check: the rule and the judgement of a
// signer; the system's verifier is in publisher_check_win.cpp.
#include "platform/publisher_check.h"

#include <algorithm>
#include <cctype>

#include "platform/sha256.h"

namespace solvane {
namespace {

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const std::string_view::size_type end = text.find(';');
    const std::string_view item = text.substr(0, end);
    if (!item.empty()) items.emplace_back(item);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return items;
}

// Printable ASCII as it is, anything else as \xNN, so that a name that only
// looks like the right one shows why it is not.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '"' && c != '\\') {
      shown += c;
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    }
  }
  return shown;
}

}  // namespace

PublisherRule PublisherRuleFrom(std::string_view names, std::string_view pins) {
  PublisherRule rule{SplitList(names), SplitList(pins)};
  for (std::string& pin : rule.pins) {
    std::transform(pin.begin(), pin.end(), pin.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  }
  return rule;
}

std::string PublisherNamesText(const PublisherRule& rule) {
  std::string text;
  for (const std::string& name : rule.names) {
    if (!text.empty()) text += " or ";
    text += name;
  }
  return text;
}

PublisherVerdict JudgeSigner(const SignerFacts& signer, const PublisherRule& rule) {
  if (rule.names.empty()) return {PublisherVerdictKind::kNotChecked, ""};
  if (std::find(rule.names.begin(), rule.names.end(), signer.name) == rule.names.end()) {
    return {PublisherVerdictKind::kRefused, "signed by \"" + Shown(signer.name) + "\""};
  }
  if (rule.pins.empty()) return {PublisherVerdictKind::kAccepted, ""};
  const Sha256Hash hash = Sha256Begin();
  Sha256Digest digest{};
  if (!hash) return {PublisherVerdictKind::kRefused, "its key cannot be hashed"};
  Sha256Update(*hash, signer.public_key_info.data(), signer.public_key_info.size());
  if (signer.public_key_info.empty() || !Sha256Finish(*hash, digest)) {
    return {PublisherVerdictKind::kRefused, "its key cannot be hashed"};
  }
  const std::string key = HexDigest(digest);
  if (std::find(rule.pins.begin(), rule.pins.end(), key) == rule.pins.end()) {
    return {PublisherVerdictKind::kRefused, "its key " + key + " is not pinned"};
  }
  return {PublisherVerdictKind::kAccepted, ""};
}

}  // namespace solvane
