// The progress window of the fresh install: four step labels above a bar.
// There is no message loop: every change drains the window's pending events
// without waiting, and closing the window cancels nothing.
#pragma once

#include <string>

namespace solvane {

// The main window, as the toolkit knows it (null when there is none).
using WindowHandle = void*;

// Creates, shows and paints the window with its labels and bar. Called once.
// Where no window can be shown, progress goes to standard error as text.
WindowHandle CreateProgressWindow();

// Appends "..." to label 0-3 and drains events; other indexes do nothing.
void MarkStepActive(int index);

// Marks label 0-3 done: appends "  ✔", draws it green, drains events; other
// indexes do nothing.
void MarkStepDone(int index);

// Replaces the whole text of label 0-3 (done flag unchanged), then drains.
void SetStepText(int index, const std::u16string& text);

// Sets the bar (range 0-100, not clamped here) when it exists, then drains.
void SetProgress(int percent);

// Handles every pending event of the window and returns; never waits.
void PumpMessages();

// Destroys the main window if it is not null.
void DestroyProgressWindow(WindowHandle window);

// The main window for the length of a scope: created with the object and
// destroyed with it on every way out, an exception included.
class ScopedProgressWindow {
 public:
  ScopedProgressWindow() : handle_(CreateProgressWindow()) {}
  ~ScopedProgressWindow() { DestroyProgressWindow(handle_); }
  ScopedProgressWindow(const ScopedProgressWindow&) = delete;
  ScopedProgressWindow& operator=(const ScopedProgressWindow&) = delete;

  WindowHandle get() const { return handle_; }

 private:
  WindowHandle handle_;
};

// A modal error message owned by `owner`, titled "Solvane Setup", one OK
// button; returns when the user has dismissed it.
void ShowErrorMessage(WindowHandle owner, const char* text);

}  // namespace solvane
