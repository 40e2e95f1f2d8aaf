// What the GTK window keeps between calls. Only progress_window_gtk.cpp and
// the tests' read-back of the window (progress_window_readback_gtk.cpp)
// include this; the program reaches the window through progress_window.h.
#pragma once

#include <gtk/gtk.h>

#include <array>

#include "ui/label_text.h"

namespace solvane::gtk_window {

enum class Mode { kNone, kWindow, kText };

struct WindowState {
  Mode mode = Mode::kNone;
  GtkWidget* window = nullptr;
  std::array<GtkWidget*, kStepCount> labels{};
  std::array<bool, kStepCount> done{};
  GtkWidget* bar = nullptr;
};

// The one window's state.
WindowState& State();

}  // namespace solvane::gtk_window
