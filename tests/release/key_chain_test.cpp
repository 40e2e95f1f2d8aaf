// Key sets as read from their JSON, on the test keys of tests/keys.
#include "release/key_chain.h"

#include <gtest/gtest.h>

namespace solvane {
namespace {

const std::string kRelease1 = "RWQUHcDDwftEISsPJ2u+sXQyL4vO52Pc/p7k5+mVddgkTIoDaLnoxNb/";
const std::string kRoot1 = "RWTmaC3PQrsXH7NjrIuXOYeWhlsjuewSFtxm5wnUwnjFcBmDokR8ZKP6";
const std::string kRoot2 = "RWTO22d44rI9urMCr0vWGlR6lO6c4RMRPbZqULW5EDAXc9oAaXmAMuET";

Json Set() {
  return Json{{"version", 2},
              {"release_keys", {kRelease1}},
              {"root_keys", {kRoot1, kRoot2}},
              {"root_threshold", 2},
              {"serial_floor", 7}};
}

TEST(KeyChain, KeySetsReadStrictly) {
  const std::optional<KeySet> set = KeySetFromJson(Set());
  ASSERT_TRUE(set);
  EXPECT_EQ(KeySetJson(*set), Set());
  Json keys = Json::array();  // 17 distinct keys, one more than a list holds
  for (std::uint8_t i = 0; i < 17; ++i) keys.push_back(PublicKeyText({{i, 1}, {}}));
  const std::pair<const char*, Json> rows[] = {
      {"version as text", Json::parse(R"({"version": "2"})")},
      {"version 0", Json::parse(R"({"version": 0})")},
      {"threshold 0", Json::parse(R"({"root_threshold": 0})")},
      {"threshold above the root keys", Json::parse(R"({"root_threshold": 3})")},
      {"negative serial floor", Json::parse(R"({"serial_floor": -1})")},
      {"no release keys", Json::parse(R"({"release_keys": []})")},
      {"a key that is not one", Json{{"release_keys", {kRelease1.substr(1)}}}},
      {"a key id twice", Json{{"root_keys", {kRoot1, kRoot1}}}},
      {"a root key as a release key", Json{{"release_keys", {kRoot1}}}},
      {"17 keys", Json{{"release_keys", keys}}},
  };
  for (const auto& [name, change] : rows) {
    SCOPED_TRACE(name);
    Json document = Set();
    document.update(change);
    EXPECT_FALSE(KeySetFromJson(document));
  }
}

}  // namespace
}  // namespace solvane
