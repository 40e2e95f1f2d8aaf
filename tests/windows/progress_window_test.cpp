// The Win32 progress window, read back through Win32 itself: texts with
// GetWindowTextW, the done colour from what the window procedure puts into a
// drawing context, the layout from the window manager, and the message queue
// from PeekMessage. Runs under wine with an X display (Xvfb).
#include "ui/progress_window.h"

#include <windows.h>
// windows.h first: the other Windows headers build on it.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/encoding.h"
#include "ui/label_text.h"

namespace solvane {
namespace {

constexpr COLORREF kDone = RGB(34, 139, 34);
constexpr COLORREF kSentinel = RGB(1, 2, 3);
constexpr UINT kProbe = WM_APP + 7;

std::u16string Text(HWND control) {
  wchar_t buffer[1024] = {};
  const int n = ::GetWindowTextW(control, buffer, 1024);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n > 0 ? n : 0);
}

std::string Utf8(const std::u16string& text) { return EncodeUtf8(text); }

// The colour and background the window procedure gives `control` when it
// asks how to draw: a fresh memory DC with a sentinel colour goes in, and
// whatever the procedure set comes back out.
struct Paint {
  COLORREF text = 0;
  int background_mode = 0;
  bool null_brush = false;
};

Paint PaintOf(HWND main, HWND control) {
  const HDC dc = ::CreateCompatibleDC(nullptr);
  ::SetTextColor(dc, kSentinel);
  ::SetBkMode(dc, OPAQUE);
  const LRESULT brush = ::SendMessageW(main, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(control));
  Paint paint;
  paint.text = ::GetTextColor(dc);
  paint.background_mode = ::GetBkMode(dc);
  paint.null_brush = reinterpret_cast<HGDIOBJ>(brush) == ::GetStockObject(NULL_BRUSH);
  ::DeleteDC(dc);
  return paint;
}

bool ProbeWaiting() {
  MSG message;
  return ::PeekMessageW(&message, nullptr, kProbe, kProbe, PM_NOREMOVE) != 0;
}

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = static_cast<HWND>(CreateProgressWindow());
    ASSERT_NE(window_, nullptr);
    for (int i = 0; i < kStepCount; ++i) {
      labels_[i] = ::GetDlgItem(window_, 200 + i);
      ASSERT_NE(labels_[i], nullptr) << "label " << i;
    }
    bar_ = ::GetDlgItem(window_, 102);
    ASSERT_NE(bar_, nullptr);
  }

  void TearDown() override {
    DestroyProgressWindow(window_);
    PumpMessages();
  }

  std::string Label(int i) const { return Utf8(Text(labels_[i])); }
  bool DrawnDone(int i) const {
    const Paint paint = PaintOf(window_, labels_[i]);
    EXPECT_TRUE(paint.null_brush) << "label " << i;
    EXPECT_EQ(paint.background_mode, TRANSPARENT) << "label " << i;
    if (paint.text == kDone) return true;
    EXPECT_EQ(paint.text, kSentinel) << "label " << i << ": pending text colour was changed";
    return false;
  }
  int BarPosition() const { return static_cast<int>(::SendMessageW(bar_, PBM_GETPOS, 0, 0)); }

  HWND window_ = nullptr;
  HWND labels_[kStepCount] = {};
  HWND bar_ = nullptr;
};

