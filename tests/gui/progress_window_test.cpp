// The GTK progress window in this process, read back from its widgets: the
// layout, the texts and done colour through the step operations and through
// a whole RunInstall against a loopback server, what the drain does, and the
// error dialog. Needs a display (run under xvfb-run); skips without one.
#include "ui/progress_window.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/workflows.h"
#include "constants.h"
#include "platform/encoding.h"
#include "state/paths.h"
#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "ui/label_text.h"
#include "ui/progress_window_readback.h"

namespace solvane {
namespace {

using readback::StepDone;
using readback::StepText;

const std::u16string kInitial[kStepCount] = {
    u"  Fetching release information",
    u"  Downloading",
    u"  Verifying download",
    u"  Launching installer",
};

std::vector<GtkWidget*> Children(GtkWidget* container) {
  std::vector<GtkWidget*> out;
  GList* list = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList* item = list; item; item = item->next) out.push_back(GTK_WIDGET(item->data));
  g_list_free(list);
  return out;
}

std::vector<GtkWidget*> Labels(GtkWidget* window) {
  std::vector<GtkWidget*> labels;
  for (GtkWidget* child : Children(gtk_bin_get_child(GTK_BIN(window)))) {
    if (GTK_IS_LABEL(child)) labels.push_back(child);
  }
  return labels;
}

// The label's foreground as 8-bit RGB, or -1 when it sets none of its own.
long Foreground(GtkWidget* label) {
  PangoAttrList* list = gtk_label_get_attributes(GTK_LABEL(label));
  if (!list) return -1;
  long rgb = -1;
  PangoAttrIterator* it = pango_attr_list_get_iterator(list);
  if (PangoAttribute* attr = pango_attr_iterator_get(it, PANGO_ATTR_FOREGROUND)) {
    const PangoColor& c = reinterpret_cast<PangoAttrColor*>(attr)->color;
    rgb = (c.red >> 8) << 16 | (c.green >> 8) << 8 | (c.blue >> 8);
  }
  pango_attr_iterator_destroy(it);
  return rgb;
}

// Tells whether the queue was drained: an idle source that runs on the first
// drain after it was armed. (One that stayed armed would keep a drain loop
// busy for ever.)
struct DrainProbe {
  DrainProbe() { Arm(); }
  ~DrainProbe() {
    if (id) g_source_remove(id);
  }
  void Arm() {
    if (!id) id = g_idle_add(&DrainProbe::Run, this);
  }
  static gboolean Run(gpointer self) {
    auto* probe = static_cast<DrainProbe*>(self);
    ++probe->runs;
    probe->id = 0;
    return G_SOURCE_REMOVE;
  }
  guint id = 0;
  int runs = 0;
};

bool HaveDisplay() { return gtk_init_check(nullptr, nullptr); }

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveDisplay()) GTEST_SKIP() << "no X11 or Wayland display";
    window_ = CreateProgressWindow();
    ASSERT_NE(window_, nullptr);
    widget_ = static_cast<GtkWidget*>(readback::MainWindowWidget());
    ASSERT_EQ(widget_, window_);
  }
  void TearDown() override {
    if (window_) DestroyProgressWindow(window_);
  }

  WindowHandle window_ = nullptr;
  GtkWidget* widget_ = nullptr;
};

