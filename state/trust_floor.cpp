#include "state/trust_floor.h"

#include <cstdio>
#include <string>

#include "platform/fs.h"
#include "state/paths.h"
#include "state/records.h"

namespace solvane {
namespace {

// The file holds a key set of at most 32 keys, 64 retired key ids and two
// numbers; anything larger was not written by this program.
constexpr std::size_t kMaxTrustFileBytes = 64 * 1024;

std::optional<std::string> ReadTrustText() {
  const UniqueFile file = OpenFile(TrustFilePath(), "rb");
  if (!file) return std::nullopt;
  std::string text(kMaxTrustFileBytes + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file.get()));
  if (std::ferror(file.get()) || text.size() > kMaxTrustFileBytes) return std::nullopt;
  return text;
}

}  // namespace

TrustFloor LoadTrustFloor() {
  const std::optional<std::string> text = ReadTrustText();
  if (!text) return {};
  return TrustFloorOf(ParseStateText(*text));
}

TrustFloor TrustFloorOf(const Json& state) {
  return {ReadKeySet(state), ReadManifestSerial(state), ReadRolloutDraw(state)};
}

bool RestoreTrustFloor(Json& state, const TrustFloor& floor) {
  bool changed = false;
  const std::int64_t held_version = KeySetVersionOf(ReadKeySet(state));
  if (KeySetVersionOf(floor.key_set) > held_version) {
    WriteKeySet(state, *floor.key_set, floor.manifest_serial);
    changed = true;
  } else if (KeySetVersionOf(floor.key_set) == held_version) {
    changed = RaiseManifestSerial(state, floor.manifest_serial);
  }
  if (floor.rollout_draw && ReadRolloutDraw(state) != floor.rollout_draw) {
    state["rollout_draw"] = *floor.rollout_draw;
    changed = true;
  }
  return changed;
}

bool KeepTrustFloor(const Json& state) {
  const TrustFloor kept = LoadTrustFloor();
  const TrustFloor held = TrustFloorOf(state);
  TrustFloor raised = kept;
  const std::int64_t held_version = KeySetVersionOf(held.key_set);
  if (held_version > KeySetVersionOf(kept.key_set)) {
    raised.key_set = held.key_set;
    raised.manifest_serial = held.manifest_serial;
  } else if (held_version == KeySetVersionOf(kept.key_set) &&
             held.manifest_serial > raised.manifest_serial) {
    raised.manifest_serial = held.manifest_serial;
  }
  if (!raised.rollout_draw) raised.rollout_draw = held.rollout_draw;
  if (raised == kept) return true;

  Json document = Json::object();
  if (raised.key_set) WriteKeySet(document, *raised.key_set, raised.manifest_serial);
  if (raised.manifest_serial > 0) document["manifest_serial"] = raised.manifest_serial;
  if (raised.rollout_draw) document["rollout_draw"] = *raised.rollout_draw;
  const std::optional<std::string> text = SerializeState(document);
  return text && WriteFileAtomically(TrustFilePath(), *text, FileForm::kText);
}

}  // namespace solvane
