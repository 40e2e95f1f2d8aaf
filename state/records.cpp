#include "state/records.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "platform/clock.h"
#include "state/text_bounds.h"

namespace solvane {

std::int64_t ReadLastCheck(const Json& state) {
  using Limits = std::numeric_limits<std::int64_t>;
  if (!state.is_object()) return 0;
  const auto it = state.find("last_check");
  if (it == state.end()) return 0;
  if (it->is_number_integer() && !it->is_number_unsigned()) return it->get<std::int64_t>();
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    return value > static_cast<std::uint64_t>(Limits::max()) ? Limits::max()
                                                             : static_cast<std::int64_t>(value);
  }
  if (it->is_number_float()) {
    const double value = std::trunc(it->get<double>());
    if (!(value > static_cast<double>(Limits::min()))) return Limits::min();
    if (!(value < static_cast<double>(Limits::max()))) return Limits::max();
    return static_cast<std::int64_t>(value);
  }
  return 0;
}

std::int64_t ReadManifestSerial(const Json& state) {
  if (!state.is_object()) return 0;
  const auto it = state.find("manifest_serial");
  if (it == state.end() || !it->is_number_integer()) return 0;
  // A stored value past the signed range still blocks every older manifest.
  if (it->is_number_unsigned()) {
    const auto value = it->get<std::uint64_t>();
    return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX
                                                         : static_cast<std::int64_t>(value);
  }
  return it->get<std::int64_t>();
}

std::optional<StagedRecord> ReadStaged(const Json& state) {
  if (!state.is_object()) return std::nullopt;
  const auto it = state.find("staged");
  if (it == state.end() || !it->is_object()) return std::nullopt;
  StagedRecord record;
  const std::pair<const char*, std::string*> members[] = {
      {"version", &record.version}, {"installer", &record.installer}, {"sha256", &record.sha256},
      {"notes", &record.notes},     {"date", &record.date},
  };
  for (const auto& [key, out] : members) {
    const auto member = it->find(key);
    if (member == it->end()) continue;
    if (!member->is_string()) return std::nullopt;
    *out = member->get<std::string>();
  }
  return record;
}

std::string CapNotes(const std::string& notes) {
  return std::string(Utf8Prefix(notes, kMaxNotesBytes));
}

Json StagedJson(const StagedRecord& record) {
  return Json{{"version", record.version},
              {"installer", record.installer},
              {"sha256", record.sha256},
              {"notes", CapNotes(record.notes)},
              {"date", record.date}};
}

std::optional<PartialRecord> ReadPartial(const Json& state) {
  if (!state.is_object()) return std::nullopt;
  const auto it = state.find("partial");
  if (it == state.end() || !it->is_object()) return std::nullopt;
  PartialRecord record;
  const std::pair<const char*, std::string*> members[] = {
      {"url", &record.url},
      {"sha256", &record.sha256},
      {"file", &record.file},
      {"validator", &record.validator},
  };
  for (const auto& [key, out] : members) {
    const auto member = it->find(key);
    if (member == it->end() || !member->is_string()) return std::nullopt;
    *out = member->get<std::string>();
  }
  const auto bytes = it->find("bytes");
  if (bytes == it->end() || !bytes->is_number_integer()) return std::nullopt;
  if (bytes->is_number_unsigned()) {
    if (bytes->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    record.bytes = static_cast<std::int64_t>(bytes->get<std::uint64_t>());
  } else {
    record.bytes = bytes->get<std::int64_t>();
    if (record.bytes < 0) return std::nullopt;
  }
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
    if (installer == entry.end() || !installer->is_string() || time == entry.end() ||
        !time->is_number_integer()) {
      continue;
    }
    // Unlike last_check, a time beyond the range is not ours: skip it.
    if (time->is_number_unsigned() &&
        time->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
      continue;
    }
    records.push_back({installer->get<std::string>(), time->get<std::int64_t>()});
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

std::string UtcDate(std::int64_t unix_seconds) {
  const std::tm utc = UtcTime(unix_seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  return text;
}

}  // namespace solvane
