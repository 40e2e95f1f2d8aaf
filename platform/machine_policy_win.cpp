#include "platform/machine_policy_win.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/encoding_win.h"

namespace solvane {
namespace {

struct KeyClose {
  void operator()(HKEY key) const noexcept { ::RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyClose>;

// Value names and data past these sizes are no policy of ours; a policy key
// past this many values is not read further.
constexpr DWORD kMaxNameChars = 256;
constexpr DWORD kMaxDataBytes = 4096;
constexpr DWORD kMaxValues = 64;

PolicyValue StoredValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD size,
                        const char* where) {
  PolicyValue value{Utf8FromWide(name), PolicyValue::Kind::kOther, 0, "", where};
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD number = 0;
    std::memcpy(&number, data, sizeof number);
    value.kind = PolicyValue::Kind::kNumber;
    value.number = number;
  } else if (type == REG_SZ && size % sizeof(wchar_t) == 0) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    value.kind = PolicyValue::Kind::kText;
    value.text = Utf8FromWide(text.c_str());
  }
  return value;
}

void ReadKey(HKEY root, const char* where, PolicyValues& read) {
  HKEY opened = nullptr;
  const LSTATUS status =
      ::RegOpenKeyExW(root, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened);
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS) {
    read.problems.push_back(std::string(where) + ": cannot open the policy key (error " +
                            std::to_string(status) + ")");
    return;
  }
  const UniqueKey key(opened);
  std::vector<PolicyValue> values;
  for (DWORD index = 0; index < kMaxValues; ++index) {
    wchar_t name[kMaxNameChars + 1];
    DWORD name_chars = kMaxNameChars + 1;
    BYTE data[kMaxDataBytes];
    DWORD size = sizeof data;
    DWORD type = REG_NONE;
    const LSTATUS got =
        ::RegEnumValueW(key.get(), index, name, &name_chars, nullptr, &type, data, &size);
    if (got == ERROR_NO_MORE_ITEMS) break;
    if (got == ERROR_MORE_DATA) {
      // Too long a name or value: kept as a value of no usable type.
      values.push_back(
          {"(value " + std::to_string(index) + ")", PolicyValue::Kind::kOther, 0, "", where});
      continue;
    }
    if (got != ERROR_SUCCESS) {
      read.problems.push_back(std::string(where) + ": cannot read the policy key (error " +
                              std::to_string(got) + ")");
      return;
    }
    values.push_back(StoredValue(name, type, data, size, where));
  }
  read.values.insert(read.values.end(), values.begin(), values.end());
}

}  // namespace

PolicyValues ReadRegistryPolicy() {
  PolicyValues read;
  ReadKey(HKEY_LOCAL_MACHINE, "HKLM", read);
  ReadKey(HKEY_CURRENT_USER, "HKCU", read);
  return read;
}

}  // namespace solvane
