// The progress window's text form, for when no window can be shown: the
// same labels and bar, written to standard error.
#pragma once

#include <string>

namespace solvane::text_progress {

// Resets the four labels to their initial texts and prints the title.
void Start();

void MarkStepActive(int index);
void MarkStepDone(int index);
void SetStepText(int index, const std::u16string& text);

// On a terminal the bar is redrawn in place; elsewhere progress is quiet and
// only step changes print a line each.
void SetProgress(int percent);

// Prints the error text on a line of its own.
void ShowError(const char* text);

// Ends the progress line, if one is open.
void Finish();

}  // namespace solvane::text_progress
