#include "ui/label_text.h"

#include "platform/encoding.h"

namespace solvane {

std::u16string InitialStepText(int index) {
  static const char16_t* const kTexts[kStepCount] = {
      u"  Fetching release information",
      u"  Downloading",
      u"  Verifying download",
      u"  Launching installer",
  };
  return index >= 0 && index < kStepCount ? kTexts[index] : u"";
}

std::u16string AppendSuffix(std::u16string_view current, std::u16string_view suffix) {
  std::u16string text(current.substr(0, kMaxLabelUnits));
  text += suffix;
  return text;
}

std::u16string DownloadLabel(const std::string& version) {
  return u"  Downloading Solvane " + DecodeUtf8(version);
}

}  // namespace solvane