TEST_F(ProgressWindowTest, FixedLayoutTitleAndIcon) {
  EXPECT_TRUE(readback::WindowVisible());
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(widget_)), "Solvane Setup");
  EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(widget_)));
  EXPECT_EQ(gtk_widget_get_allocated_width(widget_), 420);
  EXPECT_EQ(gtk_widget_get_allocated_height(widget_), 210);

  // Centred on the screen it is shown on.
  GdkRectangle monitor;
  gdk_monitor_get_geometry(
      gdk_display_get_monitor_at_window(gdk_display_get_default(), gtk_widget_get_window(widget_)),
      &monitor);
  int x = 0, y = 0;
  gdk_window_get_origin(gtk_widget_get_window(widget_), &x, &y);
  EXPECT_EQ(x, monitor.x + (monitor.width - 420) / 2);
  EXPECT_EQ(y, monitor.y + (monitor.height - 210) / 2);

  const std::vector<GtkWidget*> labels = Labels(widget_);
  ASSERT_EQ(labels.size(), 4u);
  for (int i = 0; i < kStepCount; ++i) {
    SCOPED_TRACE(i);
    GtkAllocation box;
    gtk_widget_get_allocation(labels[i], &box);
    EXPECT_EQ(box.x, 20);
    EXPECT_EQ(box.y, 15 + 25 * i);
    EXPECT_EQ(box.width, 370);
    EXPECT_EQ(box.height, 20);
    EXPECT_EQ(StepText(i), kInitial[i]);
    EXPECT_EQ(DecodeUtf8(gtk_label_get_text(GTK_LABEL(labels[i]))), kInitial[i]);
    EXPECT_FALSE(StepDone(i));
    EXPECT_EQ(Foreground(labels[i]), -1);
  }
  GtkWidget* bar = nullptr;
  for (GtkWidget* child : Children(gtk_bin_get_child(GTK_BIN(widget_)))) {
    if (GTK_IS_PROGRESS_BAR(child)) bar = child;
  }
  ASSERT_NE(bar, nullptr);
  GtkAllocation box;
  gtk_widget_get_allocation(bar, &box);
  EXPECT_EQ(box.x, 20);
  EXPECT_EQ(box.y, 125);
  EXPECT_EQ(box.width, 370);
  EXPECT_EQ(box.height, 25);
  EXPECT_EQ(readback::ProgressFraction(), 0.0);

  // One design at the sizes a desktop asks for, each drawn, not left empty.
  GList* icons = gtk_window_get_icon_list(GTK_WINDOW(widget_));
  std::vector<int> sizes;
  for (GList* item = icons; item; item = item->next) {
    GdkPixbuf* icon = GDK_PIXBUF(item->data);
    EXPECT_EQ(gdk_pixbuf_get_width(icon), gdk_pixbuf_get_height(icon));
    EXPECT_TRUE(gdk_pixbuf_get_has_alpha(icon));
    sizes.push_back(gdk_pixbuf_get_width(icon));
    // The centre of the tile is opaque.
    const int n = gdk_pixbuf_get_n_channels(icon);
    const guchar* centre = gdk_pixbuf_get_pixels(icon) +
                           gdk_pixbuf_get_rowstride(icon) * (sizes.back() / 2) +
                           n * (sizes.back() / 4);
    EXPECT_EQ(centre[3], 255);
  }
  g_list_free(icons);
  EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 64, 96, 128, 256}));
}

TEST_F(ProgressWindowTest, SuffixesAppendToTheCurrentTextAndDoneTurnsGreen) {
  const std::vector<GtkWidget*> labels = Labels(widget_);
  ASSERT_EQ(labels.size(), 4u);

  MarkStepActive(1);
  MarkStepActive(1);
  EXPECT_EQ(StepText(1), u"  Downloading......");
  EXPECT_FALSE(StepDone(1));
  EXPECT_EQ(Foreground(labels[1]), -1);

  // Done without having been active.
  MarkStepDone(2);
  EXPECT_EQ(StepText(2), u"  Verifying download  \u2714");
  EXPECT_TRUE(StepDone(2));
  EXPECT_EQ(Foreground(labels[2]), 0x228B22);

  MarkStepDone(2);
  EXPECT_EQ(StepText(2), u"  Verifying download  \u2714  \u2714");

  // A new text replaces everything and leaves the done flag and colour alone.
  SetStepText(2, u"  Downloading Solvane 1.5.0-\u00DF");
  EXPECT_EQ(StepText(2), u"  Downloading Solvane 1.5.0-\u00DF");
  EXPECT_TRUE(StepDone(2));
  EXPECT_EQ(Foreground(labels[2]), 0x228B22);
  MarkStepActive(2);
  EXPECT_EQ(StepText(2), u"  Downloading Solvane 1.5.0-\u00DF...");

  // Untouched labels keep their text, flag and colour.
  EXPECT_EQ(StepText(0), kInitial[0]);
  EXPECT_EQ(StepText(3), kInitial[3]);
  EXPECT_FALSE(StepDone(0));
  EXPECT_EQ(Foreground(labels[3]), -1);
}

