// Test-only read-back of the GTK progress window, from the library
// solvane_window_readback that only tests link (the shipped program has none
// of it); tests see what the window shows without screen scraping.
#pragma once

#include <string>

namespace solvane::readback {

// Current text of step label 0-3 as the toolkit holds it; "" for other indexes.
std::u16string StepText(int index);

// True once MarkStepDone has run for label 0-3; false for other indexes.
bool StepDone(int index);

// The bar's fill, 0.0 to 1.0; -1.0 when there is no bar.
double ProgressFraction();

// True while the main window exists and is shown on screen.
bool WindowVisible();

// The main window's GtkWidget*; null when there is no window (text form,
// headless build, before creation or after destruction).
void* MainWindowWidget();

// Called with the error dialog's GtkWidget* once it is on screen, inside its
// modal loop; the hook must end the dialog (gtk_dialog_response). Null turns
// it off. Without a window the hook is never called. Needs gtk_init first.
using ErrorDialogHook = void (*)(void* dialog);
void SetErrorDialogHook(ErrorDialogHook hook);

}  // namespace solvane::readback
