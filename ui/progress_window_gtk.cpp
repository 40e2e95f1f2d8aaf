// The progress window with GTK 3. Where no display can be opened, everything
// goes to the text form on standard error instead.
#include <gtk/gtk.h>

#include <algorithm>
#include <array>
#include <memory>

#include "constants.h"
#include "platform/encoding.h"
#include "ui/label_text.h"
#include "ui/progress_window.h"
#include "ui/progress_window_gtk_state.h"
#include "ui/text_progress.h"

namespace solvane {
namespace {

constexpr int kWindowWidth = 420;
constexpr int kWindowHeight = 210;
constexpr int kLabelX = 20, kLabelY = 15, kLabelStep = 25, kLabelWidth = 370, kLabelHeight = 20;
constexpr int kBarX = 20, kBarY = 125, kBarWidth = 370, kBarHeight = 25;

// 0x228B22 in Pango's 16-bit channels.
constexpr guint16 kDoneRed = 0x2222, kDoneGreen = 0x8B8B, kDoneBlue = 0x2222;

using gtk_window::Mode;
using gtk_window::State;
using gtk_window::WindowState;

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using PixbufPtr = std::unique_ptr<GdkPixbuf, GObjectUnref>;

struct PangoAttrListUnref {
  void operator()(PangoAttrList* list) const { pango_attr_list_unref(list); }
};

struct CairoSurfaceDestroy {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
struct CairoDestroy {
  void operator()(cairo_t* cr) const { cairo_destroy(cr); }
};

// Toplevels belong to GTK's window list, so ours end with a destroy, not an unref.
struct WidgetDestroy {
  void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
};

bool InRange(int index) { return index >= 0 && index < kStepCount; }

bool HasWindow() { return State().mode == Mode::kWindow && State().window != nullptr; }

void RoundedRectangle(cairo_t* cr, double x0, double y0, double x1, double y1, double r) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x1 - r, y0 + r, r, -G_PI / 2, 0);
  cairo_arc(cr, x1 - r, y1 - r, r, 0, G_PI / 2);
  cairo_arc(cr, x0 + r, y1 - r, r, G_PI / 2, G_PI);
  cairo_arc(cr, x0 + r, y0 + r, r, G_PI, 3 * G_PI / 2);
  cairo_close_path(cr);
}

// The same design as the Windows icon (res/make_icon.sh), drawn at each size
// from the vector description on a 256-pixel grid rather than scaled down.
PixbufPtr DrawIcon(int size) {
  std::unique_ptr<cairo_surface_t, CairoSurfaceDestroy> surface(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size));
  {
    std::unique_ptr<cairo_t, CairoDestroy> owned(cairo_create(surface.get()));
    cairo_t* cr = owned.get();
    cairo_scale(cr, size / 256.0, size / 256.0);
    // Thin strokes vanish at small sizes, so they grow as the image shrinks.
    const double rim = size < 48 ? 16 : 10;
    const double tray = size < 48 ? 28 : 18;

    RoundedRectangle(cr, 12, 12, 244, 244, 44);
    cairo_set_source_rgb(cr, 0x0B / 255.0, 0x55 / 255.0, 0x63 / 255.0);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0x2F / 255.0, 0xA3 / 255.0, 0xB5 / 255.0);
    cairo_set_line_width(cr, rim);
    cairo_stroke(cr);

    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, 110, 44, 36, 88);
    cairo_fill(cr);
    cairo_move_to(cr, 74, 124);
    cairo_line_to(cr, 182, 124);
    cairo_line_to(cr, 128, 180);
    cairo_close_path(cr);
    cairo_fill(cr);

    cairo_move_to(cr, 60, 164);
    cairo_line_to(cr, 60, 206);
    cairo_line_to(cr, 196, 206);
    cairo_line_to(cr, 196, 164);
    cairo_set_line_width(cr, tray);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
  }
  cairo_surface_flush(surface.get());
  return PixbufPtr(gdk_pixbuf_get_from_surface(surface.get(), 0, 0, size, size));
}

void SetWindowIcon(GtkWindow* window) {
  std::array<PixbufPtr, 8> icons;
  GList* list = nullptr;
  const int sizes[] = {16, 24, 32, 48, 64, 96, 128, 256};
  for (std::size_t i = 0; i < icons.size(); ++i) {
    icons[i] = DrawIcon(sizes[i]);
    if (icons[i]) list = g_list_append(list, icons[i].get());
  }
  // The window takes its own references; ours go with `icons`.
  gtk_window_set_icon_list(window, list);
  g_list_free(list);
}

