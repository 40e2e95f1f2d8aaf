#include "state/records.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "platform/encoding.h"

namespace solvane {
namespace {

// The object stored under `key`, or null when `state` has no such object.
const Json* RecordObject(const Json& state, const char* key) {
  if (!state.is_object()) return nullptr;
  const auto it = state.find(key);
  return it == state.end() || !it->is_object() ? nullptr : &*it;
}

// Copies the members of `record` that `members` names into their strings.
// False when one is not a string or, with `required`, is missing.
bool ReadStringMembers(const Json& record,
                       std::initializer_list<std::pair<const char*, std::string*>> members,
                       bool required) {
  for (const auto& [key, out] : members) {
    const auto member = record.find(key);
    if (member == record.end()) {
      if (required) return false;
      continue;
    }
    if (!member->is_string()) return false;
    *out = member->get<std::string>();
  }
  return true;
}

// Clears a validator that IsUsableValidator refuses. An older program kept
// whatever the server sent; sent back, such a value would only be refused
// again, and kept it could outgrow the state file.
void DropUnusableValidator(std::string& validator) {
  if (!IsUsableValidator(validator)) validator.clear();
}

// Printable ASCII, 1 to `most` bytes.
bool IsPlainText(const std::string& text, std::size_t most) {
  return !text.empty() && text.size() <= most &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

}  // namespace

std::int64_t ReadLastCheck(const Json& state) {
  if (!state.is_object()) return 0;
  const auto it = state.find("last_check");
  if (it == state.end()) return 0;
  if (const auto value = JsonInt64(*it)) return *value;
  if (it->is_number_float()) {
    // 2^63 is exact as a double; anything outside [-2^63, 2^63) is out of
    // range and reads as absent, as an out-of-range integer does.
    constexpr double kLimit = 9223372036854775808.0;
    const double value = std::trunc(it->get<double>());
    if (value >= -kLimit && value < kLimit) return static_cast<std::int64_t>(value);
  }
  return 0;
}

std::int64_t ReadManifestSerial(const Json& state) {
  if (!state.is_object()) return 0;
  const auto it = state.find("manifest_serial");
  return it == state.end() ? 0 : JsonInt64(*it).value_or(0);
}

std::optional<KeySetRecord> ReadKeySet(const Json& state) {
  const Json* set = RecordObject(state, "key_set");
  if (!set || JsonInt64(set->value("version", Json())).value_or(0) < 2) return std::nullopt;
  KeySetRecord record{*set, {}};
  const auto retired = state.find("retired_key_ids");
  if (retired != state.end() && retired->is_array()) {
    for (const Json& id : *retired) {
      if (id.is_string()) record.retired_key_ids.push_back(id.get<std::string>());
    }
  }
  return record;
}

std::int64_t KeySetVersionOf(const std::optional<KeySetRecord>& record) {
  return record ? JsonInt64(record->key_set.value("version", Json())).value_or(1) : 1;
}

std::optional<StagedRecord> ReadStaged(const Json& state) {
  const Json* it = RecordObject(state, "staged");
  StagedRecord record;
  if (!it || !ReadStringMembers(*it,
                                {{"version", &record.version},
                                 {"installer", &record.installer},
                                 {"sha256", &record.sha256},
                                 {"notes", &record.notes},
                                 {"date", &record.date}},
                                false)) {
    return std::nullopt;
  }
  const auto critical = it->find("critical");
  record.critical = critical != it->end() && critical->is_boolean() && critical->get<bool>();
  const auto pins = it->find("publisher_pins");
  if (pins != it->end() && pins->is_array()) {
    for (const Json& pin : *pins) {
      // Pins only narrow what the build's names let through; a bounded few.
      if (pin.is_string() && pin.get_ref<const std::string&>().size() == 64 &&
          record.publisher_pins.size() < 16) {
        record.publisher_pins.push_back(pin.get<std::string>());
      }
    }
  }
  const auto downgrade = it->find("downgrade");
  record.downgrade = downgrade != it->end() && downgrade->is_boolean() && downgrade->get<bool>();
  return record;
}

std::string CapNotes(const std::string& notes) {
  return std::string(Utf8Prefix(notes, kMaxNotesBytes));
}

Json StagedJson(const StagedRecord& record) {
  Json staged{{"version", record.version},
              {"installer", record.installer},
              {"sha256", record.sha256},
              {"notes", CapNotes(record.notes)},
              {"date", record.date}};
  if (record.critical) staged["critical"] = true;
  if (!record.publisher_pins.empty()) staged["publisher_pins"] = record.publisher_pins;
  if (record.downgrade) staged["downgrade"] = true;
  return staged;
}

std::optional<PartialRecord> ReadPartial(const Json& state) {
  const Json* it = RecordObject(state, "partial");
  PartialRecord record;
  if (!it || !ReadStringMembers(*it,
                                {{"url", &record.url},
                                 {"sha256", &record.sha256},
                                 {"file", &record.file},
                                 {"validator", &record.validator}},
                                true)) {
    return std::nullopt;
  }
  DropUnusableValidator(record.validator);
  const auto bytes = it->find("bytes");
  if (bytes == it->end()) return std::nullopt;
  const std::optional<std::int64_t> count = JsonInt64(*bytes);
  if (!count || *count < 0) return std::nullopt;
  record.bytes = *count;
  return record;
}

Json PartialJson(const PartialRecord& record) {
  return Json{{"url", record.url},
              {"sha256", record.sha256},
              {"file", record.file},
              {"bytes", record.bytes},
              {"validator", record.validator}};
}

std::vector<LaunchedRecord> ReadLaunched(const Json& state) {
  std::vector<LaunchedRecord> records;
  if (!state.is_object()) return records;
  const auto it = state.find("launched");
  if (it == state.end() || !it->is_array()) return records;
  for (const Json& entry : *it) {
    if (!entry.is_object()) continue;
    const auto installer = entry.find("installer");
    const auto time = entry.find("time");
    if (installer == entry.end() || !installer->is_string() || time == entry.end()) continue;
    const std::optional<std::int64_t> seconds = JsonInt64(*time);
    if (!seconds) continue;
    records.push_back({installer->get<std::string>(), *seconds});
  }
  return records;
}

void WriteLaunched(Json& state, const std::vector<LaunchedRecord>& records) {
  if (records.empty()) {
    state.erase("launched");
    return;
  }
  Json array = Json::array();
  for (const LaunchedRecord& record : records) {
    array.push_back(Json{{"installer", record.installer}, {"time", record.time}});
  }
  state["launched"] = std::move(array);
}

Json ReleaseNotesJson(const std::string& version, const std::string& notes) {
  return Json{{"version", version}, {"notes", CapNotes(notes)}};
}

std::optional<std::uint32_t> ReadRolloutDraw(const Json& state) {
  if (!state.is_object()) return std::nullopt;
  const auto it = state.find("rollout_draw");
  if (it == state.end()) return std::nullopt;
  const std::optional<std::int64_t> value = JsonInt64(*it);
  if (!value || *value < 0 || *value > 0xFFFFFFFFll) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::uint32_t KeepRolloutDraw(Json& state, std::uint32_t (*draw)(), bool* drawn) {
  if (drawn) *drawn = false;
  if (const std::optional<std::uint32_t> stored = ReadRolloutDraw(state)) return *stored;
  const std::uint32_t fresh = draw();
  state["rollout_draw"] = fresh;
  if (drawn) *drawn = true;
  return fresh;
}

void KeepRolloutDraw(Json& state, std::uint32_t draw) {
  if (!ReadRolloutDraw(state)) state["rollout_draw"] = draw;
}

void WriteLastCheck(Json& state, std::int64_t now) { state["last_check"] = now; }

bool RaiseManifestSerial(Json& state, std::int64_t serial) {
  if (serial <= ReadManifestSerial(state)) return false;
  state["manifest_serial"] = serial;
  return true;
}

void WriteKeySet(Json& state, const KeySetRecord& record, std::int64_t serial_floor) {
  state["key_set"] = record.key_set;
  state["retired_key_ids"] = record.retired_key_ids;
  state["manifest_serial"] = serial_floor;
}

void WriteStaged(Json& state, const StagedRecord& record) { state["staged"] = StagedJson(record); }

void WriteReleaseNotes(Json& state, const std::string& version, const std::string& notes) {
  state["release_notes"] = ReleaseNotesJson(version, notes);
}

void WritePartial(Json& state, const PartialRecord& record) {
  state["partial"] = PartialJson(record);
}

bool DropStaged(Json& state) { return state.is_object() && state.erase("staged") > 0; }

bool DropPartial(Json& state) { return state.is_object() && state.erase("partial") > 0; }

std::optional<KeptManifestRecord> ReadKeptManifest(const Json& state) {
  const Json* it = RecordObject(state, "kept_manifest");
  KeptManifestRecord record;
  if (!it || !ReadStringMembers(*it,
                                {{"etag", &record.etag},
                                 {"last_modified", &record.last_modified},
                                 {"signature_etag", &record.signature_etag},
                                 {"signature_last_modified", &record.signature_last_modified}},
                                false)) {
    return std::nullopt;
  }
  for (std::string* validator : {&record.etag, &record.last_modified, &record.signature_etag,
                                 &record.signature_last_modified}) {
    DropUnusableValidator(*validator);
  }
  return record;
}

void WriteKeptManifest(Json& state, const KeptManifestRecord& record) {
  state["kept_manifest"] = Json{{"etag", record.etag},
                                {"last_modified", record.last_modified},
                                {"signature_etag", record.signature_etag},
                                {"signature_last_modified", record.signature_last_modified}};
}

bool DropKeptManifest(Json& state) { return state.is_object() && state.erase("kept_manifest") > 0; }

std::optional<BaseRecord> ReadBase(const Json& state) {
  const Json* it = RecordObject(state, "base");
  BaseRecord record;
  if (!it || !ReadStringMembers(*it,
                                {{"version", &record.version},
                                 {"installer", &record.installer},
                                 {"sha256", &record.sha256}},
                                true)) {
    return std::nullopt;
  }
  const auto time = it->find("time");
  const std::optional<std::int64_t> seconds = time == it->end() ? std::nullopt : JsonInt64(*time);
  if (!seconds) return std::nullopt;
  record.time = *seconds;
  return record;
}

void WriteBase(Json& state, const BaseRecord& record) {
  state["base"] = Json{{"version", record.version},
                       {"installer", record.installer},
                       {"sha256", record.sha256},
                       {"time", record.time}};
}

std::int64_t ReadCheckHold(const Json& state) {
  if (!state.is_object()) return 0;
  const auto it = state.find("check_hold_until");
  return it == state.end() ? 0 : JsonInt64(*it).value_or(0);
}

bool WriteCheckHold(Json& state, std::int64_t until) {
  if (until == ReadCheckHold(state)) return false;
  if (until == 0) {
    state.erase("check_hold_until");
  } else {
    state["check_hold_until"] = until;
  }
  return true;
}

std::vector<std::string> ReadWithdrawn(const Json& state) {
  std::vector<std::string> versions;
  if (!state.is_object()) return versions;
  const auto it = state.find("withdrawn");
  if (it == state.end() || !it->is_array()) return versions;
  for (const Json& version : *it) {
    if (version.is_string()) versions.push_back(version.get<std::string>());
  }
  return versions;
}

void WriteWithdrawn(Json& state, std::vector<std::string> versions) {
  // The versions come from the manifest: only short plain text reaches the file.
  std::erase_if(versions, [](const std::string& version) { return !IsPlainText(version, 64); });
  if (versions.size() > kMaxWithdrawnVersions) versions.resize(kMaxWithdrawnVersions);
  if (versions.empty()) {
    state.erase("withdrawn");
  } else {
    state["withdrawn"] = versions;
  }
}

std::optional<AvailableRecord> ReadAvailable(const Json& state) {
  const Json* it = RecordObject(state, "available");
  AvailableRecord record;
  if (!it ||
      !ReadStringMembers(
          *it, {{"version", &record.version}, {"notes", &record.notes}, {"url", &record.url}},
          true)) {
    return std::nullopt;
  }
  return record;
}

bool WriteAvailable(Json& state, const std::optional<AvailableRecord>& record) {
  const bool sound = record && IsPlainText(record->version, 64) &&
                     (record->url.empty() || IsPlainText(record->url, 2048));
  if (!sound) return state.is_object() && state.erase("available") > 0;
  const Json value = {
      {"version", record->version}, {"notes", CapNotes(record->notes)}, {"url", record->url}};
  if (state.is_object() && state.contains("available") && state.at("available") == value) {
    return false;
  }
  state["available"] = value;
  return true;
}

}  // namespace solvane
