#include "state/records.h"

#include <cmath>
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
