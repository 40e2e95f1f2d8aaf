// The machine administrator's policy values as the system stores them: the
// policy file on Linux, the Policies registry keys on Windows. Read only;
// what they mean, and whether they are usable, is the workflow's to judge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace solvane {

// The policy file the shipped Linux program reads.
inline constexpr const char kPolicyFile[] = "/etc/korrinwade/solvane/policy.json";

// One value as stored.
struct PolicyValue {
  enum class Kind {
    kNumber,  // a REG_DWORD, a JSON integer, or JSON true (1) / false (0)
    kText,    // a REG_SZ, a JSON string
    kOther,   // any other type
  };
  std::string name;
  Kind kind = Kind::kOther;
  std::int64_t number = 0;  // kNumber
  std::string text;         // kText, UTF-8
  std::string where;        // "HKLM", "HKCU" or the file's path
};

struct PolicyValues {
  // Highest precedence first: a name may appear once per store.
  std::vector<PolicyValue> values;
  // Stores that exist but could not be read, each with why; nothing of
  // such a store is in `values`.
  std::vector<std::string> problems;
};

// The top-level members of the JSON policy file at `path`. A missing file is
// no policy; one that is no JSON object (or larger than 64 KiB) is a problem.
[[nodiscard]] PolicyValues ReadPolicyFile(const std::string& path);

// The same for a document already read; `where` names it.
[[nodiscard]] PolicyValues ReadPolicyDocument(const std::string& text, const std::string& where);

}  // namespace solvane