TEST_F(ProgressWindowTest, OutOfRangeIndexesChangeNothingAndDrainNothing) {
  DrainProbe drains;
  for (int index : {4, -1, 5, -2147483647 - 1, 2147483647}) {
    MarkStepActive(index);
    MarkStepDone(index);
    SetStepText(index, u"  nowhere");
  }
  EXPECT_EQ(drains.runs, 0);
  for (int i = 0; i < kStepCount; ++i) {
    EXPECT_EQ(StepText(i), kInitial[i]);
    EXPECT_FALSE(StepDone(i));
  }
  // An index in range does drain.
  MarkStepActive(0);
  EXPECT_EQ(drains.runs, 1);
  drains.Arm();
  MarkStepDone(3);
  EXPECT_EQ(drains.runs, 2);
  drains.Arm();
  SetProgress(10);
  EXPECT_EQ(drains.runs, 3);
}

TEST_F(ProgressWindowTest, LongTextsAreCutTo255UnitsBeforeASuffix) {
  const std::u16string long_text(300, u'x');
  SetStepText(0, long_text);
  EXPECT_EQ(StepText(0), long_text);
  MarkStepActive(0);
  EXPECT_EQ(StepText(0), std::u16string(255, u'x') + u"...");
  MarkStepDone(0);
  EXPECT_EQ(StepText(0), std::u16string(255, u'x') + u"  \u2714");

  // Exactly 255 units stay whole.
  SetStepText(1, std::u16string(255, u'y'));
  MarkStepActive(1);
  EXPECT_EQ(StepText(1), std::u16string(255, u'y') + u"...");

  // Units, not characters: a pair cut in half leaves a replacement character.
  SetStepText(2, std::u16string(254, u'z') + u"\U0001F600tail");
  MarkStepActive(2);
  EXPECT_EQ(StepText(2), std::u16string(254, u'z') + u"\uFFFD...");

  // The window does not grow to fit a long label.
  EXPECT_EQ(gtk_widget_get_allocated_width(widget_), 420);
  int width = 0, height = 0;
  gtk_window_get_size(GTK_WINDOW(widget_), &width, &height);
  EXPECT_EQ(width, 420);
  EXPECT_EQ(height, 210);
}

TEST_F(ProgressWindowTest, BarKeepsItsRangeAndShowsOutsideValuesAtTheEnds) {
  struct Case {
    int percent;
    double fraction;
  };
  for (const Case c : {Case{40, 0.4}, Case{100, 1.0}, Case{150, 1.0}, Case{0, 0.0}, Case{-5, 0.0},
                       Case{99, 0.99}, Case{2147483647, 1.0}, Case{-2147483647 - 1, 0.0}}) {
    SetProgress(c.percent);
    EXPECT_DOUBLE_EQ(readback::ProgressFraction(), c.fraction) << c.percent;
  }
}

TEST_F(ProgressWindowTest, CloseRequestLeavesTheWindowAndTheStepsGoOn) {
  MarkStepActive(0);
  gtk_window_close(GTK_WINDOW(widget_));
  PumpMessages();
  // Closing through the event a window manager sends, too.
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(widget_)));
  gtk_main_do_event(event);
  gdk_event_free(event);
  PumpMessages();

  EXPECT_TRUE(readback::WindowVisible());
  EXPECT_EQ(readback::MainWindowWidget(), widget_);
  MarkStepDone(0);
  SetProgress(50);
  EXPECT_EQ(StepText(0), u"  Fetching release information...  \u2714");
  EXPECT_DOUBLE_EQ(readback::ProgressFraction(), 0.5);
  EXPECT_TRUE(readback::WindowVisible());
}

