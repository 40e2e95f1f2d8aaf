// The tests' read-back of the GTK window, built into a test-only library:
// it reads the state the window keeps and watches dialogs through GTK's own
// signal hooks, so the shipped program carries none of it.
#include <gtk/gtk.h>

#include "platform/encoding.h"
#include "ui/progress_window_gtk_state.h"
#include "ui/progress_window_readback.h"
#include "ui/text_progress_state.h"

namespace solvane::readback {
namespace {

using gtk_window::Mode;

bool InRange(int index) { return index >= 0 && index < kStepCount; }

bool HasWindow() {
  return gtk_window::State().mode == Mode::kWindow && gtk_window::State().window != nullptr;
}

struct DialogHook {
  ErrorDialogHook hook = nullptr;
  guint signal = 0;
  gulong id = 0;
};

DialogHook& Hook() {
  static DialogHook hook;
  return hook;
}

// Called for every widget's "map-event": the dialog is on screen and its
// modal loop runs.
gboolean OnMapEvent(GSignalInvocationHint*, guint count, const GValue* values, gpointer) {
  if (count > 0 && Hook().hook) {
    GObject* object = static_cast<GObject*>(g_value_get_object(&values[0]));
    if (GTK_IS_MESSAGE_DIALOG(object)) Hook().hook(object);
  }
  return TRUE;  // stays installed until SetErrorDialogHook(nullptr)
}

}  // namespace

std::u16string StepText(int index) {
  if (!InRange(index)) return u"";
  if (gtk_window::State().mode == Mode::kText) return text_progress::State().text[index];
  GtkWidget* label = gtk_window::State().labels[index];
  return label ? DecodeUtf8(gtk_label_get_text(GTK_LABEL(label))) : std::u16string();
}

bool StepDone(int index) {
  if (!InRange(index)) return false;
  if (gtk_window::State().mode == Mode::kText) return text_progress::State().done[index];
  return gtk_window::State().done[index];
}

double ProgressFraction() {
  GtkWidget* bar = gtk_window::State().bar;
  return bar ? gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)) : -1.0;
}

bool WindowVisible() {
  return HasWindow() && gtk_widget_get_visible(gtk_window::State().window) &&
         gtk_widget_get_mapped(gtk_window::State().window);
}

void* MainWindowWidget() { return HasWindow() ? gtk_window::State().window : nullptr; }

void SetErrorDialogHook(ErrorDialogHook hook) {
  DialogHook& current = Hook();
  if (current.id != 0) {
    g_signal_remove_emission_hook(current.signal, current.id);
    current.id = 0;
  }
  current.hook = hook;
  if (!hook) return;
  // The widget class must exist before its signals can be looked up.
  gpointer widget_class = g_type_class_ref(GTK_TYPE_WIDGET);
  current.signal = g_signal_lookup("map-event", GTK_TYPE_WIDGET);
  g_type_class_unref(widget_class);
  current.id = g_signal_add_emission_hook(current.signal, 0, &OnMapEvent, nullptr, nullptr);
}

}  // namespace solvane::readback
