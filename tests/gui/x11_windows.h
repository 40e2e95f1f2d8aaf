// Other programs' windows on the test's X display, seen the way a window
// manager sees them (titles, geometry, hints, icons), and closed the way a
// title bar's close button asks.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace solvane::testing {

struct XTopLevel {
  unsigned long id = 0;
  std::string title;                // _NET_WM_NAME, else WM_NAME
  unsigned long transient_for = 0;  // 0 when not transient
  bool modal = false;               // _NET_WM_STATE_MODAL
  int x = 0, y = 0, width = 0, height = 0;
  bool fixed_size = false;      // minimum and maximum size equal to the size
  std::vector<int> icon_sizes;  // edge of each square image in _NET_WM_ICON
  long wm_functions = -1;       // _MOTIF_WM_HINTS functions; -1 when not given
  int pid = 0;                  // _NET_WM_PID; 0 when not given
};

class XSession {
 public:
  // Opens $DISPLAY; ok() is false when there is none.
  XSession();
  ~XSession();
  XSession(const XSession&) = delete;
  XSession& operator=(const XSession&) = delete;

  bool ok() const { return display_ != nullptr; }
  int ScreenWidth() const;
  int ScreenHeight() const;

  // Top-level windows that are mapped and viewable now.
  std::vector<XTopLevel> Viewable();

  // Polls Viewable() until one window satisfies `match` (returned) or
  // `stop` turns true or a minute has passed (nullopt).
  std::optional<XTopLevel> WaitFor(const std::function<bool(const XTopLevel&)>& match,
                                   const std::atomic<bool>& stop);

  // Sends WM_DELETE_WINDOW, as the close button of a title bar does, and
  // waits until the server has passed it on.
  void RequestClose(unsigned long window);

  // Gives `window` the keyboard focus and types Return on the server's
  // keyboard (XTEST), as a user answering a dialog would.
  void PressReturn(unsigned long window);

 private:
  _XDisplay* display_ = nullptr;
};

}  // namespace solvane::testing
