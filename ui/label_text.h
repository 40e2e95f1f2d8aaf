// Label texts of the progress window, in UTF-16 code units.
#pragma once

#include <string>
#include <string_view>

namespace solvane {

inline constexpr int kStepCount = 4;
inline constexpr std::size_t kMaxLabelUnits = 255;

inline constexpr char16_t kActiveSuffix[] = u"...";
inline constexpr char16_t kDoneSuffix[] = u"  \u2714";

// Initial text of step 0-3 ("  Fetching release information", ...).
std::u16string InitialStepText(int index);

// `current` cut to its first 255 code units, followed by `suffix`.
std::u16string AppendSuffix(std::u16string_view current, std::u16string_view suffix);

// The download step's label: "  Downloading Solvane " + version.
std::u16string DownloadLabel(const std::string& version);

}  // namespace solvane