TEST_F(ProgressWindowTest, DestroyRemovesTheWindow) {
  GtkWidget* widget = widget_;
  g_object_ref(widget);
  DestroyProgressWindow(window_);
  window_ = nullptr;
  EXPECT_FALSE(readback::WindowVisible());
  EXPECT_EQ(readback::MainWindowWidget(), nullptr);
  EXPECT_FALSE(gtk_widget_get_visible(widget));
  g_object_unref(widget);
}

// Everything the error hook saw of the dialog.
struct DialogSeen {
  int calls = 0;
  std::string title, text;
  GtkMessageType type = GTK_MESSAGE_OTHER;
  bool modal = false;
  GtkWindow* parent = nullptr;
  std::vector<std::string> buttons;
  std::u16string labels_then[kStepCount];
  bool done_then[kStepCount] = {};
};
DialogSeen seen;

// Every button anywhere inside a container, by its label.
void CollectButtons(GtkWidget* widget, gpointer labels) {
  if (GTK_IS_BUTTON(widget)) {
    const char* label = gtk_button_get_label(GTK_BUTTON(widget));
    static_cast<std::vector<std::string>*>(labels)->push_back(label ? label : "");
  } else if (GTK_IS_CONTAINER(widget)) {
    gtk_container_forall(GTK_CONTAINER(widget), &CollectButtons, labels);
  }
}

void RecordAndPressOk(void* dialog_pointer) {
  GtkWidget* dialog = static_cast<GtkWidget*>(dialog_pointer);
  ++seen.calls;
  seen.title = gtk_window_get_title(GTK_WINDOW(dialog));
  gchar* text = nullptr;
  g_object_get(dialog, "text", &text, "message-type", &seen.type, nullptr);
  seen.text = text ? text : "";
  g_free(text);
  seen.modal = gtk_window_get_modal(GTK_WINDOW(dialog));
  seen.parent = gtk_window_get_transient_for(GTK_WINDOW(dialog));
  seen.buttons.clear();
  gtk_container_forall(GTK_CONTAINER(dialog), &CollectButtons, &seen.buttons);
  for (int i = 0; i < kStepCount; ++i) {
    seen.labels_then[i] = StepText(i);
    seen.done_then[i] = StepDone(i);
  }
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
}

TEST_F(ProgressWindowTest, ErrorMessageIsAModalDialogOwnedByTheWindow) {
  seen = {};
  readback::SetErrorDialogHook(&RecordAndPressOk);
  ShowErrorMessage(window_, "Download failed or verification error.");
  readback::SetErrorDialogHook(nullptr);

  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.title, "Solvane Setup");
  EXPECT_EQ(seen.text, "Download failed or verification error.");
  EXPECT_EQ(seen.type, GTK_MESSAGE_ERROR);
  EXPECT_TRUE(seen.modal);
  EXPECT_EQ(seen.parent, GTK_WINDOW(widget_));
  EXPECT_EQ(seen.buttons, std::vector<std::string>{"_OK"});
  // Gone once answered; the progress window stays.
  GList* toplevels = gtk_window_list_toplevels();
  int dialogs = 0;
  for (GList* item = toplevels; item; item = item->next) {
    if (GTK_IS_MESSAGE_DIALOG(item->data)) ++dialogs;
  }
  g_list_free(toplevels);
  EXPECT_EQ(dialogs, 0);
  EXPECT_TRUE(readback::WindowVisible());
}

TEST(ProgressWindowWithout, SetProgressBeforeTheWindowExistsOnlyDrains) {
  ASSERT_EQ(readback::MainWindowWidget(), nullptr);
  DrainProbe drains;
  SetProgress(50);
  EXPECT_EQ(drains.runs, 1);
  EXPECT_EQ(readback::ProgressFraction(), -1.0);
  PumpMessages();  // nothing left to run
  EXPECT_EQ(drains.runs, 1);
}