// Closing the window stops nothing: the install goes on and the window stays.
gboolean KeepWindowOnClose(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

std::u16string LabelText(GtkWidget* label) {
  return label ? DecodeUtf8(gtk_label_get_text(GTK_LABEL(label))) : std::u16string();
}

void SetLabelText(GtkWidget* label, const std::u16string& text) {
  if (label) gtk_label_set_text(GTK_LABEL(label), EncodeUtf8(text).c_str());
}

void DrawDone(GtkWidget* label) {
  if (!label) return;
  std::unique_ptr<PangoAttrList, PangoAttrListUnref> attributes(pango_attr_list_new());
  // The list takes ownership of the attribute; its default range is the whole text.
  pango_attr_list_insert(attributes.get(),
                         pango_attr_foreground_new(kDoneRed, kDoneGreen, kDoneBlue));
  gtk_label_set_attributes(GTK_LABEL(label), attributes.get());
}

GtkWidget* NewStepLabel(int index) {
  GtkWidget* label = gtk_label_new(EncodeUtf8(InitialStepText(index)).c_str());
  gtk_widget_set_size_request(label, kLabelWidth, kLabelHeight);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  // A long text must not widen the window: ellipsized, the label asks for no
  // more than its fixed slot.
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  return label;
}

// GTK paints on its frame clock, at most once per frame interval, so a change
// made soon after the last frame would wait for a later drain; the install
// may block for a long time before that. Lay out and paint what changed now.
void PaintChanges() {
  GtkWidget* window = State().window;
  if (!window) return;
  gtk_container_check_resize(GTK_CONTAINER(window));
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  gdk_window_process_updates(gtk_widget_get_window(window), TRUE);
  G_GNUC_END_IGNORE_DEPRECATIONS
}

void AppendStepSuffix(int index, std::u16string_view suffix) {
  GtkWidget* label = State().labels[index];
  SetLabelText(label, AppendSuffix(LabelText(label), suffix));
}

}  // namespace

gtk_window::WindowState& gtk_window::State() {
  static WindowState state;
  return state;
}

WindowHandle CreateProgressWindow() {
  WindowState& state = State();
  state.done = {};
  if (!gtk_init_check(nullptr, nullptr)) {
    state.mode = Mode::kText;
    text_progress::Start();
    return nullptr;
  }
  state.mode = Mode::kWindow;

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), kWindowTitle);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  SetWindowIcon(GTK_WINDOW(window));
  g_signal_connect(window, "delete-event", G_CALLBACK(KeepWindowOnClose), nullptr);

  // Absolute placement, so the layout is the same on every theme.
  GtkWidget* fixed = gtk_fixed_new();
  gtk_widget_set_size_request(fixed, kWindowWidth, kWindowHeight);
  for (int i = 0; i < kStepCount; ++i) {
    state.labels[i] = NewStepLabel(i);
    gtk_fixed_put(GTK_FIXED(fixed), state.labels[i], kLabelX, kLabelY + kLabelStep * i);
  }
  state.bar = gtk_progress_bar_new();
  gtk_widget_set_size_request(state.bar, kBarWidth, kBarHeight);
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(state.bar), 0.0);
  gtk_fixed_put(GTK_FIXED(fixed), state.bar, kBarX, kBarY);
  gtk_container_add(GTK_CONTAINER(window), fixed);

  // A caption with a close button only: window managers that read these
  // hints offer no minimise, maximise or resize.
  gtk_widget_realize(window);
  GdkWindow* gdk_window = gtk_widget_get_window(window);
  gdk_window_set_functions(gdk_window, static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_CLOSE));
  gdk_window_set_decorations(gdk_window, static_cast<GdkWMDecoration>(
                                             GDK_DECOR_BORDER | GDK_DECOR_TITLE | GDK_DECOR_MENU));

  state.window = window;
  gtk_widget_show_all(window);
  // A round trip brings the server's map and expose events into the queue,
  // so the drain below paints the window before the first step starts.
  gdk_display_sync(gtk_widget_get_display(window));
  PumpMessages();
  PaintChanges();
  return window;
}

void MarkStepActive(int index) {
  if (!InRange(index)) return;
  if (State().mode == Mode::kText) return text_progress::MarkStepActive(index);
  AppendStepSuffix(index, kActiveSuffix);
  PaintChanges();
  PumpMessages();
}

void MarkStepDone(int index) {
  if (!InRange(index)) return;
  if (State().mode == Mode::kText) return text_progress::MarkStepDone(index);
  State().done[index] = true;
  DrawDone(State().labels[index]);
  AppendStepSuffix(index, kDoneSuffix);
  PaintChanges();
  PumpMessages();
}

void SetStepText(int index, const std::u16string& text) {
  if (!InRange(index)) return;
  if (State().mode == Mode::kText) return text_progress::SetStepText(index, text);
  SetLabelText(State().labels[index], text);
  PaintChanges();
  PumpMessages();
}

void SetProgress(int percent) {
  if (State().mode == Mode::kText) return text_progress::SetProgress(percent);
  if (State().bar) {
    // GTK's bar holds a fraction; values outside the range show as its ends.
    const int shown = std::clamp(percent, 0, 100);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(State().bar), shown / 100.0);
    PaintChanges();
  }
  PumpMessages();
}

void PumpMessages() {
  while (g_main_context_pending(nullptr)) g_main_context_iteration(nullptr, FALSE);
}

void DestroyProgressWindow(WindowHandle window) {
  WindowState& state = State();
  if (state.mode == Mode::kText) text_progress::Finish();
  if (!window) return;
  state.window = nullptr;
  state.labels = {};
  state.bar = nullptr;
  gtk_widget_destroy(static_cast<GtkWidget*>(window));
  // Let the unmap reach the server before the process goes on or exits.
  PumpMessages();
  gdk_display_flush(gdk_display_get_default());
}

void ShowErrorMessage(WindowHandle owner, const char* text) {
  if (!HasWindow() || owner == nullptr) return text_progress::ShowError(text);
  std::unique_ptr<GtkWidget, WidgetDestroy> dialog(
      gtk_message_dialog_new(GTK_WINDOW(owner), static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL),
                             GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, "%s", text));
  gtk_window_set_title(GTK_WINDOW(dialog.get()), kWindowTitle);
  gtk_dialog_run(GTK_DIALOG(dialog.get()));
  dialog.reset();
  PumpMessages();
}

}  // namespace solvane
