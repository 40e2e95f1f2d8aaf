// Screenshots of the GTK progress window at two moments of an install, kept
// as PNG files in the build folder and checked by their pixels: the done
// label drawn green, the bar filled to the share last reported.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "ui/label_text.h"
#include "ui/progress_window.h"
#include "ui/progress_window_readback.h"

namespace solvane {
namespace {

struct Rgb {
  int r, g, b;
};

struct PixbufUnref {
  void operator()(GdkPixbuf* pixbuf) const { g_object_unref(pixbuf); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, PixbufUnref>;

// The window's content as the X server holds it right now. Nothing waits for
// a frame here: what shows is what the window operations painted before they
// returned.
Pixbuf Capture(GtkWidget* window) {
  gdk_display_sync(gtk_widget_get_display(window));
  GdkWindow* gdk_window = gtk_widget_get_window(window);
  return Pixbuf(gdk_pixbuf_get_from_window(gdk_window, 0, 0, gdk_window_get_width(gdk_window),
                                           gdk_window_get_height(gdk_window)));
}

void Save(GdkPixbuf* shot, const std::string& name) {
  const std::string path = std::string(SOLVANE_SCREENSHOT_DIR) + "/" + name;
  GError* error = nullptr;
  EXPECT_TRUE(gdk_pixbuf_save(shot, path.c_str(), "png", &error, nullptr))
      << (error ? error->message : "");
  if (error) g_error_free(error);
}

Rgb At(GdkPixbuf* shot, int x, int y) {
  const guchar* p = gdk_pixbuf_get_pixels(shot) + y * gdk_pixbuf_get_rowstride(shot) +
                    x * gdk_pixbuf_get_n_channels(shot);
  return {p[0], p[1], p[2]};
}

int Distance(Rgb a, Rgb b) {
  return std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b);
}

// Text pixels in a label's 370 x 20 area: green ones (anti-aliased shades of
// 0x228B22 over the background) and dark grey ones.
struct Ink {
  int green = 0;
  int grey = 0;
  int closest_to_done = 1000;  // distance of the pixel nearest to 0x228B22
};

Ink InkOf(GdkPixbuf* shot, int label) {
  Ink ink;
  const Rgb background = At(shot, 5, 5);
  for (int y = 15 + 25 * label; y < 35 + 25 * label; ++y) {
    for (int x = 20; x < 390; ++x) {
      const Rgb p = At(shot, x, y);
      if (Distance(p, background) < 60) continue;
      if (p.g > p.r + 25 && p.g > p.b + 25) {
        ++ink.green;
      } else if (std::abs(p.r - p.g) < 12 && std::abs(p.g - p.b) < 12) {
        ++ink.grey;
      }
      ink.closest_to_done = std::min(ink.closest_to_done, Distance(p, {0x22, 0x8B, 0x22}));
    }
  }
  return ink;
}

// The filled share of the bar: along each row of the bar's 370 x 25 area,
// the run of pixels from the left that differ from the empty trough at the
// right end; the longest run over all rows, as a share of the trough.
double FilledShare(GdkPixbuf* shot) {
  int best = 0;
  for (int y = 125; y < 150; ++y) {
    const Rgb trough = At(shot, 385, y);
    int first = -1, last = -1;
    for (int x = 20; x < 390; ++x) {
      if (Distance(At(shot, x, y), trough) > 90) {
        if (first < 0) first = x;
        last = x;
      }
    }
    if (first >= 0 && first < 30) best = std::max(best, last - 20 + 1);
  }
  return best / 370.0;
}

TEST(Screenshot, AfterTheManifestAndMidDownload) {
  if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no X11 or Wayland display";
  const WindowHandle window = CreateProgressWindow();
  ASSERT_NE(window, nullptr);
  GtkWidget* widget = static_cast<GtkWidget*>(window);

  // The order of a fresh install up to the start of the download.
  MarkStepActive(0);
  MarkStepDone(0);
  SetStepText(1, DownloadLabel("1.5.0"));
  MarkStepActive(1);
  SetProgress(0);
  Pixbuf manifest_done = Capture(widget);
  ASSERT_TRUE(manifest_done);
  Save(manifest_done.get(), "progress-manifest-done.png");

  SetProgress(40);
  Pixbuf mid_download = Capture(widget);
  ASSERT_TRUE(mid_download);
  Save(mid_download.get(), "progress-download-40.png");
  DestroyProgressWindow(window);

  EXPECT_EQ(gdk_pixbuf_get_width(manifest_done.get()), 420);
  EXPECT_EQ(gdk_pixbuf_get_height(manifest_done.get()), 210);
  for (GdkPixbuf* shot : {manifest_done.get(), mid_download.get()}) {
    const Ink done = InkOf(shot, 0);
    EXPECT_GT(done.green, 30);
    EXPECT_EQ(done.grey, 0);
    EXPECT_LT(done.closest_to_done, 40);
    // Active and pending labels keep the theme's text colour.
    for (int label = 1; label < 4; ++label) {
      const Ink plain = InkOf(shot, label);
      EXPECT_EQ(plain.green, 0) << label;
      EXPECT_GT(plain.grey, 30) << label;
    }
  }
  EXPECT_LT(FilledShare(manifest_done.get()), 0.03);
  EXPECT_NEAR(FilledShare(mid_download.get()), 0.40, 0.04);
}

}  // namespace
}  // namespace solvane