// RunInstall in this process against a loopback server. While the program
// waits for a response, its thread is blocked inside the transfer and does
// not touch GTK, so the server's handler may read the widgets then.
class InstallInWindowTest : public ::testing::Test {
 protected:
  struct Snapshot {
    std::u16string text[kStepCount];
    bool done[kStepCount] = {};
    double fraction = -1;
    bool visible = false;
  };

  static Snapshot Take() {
    Snapshot shot;
    for (int i = 0; i < kStepCount; ++i) {
      shot.text[i] = StepText(i);
      shot.done[i] = StepDone(i);
    }
    shot.fraction = readback::ProgressFraction();
    shot.visible = readback::WindowVisible();
    return shot;
  }

  void SetUp() override {
    if (!HaveDisplay()) GTEST_SKIP() << "no X11 or Wayland display";
    SetDataDirectory(data_.str());
    // An unexpected error dialog is answered too, rather than waited on.
    seen = {};
    readback::SetErrorDialogHook(&RecordAndPressOk);
  }
  void TearDown() override { readback::SetErrorDialogHook(nullptr); }

  // Serves `body` at `path` and takes a snapshot of the window first.
  void ServeWatched(const std::string& path, const std::string& body, Snapshot& shot,
                    int status = 200) {
    server_.Handle(path, [body, status, &shot](const httplib::Request&, httplib::Response& res) {
      shot = Take();
      res.status = status;
      res.set_content(body, "application/octet-stream");
    });
  }

  std::string Marker() const { return data_.str() + "/installer-ran"; }
  std::string Installer() const { return testing::InstallerScript(Marker()); }
  ReleaseSource Source() const {
    return ReleaseSource{server_.Url("/solvane/"), SOLVANE_TEST_PLATFORM_KEY};
  }
  int RunInstallHere() const {
    UpdatesRun run = OpenUpdatesRun();
    return RunInstall(run, Source());
  }
  std::string Manifest(const std::string& sha256) const {
    return testing::ManifestFor("1.5.0", server_.Url(kInstallerPath).c_str(), sha256.c_str(),
                                "Faster sync");
  }

  static inline const std::string kInstallerPath = "/solvane/r/Solvane-1.5.0.sh";
  testing::TempDir data_;
  testing::ReleaseServer server_;
};

TEST_F(InstallInWindowTest, LabelsFollowASuccessfulInstall) {
  Snapshot at_manifest, at_download;
  ServeWatched("/solvane/manifest.json", Manifest(testing::Sha256Of(Installer())), at_manifest);
  ServeWatched(kInstallerPath, Installer(), at_download);

  EXPECT_EQ(RunInstallHere(), 0);
  EXPECT_EQ(seen.calls, 0) << seen.text;

  EXPECT_TRUE(at_manifest.visible);
  EXPECT_EQ(at_manifest.text[0], u"  Fetching release information...");
  for (int i = 1; i < kStepCount; ++i) EXPECT_EQ(at_manifest.text[i], kInitial[i]);
  for (bool done : at_manifest.done) EXPECT_FALSE(done);
  EXPECT_EQ(at_manifest.fraction, 0.0);

  EXPECT_TRUE(at_download.visible);
  EXPECT_EQ(at_download.text[0], u"  Fetching release information...  \u2714");
  EXPECT_TRUE(at_download.done[0]);
  EXPECT_EQ(at_download.text[1], u"  Downloading Solvane 1.5.0...");
  EXPECT_FALSE(at_download.done[1]);
  EXPECT_EQ(at_download.text[2], kInitial[2]);
  EXPECT_EQ(at_download.text[3], kInitial[3]);
  EXPECT_EQ(at_download.fraction, 0.0);

  // The window is gone with the install, and the installer ran.
  EXPECT_FALSE(readback::WindowVisible());
  EXPECT_EQ(readback::MainWindowWidget(), nullptr);
  EXPECT_TRUE(testing::WaitForFile(Marker()));
  EXPECT_EQ(Json::parse(testing::ReadFile(UpdatesDirectory() + "/Updates.json"))["release_notes"],
            Json::parse(R"({"version": "1.5.0", "notes": "Faster sync"})"));
}

