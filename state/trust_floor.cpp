#include "state/trust_floor.h"

#include <cstdio>
#include <string>

#include "platform/fs.h"
#include "state/paths.h"
#include "state/records.h"

namespace solvane {
namespace {

// The file holds two numbers; anything larger was not written by this program.
constexpr std::size_t kMaxTrustFileBytes = 4096;

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
  return {ReadManifestSerial(state), ReadRolloutDraw(state)};
}

bool RestoreTrustFloor(Json& state, const TrustFloor& floor) {
  bool changed = RaiseManifestSerial(state, floor.manifest_serial);
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
  if (held.manifest_serial > raised.manifest_serial) raised.manifest_serial = held.manifest_serial;
  if (!raised.rollout_draw) raised.rollout_draw = held.rollout_draw;
  if (raised == kept) return true;

  Json document = Json::object();
  if (raised.manifest_serial > 0) document["manifest_serial"] = raised.manifest_serial;
  if (raised.rollout_draw) document["rollout_draw"] = *raised.rollout_draw;
  const std::optional<std::string> text = SerializeState(document);
  return text && WriteFileAtomically(TrustFilePath(), *text, FileForm::kText);
}

}  // namespace solvane