TEST_F(ProgressWindowTest, IsLaidOutAsTheFixedWindowWithFourLabelsAndABar) {
  char title[64] = {};
  ::GetWindowTextA(window_, title, sizeof title);
  EXPECT_STREQ(title, "Solvane Setup");

  char class_name[64] = {};
  ::GetClassNameA(window_, class_name, sizeof class_name);
  EXPECT_STREQ(class_name, "SolvaneSetupClass");
  // The test program carries the same resources as the shipped one.
  EXPECT_NE(::GetClassLongPtrA(window_, GCLP_HICON), 0) << "IDI_ICON1 not loaded";
  EXPECT_EQ(::GetClassLongPtrA(window_, GCLP_HBRBACKGROUND), COLOR_WINDOW + 1);
  EXPECT_EQ(::GetClassLongPtrA(window_, GCL_STYLE), 0);

  const LONG style = ::GetWindowLongA(window_, GWL_STYLE);
  EXPECT_EQ(style & ~(WS_VISIBLE | WS_CLIPSIBLINGS), 0x00C80000) << std::hex << style;
  EXPECT_TRUE(style & WS_VISIBLE) << "shown before CreateProgressWindow returned";
  EXPECT_EQ(::GetWindowLongA(window_, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
  EXPECT_TRUE(::IsWindowUnicode(window_) == FALSE) << "main window uses the 8-bit procedure";

  RECT outer{};
  ::GetWindowRect(window_, &outer);
  EXPECT_EQ(outer.right - outer.left, 420);
  EXPECT_EQ(outer.bottom - outer.top, 210);
  EXPECT_EQ(outer.left, (::GetSystemMetrics(SM_CXSCREEN) - 420) / 2);
  EXPECT_EQ(outer.top, (::GetSystemMetrics(SM_CYSCREEN) - 210) / 2);

  auto client_rect = [&](HWND control) {
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(HWND_DESKTOP, window_, reinterpret_cast<POINT*>(&r), 2);
    return r;
  };
  const char* const initial[] = {"  Fetching release information", "  Downloading",
                                 "  Verifying download", "  Launching installer"};
  for (int i = 0; i < kStepCount; ++i) {
    SCOPED_TRACE("label " + std::to_string(i));
    EXPECT_EQ(Label(i), initial[i]);
    ::GetClassNameA(labels_[i], class_name, sizeof class_name);
    EXPECT_STREQ(class_name, "Static");
    EXPECT_EQ(::GetWindowLongA(labels_[i], GWL_STYLE), 0x50000000);
    EXPECT_EQ(::GetWindowLongA(labels_[i], GWL_EXSTYLE), 0);
    const RECT r = client_rect(labels_[i]);
    EXPECT_EQ(r.left, 20);
    EXPECT_EQ(r.top, 15 + 25 * i);
    EXPECT_EQ(r.right - r.left, 370);
    EXPECT_EQ(r.bottom - r.top, 20);
    EXPECT_FALSE(DrawnDone(i));
  }

  ::GetClassNameA(bar_, class_name, sizeof class_name);
  EXPECT_STREQ(class_name, "msctls_progress32");
  EXPECT_EQ(::GetWindowLongA(bar_, GWL_STYLE), 0x50000001);
  const RECT bar = client_rect(bar_);
  EXPECT_EQ(bar.left, 20);
  EXPECT_EQ(bar.top, 125);
  EXPECT_EQ(bar.right - bar.left, 370);
  EXPECT_EQ(bar.bottom - bar.top, 25);
  PBRANGE range{};
  ::SendMessageW(bar_, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 100);
  EXPECT_EQ(BarPosition(), 0);

  // The bar is not a step label: the procedure leaves it to the default
  // handling, which never hands out the null brush.
  EXPECT_FALSE(PaintOf(window_, bar_).null_brush);
}

TEST_F(ProgressWindowTest, FollowsAFreshInstallStepByStep) {
  const std::string tick = "  \xE2\x9C\x94";  // two spaces, U+2714

  MarkStepActive(0);
  EXPECT_EQ(Label(0), "  Fetching release information...");
  EXPECT_FALSE(DrawnDone(0));

  MarkStepDone(0);
  SetStepText(1, DownloadLabel("1.5.0"));
  EXPECT_EQ(Label(1), "  Downloading Solvane 1.5.0");
  EXPECT_FALSE(DrawnDone(1)) << "replacing the text does not mark the step";
  MarkStepActive(1);
  SetProgress(0);
  EXPECT_EQ(Label(0), "  Fetching release information..." + tick);
  EXPECT_TRUE(DrawnDone(0));
  EXPECT_EQ(Label(1), "  Downloading Solvane 1.5.0...");
  EXPECT_EQ(BarPosition(), 0);

  for (int percent : {5, 37, 37, 99, 100}) {
    SetProgress(percent);
    EXPECT_EQ(BarPosition(), percent);
  }
  MarkStepDone(1);
  MarkStepActive(2);
  EXPECT_EQ(Label(1), "  Downloading Solvane 1.5.0..." + tick);
  EXPECT_TRUE(DrawnDone(1));
  EXPECT_EQ(Label(2), "  Verifying download...");
  EXPECT_FALSE(DrawnDone(2));

  MarkStepDone(2);
  MarkStepActive(3);
  EXPECT_EQ(Label(3), "  Launching installer...");
  EXPECT_FALSE(DrawnDone(3));
  MarkStepDone(3);

  const char* const final_texts[] = {"  Fetching release information...",
                                     "  Downloading Solvane 1.5.0...", "  Verifying download...",
                                     "  Launching installer..."};
  for (int i = 0; i < kStepCount; ++i) {
    EXPECT_EQ(Label(i), final_texts[i] + tick) << "label " << i;
    EXPECT_TRUE(DrawnDone(i)) << "label " << i;
  }
  // Texts reach the controls as UTF-16: the mark is one code unit.
  const std::u16string last = Text(labels_[3]);
  ASSERT_FALSE(last.empty());
  EXPECT_EQ(last.back(), u'\u2714');
}

TEST_F(ProgressWindowTest, MarksAppendAgainAndDoneNeedsNoActiveStep) {
  MarkStepActive(1);
  MarkStepActive(1);
  EXPECT_EQ(Label(1), "  Downloading......");

  MarkStepDone(2);
  EXPECT_EQ(Label(2), "  Verifying download  \xE2\x9C\x94");
  EXPECT_TRUE(DrawnDone(2));
  EXPECT_FALSE(DrawnDone(1));
  EXPECT_FALSE(DrawnDone(3));

  // A new text keeps the done colour: the flag belongs to the label.
  SetStepText(2, u"  Checked");
  EXPECT_EQ(Label(2), "  Checked");
  EXPECT_TRUE(DrawnDone(2));
}

TEST_F(ProgressWindowTest, CutsLongTextsTo255UnitsBeforeTheSuffix) {
  const std::u16string long_text(300, u'x');
  SetStepText(0, long_text);
  MarkStepActive(0);
  EXPECT_EQ(Text(labels_[0]), std::u16string(255, u'x') + u"...");
}

TEST_F(ProgressWindowTest, OutOfRangeStepsChangeNothingAndDrainNothing) {
  PumpMessages();
  ASSERT_TRUE(::PostMessageW(window_, kProbe, 0, 0));
  for (int index : {4, -1, 1000}) {
    MarkStepActive(index);
    MarkStepDone(index);
  }
  EXPECT_TRUE(ProbeWaiting()) << "an ignored step drained the queue";
  for (int i = 0; i < kStepCount; ++i) EXPECT_FALSE(DrawnDone(i));
  EXPECT_EQ(Label(0), "  Fetching release information");
  EXPECT_EQ(Label(3), "  Launching installer");

  MarkStepActive(3);
  EXPECT_FALSE(ProbeWaiting()) << "a step change must drain the queue";
}

TEST_F(ProgressWindowTest, SetProgressPassesValuesAndAlwaysDrains) {
  ASSERT_TRUE(::PostMessageW(window_, kProbe, 0, 0));
  SetProgress(250);
  EXPECT_FALSE(ProbeWaiting());
  EXPECT_EQ(BarPosition(), 100) << "the bar keeps its own range";
  SetProgress(-5);
  EXPECT_EQ(BarPosition(), 0);
  SetProgress(0);
  EXPECT_EQ(BarPosition(), 0);
}

TEST_F(ProgressWindowTest, ClosingRequestsAQuitThatNobodyActsOn) {
  PumpMessages();
  ::SendMessageA(window_, WM_CLOSE, 0, 0);
  EXPECT_TRUE(::IsWindow(window_)) << "closing must not destroy the window";
  MSG message;
  EXPECT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));

  PumpMessages();
  EXPECT_FALSE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
  EXPECT_TRUE(::IsWindow(window_));
  MarkStepActive(0);
  EXPECT_EQ(Label(0), "  Fetching release information...");
}

TEST(ProgressWindowLifetime, DestroyTakesTheChildrenAndPostsNoQuit) {
  PumpMessages();
  const HWND window = static_cast<HWND>(CreateProgressWindow());
  const HWND label = ::GetDlgItem(window, 200);
  ASSERT_TRUE(::IsWindow(label));
  DestroyProgressWindow(window);
  EXPECT_FALSE(::IsWindow(window));
  EXPECT_FALSE(::IsWindow(label));
  MSG message;
  EXPECT_FALSE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
  DestroyProgressWindow(nullptr);  // nothing to destroy: no effect
}

}  // namespace
}  // namespace solvane