TEST_F(InstallInWindowTest, DroppedConnectionsResumeAndTheBarNeverGoesBack) {
  // Large enough for the bar to move before each cut.
  const std::string installer = Installer() + "# " + std::string(2 * 1024 * 1024, 'x') + "\n";
  Snapshot manifest_shot;
  ServeWatched("/solvane/manifest.json", Manifest(testing::Sha256Of(installer)), manifest_shot);
  std::vector<double> at_request;
  testing::FaultyFile file;
  file.body = installer;
  file.cuts = {0.3, 0.6};  // two dropped connections
  file.on_request = [&at_request] { at_request.push_back(readback::ProgressFraction()); };
  server_.ServeFaulty(kInstallerPath, file);

  EXPECT_EQ(RunInstallHere(), 0);
  EXPECT_EQ(seen.calls, 0) << seen.text;
  EXPECT_TRUE(testing::WaitForFile(Marker()));
  // Each new connection found the bar where the bytes held had left it.
  ASSERT_EQ(at_request.size(), 3u);
  EXPECT_EQ(at_request[0], 0.0);
  EXPECT_GT(at_request[1], 0.2);
  EXPECT_GE(at_request[2], at_request[1]);
  EXPECT_GT(at_request[2], 0.5);
  EXPECT_EQ(server_.BytesSent(kInstallerPath), static_cast<std::int64_t>(installer.size()));
}

TEST_F(InstallInWindowTest, FailuresShowTheirMessageOverTheStepsReachedSoFar) {
  struct Case {
    const char* name;
    int manifest_status;
    int installer_status;
    std::string sha256;
    const char* message;
    std::u16string labels[kStepCount];
    bool done[kStepCount];
  };
  const std::u16string fetched = u"  Fetching release information...  \u2714";
  const Case cases[] = {
      {"manifest 404",
       404,
       200,
       "",
       // The step's fixed sentence first, then why, in the same message box.
       "Could not find a release for this platform. The server answered with an error (HTTP "
       "404).",
       {u"  Fetching release information...", kInitial[1], kInitial[2], kInitial[3]},
       {false, false, false, false}},
      {"download 503",
       200,
       503,
       "",
       "Download failed or verification error. The server answered with an error (HTTP 503).",
       {fetched, u"  Downloading Solvane 1.5.0...", kInitial[2], kInitial[3]},
       {true, false, false, false}},
      {"digest mismatch",
       200,
       200,
       std::string(64, '0'),
       "Download failed or verification error. The download does not match the published "
       "release.",
       {fetched, u"  Downloading Solvane 1.5.0...  \u2714", u"  Verifying download...",
        kInitial[3]},
       {true, true, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.Serve("/solvane/manifest.json", Manifest(c.sha256), c.manifest_status);
    server_.Serve(kInstallerPath, Installer(), c.installer_status);
    seen = {};
    EXPECT_EQ(RunInstallHere(), 1);

    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.text, c.message);
    for (int i = 0; i < kStepCount; ++i) {
      EXPECT_EQ(seen.labels_then[i], c.labels[i]) << i;
      EXPECT_EQ(seen.done_then[i], c.done[i]) << i;
    }
    EXPECT_FALSE(std::filesystem::exists(UpdatesDirectory() + "/Solvane-1.5.0.sh"));
    EXPECT_FALSE(readback::WindowVisible());
  }
  EXPECT_FALSE(std::filesystem::exists(Marker()));
}

}  // namespace
}  // namespace solvane
