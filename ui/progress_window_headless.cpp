// The progress window for builds without a window toolkit: everything goes
// to the text form.
#include "ui/progress_window.h"
#include "ui/text_progress.h"

namespace solvane {

WindowHandle CreateProgressWindow() {
  text_progress::Start();
  return nullptr;
}

void MarkStepActive(int index) { text_progress::MarkStepActive(index); }
void MarkStepDone(int index) { text_progress::MarkStepDone(index); }
void SetStepText(int index, const std::u16string& text) { text_progress::SetStepText(index, text); }
void SetProgress(int percent) { text_progress::SetProgress(percent); }
void PumpMessages() {}
void DestroyProgressWindow(WindowHandle) { text_progress::Finish(); }
void ShowErrorMessage(WindowHandle, const char* text) { text_progress::ShowError(text); }

}  // namespace solvane
