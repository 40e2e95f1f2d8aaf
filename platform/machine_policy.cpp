#include "platform/machine_policy.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/fs.h"
#include "platform/untrusted_json.h"

namespace solvane {
namespace {

// A policy file is a dozen lines; anything much larger is no policy file.
constexpr std::size_t kMaxPolicyFileBytes = 64 * 1024;

}  // namespace

PolicyValues ReadPolicyDocument(const std::string& text, const std::string& where) {
  PolicyValues read;
  if (NestsDeeperThan(text, kMaxJsonNesting)) {
    read.problems.push_back(where + ": nested too deep");
    return read;
  }
  const Json document = Json::parse(text, nullptr, false);
  if (!document.is_object()) {
    read.problems.push_back(where + ": not a JSON object");
    return read;
  }
  for (const auto& [name, value] : document.items()) {
    PolicyValue stored{name, PolicyValue::Kind::kOther, 0, "", where};
    if (value.is_boolean()) {
      stored.kind = PolicyValue::Kind::kNumber;
      stored.number = value.get<bool>() ? 1 : 0;
    } else if (const std::optional<std::int64_t> number = JsonInt64(value)) {
      stored.kind = PolicyValue::Kind::kNumber;
      stored.number = *number;
    } else if (value.is_string()) {
      stored.kind = PolicyValue::Kind::kText;
      stored.text = value.get<std::string>();
    }
    read.values.push_back(std::move(stored));
  }
  return read;
}

PolicyValues ReadPolicyFile(const std::string& path) {
  PolicyValues read;
  if (!PathExists(path)) return read;
  const UniqueFile file = OpenFile(path, "rb");
  if (!file) {
    read.problems.push_back(path + ": cannot be read");
    return read;
  }
  std::string text(kMaxPolicyFileBytes + 1, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), file.get()));
  if (std::ferror(file.get())) {
    read.problems.push_back(path + ": cannot be read");
    return read;
  }
  if (text.size() > kMaxPolicyFileBytes) {
    read.problems.push_back(path + ": larger than 64 KiB");
    return read;
  }
  return ReadPolicyDocument(text, path);
}

}  // namespace solvane
