#include "tests/gui/x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <memory>
#include <thread>

namespace solvane::testing {
namespace {

struct XFreeDeleter {
  void operator()(void* data) const {
    if (data) XFree(data);
  }
};

// Reads a whole property; an empty vector when it is missing or of another type.
template <typename T>
std::vector<T> Property(Display* display, Window window, const char* name, Atom type) {
  Atom actual_type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* raw = nullptr;
  const Atom atom = XInternAtom(display, name, False);
  if (XGetWindowProperty(display, window, atom, 0, 1 << 24, False, type, &actual_type, &format,
                         &count, &remaining, &raw) != Success) {
    return {};
  }
  std::unique_ptr<unsigned char, XFreeDeleter> owned(raw);
  if (actual_type != type || raw == nullptr) return {};
  // Xlib hands 32-bit items over as longs, 8-bit ones as chars.
  if (format == 8) {
    if constexpr (sizeof(T) == 1) return std::vector<T>(raw, raw + count);
    return {};
  }
  if constexpr (sizeof(T) == sizeof(long)) {
    const long* items = reinterpret_cast<const long*>(raw);
    return std::vector<T>(items, items + count);
  }
  return {};
}

std::string Title(Display* display, Window window) {
  const auto utf8 =
      Property<char>(display, window, "_NET_WM_NAME", XInternAtom(display, "UTF8_STRING", False));
  if (!utf8.empty()) return std::string(utf8.begin(), utf8.end());
  char* name = nullptr;
  if (XFetchName(display, window, &name) && name) {
    std::unique_ptr<char, XFreeDeleter> owned(name);
    return name;
  }
  return "";
}

}  // namespace

XSession::XSession() : display_(XOpenDisplay(nullptr)) {}

XSession::~XSession() {
  if (display_) XCloseDisplay(display_);
}

int XSession::ScreenWidth() const { return DisplayWidth(display_, DefaultScreen(display_)); }
int XSession::ScreenHeight() const { return DisplayHeight(display_, DefaultScreen(display_)); }

std::vector<XTopLevel> XSession::Viewable() {
  std::vector<XTopLevel> found;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
    return found;
  }
  std::unique_ptr<Window, XFreeDeleter> owned(children);
  for (unsigned int i = 0; i < count; ++i) {
    const Window window = children[i];
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display_, window, &attributes)) continue;
    if (attributes.map_state != IsViewable || attributes.override_redirect) continue;
    XTopLevel top;
    top.id = window;
    top.title = Title(display_, window);
    top.width = attributes.width;
    top.height = attributes.height;
    Window child = 0;
    XTranslateCoordinates(display_, window, root, 0, 0, &top.x, &top.y, &child);
    Window transient = 0;
    if (XGetTransientForHint(display_, window, &transient)) top.transient_for = transient;
    const Atom modal = XInternAtom(display_, "_NET_WM_STATE_MODAL", False);
    for (long state : Property<long>(display_, window, "_NET_WM_STATE", XA_ATOM)) {
      if (static_cast<Atom>(state) == modal) top.modal = true;
    }
    XSizeHints hints{};
    long supplied = 0;
    if (XGetWMNormalHints(display_, window, &hints, &supplied)) {
      top.fixed_size = (hints.flags & PMinSize) && (hints.flags & PMaxSize) &&
                       hints.min_width == top.width && hints.max_width == top.width &&
                       hints.min_height == top.height && hints.max_height == top.height;
    }
    const auto icon = Property<long>(display_, window, "_NET_WM_ICON", XA_CARDINAL);
    for (std::size_t at = 0; at + 2 <= icon.size();) {
      const long w = icon[at], h = icon[at + 1];
      if (w == h) top.icon_sizes.push_back(static_cast<int>(w));
      at += 2 + static_cast<std::size_t>(w * h);
    }
    const Atom motif = XInternAtom(display_, "_MOTIF_WM_HINTS", False);
    const auto motif_hints = Property<long>(display_, window, "_MOTIF_WM_HINTS", motif);
    if (motif_hints.size() >= 2 && (motif_hints[0] & 1)) top.wm_functions = motif_hints[1];
    const auto pid = Property<long>(display_, window, "_NET_WM_PID", XA_CARDINAL);
    if (!pid.empty()) top.pid = static_cast<int>(pid[0]);
    found.push_back(top);
  }
  return found;
}

std::optional<XTopLevel> XSession::WaitFor(const std::function<bool(const XTopLevel&)>& match,
                                           const std::atomic<bool>& stop) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!stop && std::chrono::steady_clock::now() < give_up) {
    for (const XTopLevel& window : Viewable()) {
      if (match(window)) return window;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

void XSession::RequestClose(unsigned long window) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, window, False, NoEventMask, &event);
  XSync(display_, False);
}

void XSession::PressReturn(unsigned long window) {
  XSetInputFocus(display_, window, RevertToParent, CurrentTime);
  XSync(display_, False);
  const KeyCode key = XKeysymToKeycode(display_, XK_Return);
  XTestFakeKeyEvent(display_, key, True, CurrentTime);
  XTestFakeKeyEvent(display_, key, False, CurrentTime);
  XSync(display_, False);
}

}  // namespace solvane::testing
