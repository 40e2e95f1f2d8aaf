// What the text form keeps between calls. Only text_progress.cpp and the
// tests' read-back of the window include this.
#pragma once

#include <array>
#include <string>

#include "ui/label_text.h"

namespace solvane::text_progress {

struct Labels {
  std::array<std::u16string, kStepCount> text;
  std::array<bool, kStepCount> done{};
  bool progress_line_open = false;
};

// The one text form's state.
Labels& State();

}  // namespace solvane::text_progress
