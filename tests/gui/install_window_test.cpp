// Fresh installs of the real program with its window on the test's X display,
// watched and driven from outside through X11 as a desktop would: the window
// while the install waits on the server, a close request during the install,
// and the error dialog, which the test closes itself.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "state/state_file.h"
#include "tests/e2e/e2e_support.h"
#include "tests/gui/x11_windows.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

bool IsMainWindow(const XTopLevel& w) { return w.title == "Solvane Setup" && w.transient_for == 0; }
bool IsDialog(const XTopLevel& w) { return w.title == "Solvane Setup" && w.transient_for != 0; }

// A response that waits until the test lets it go (a minute at most, so a
// broken test cannot hang the server).
class Gate {
 public:
  void Open() { open_.set_value(); }
  void Wait() { opened_.wait_for(std::chrono::minutes(1)); }
  bool Reached() const { return reached_; }
  void MarkReached() { reached_ = true; }

 private:
  std::promise<void> open_;
  std::shared_future<void> opened_ = open_.get_future().share();
  std::atomic<bool> reached_{false};
};

class InstallWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (!display || !x_.ok()) GTEST_SKIP() << "no X11 display";
    display_ = display;
  }

  void TearDown() override {
    // Should a window never have shown up as expected, end the program that
    // is waiting behind it rather than hang.
    if (program_.joinable()) {
      KillProgram();
      program_.join();
    }
  }

  std::string Updates() const { return UpdatesDirIn(home_.str()); }
  std::string Marker() const { return home_.str() + "/installer-ran"; }
  std::string Installer() const { return InstallerScript(Marker()); }

  void Publish(const std::string& sha256, int installer_status = 200) {
    server_.Serve(kManifestPath,
                  ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(), sha256.c_str(), "n"));
    server_.Serve(kInstallerPath, Installer(), installer_status);
  }

  // Answers `path` with `body` only once `gate` is opened.
  void ServeGated(const std::string& path, const std::string& body, Gate& gate) {
    server_.Handle(path, [body, &gate](const httplib::Request&, httplib::Response& res) {
      gate.MarkReached();
      gate.Wait();
      res.set_content(body, "application/octet-stream");
    });
  }

  // Starts the program with the display, in the background.
  void Start() {
    program_ = std::thread([this] {
      run_ = RunProgram(home_.str(), {}, {{"DISPLAY", display_}});
      ended_ = true;
    });
  }

  // Waits for the program to end; one still running after a minute is
  // stuck (a dialog nobody answered) and is ended, failing the test.
  ProgramRun Finish() {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!ended_ && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended_) {
      ADD_FAILURE() << "the program did not end";
      KillProgram();
    }
    program_.join();
    return run_;
  }

  void KillProgram() {
    for (const XTopLevel& w : x_.Viewable()) {
      if (w.title == "Solvane Setup" && w.pid > 0) ::kill(w.pid, SIGKILL);
    }
  }

  // Waits for the error dialog, checks how it sits over the window and
  // answers it: Return for OK, or the close request of a title bar.
  void AnswerErrorDialog(bool press_ok) {
    const auto dialog = x_.WaitFor(IsDialog, ended_);
    ASSERT_TRUE(dialog) << "no error dialog appeared";
    EXPECT_TRUE(dialog->modal);
    const auto main = x_.WaitFor(IsMainWindow, ended_);
    ASSERT_TRUE(main);
    EXPECT_EQ(dialog->transient_for, main->id);
    EXPECT_FALSE(ended_);  // the program waits for the answer
    on_dialog_();
    if (press_ok) {
      x_.PressReturn(dialog->id);
    } else {
      x_.RequestClose(dialog->id);
    }
  }
  std::function<void()> on_dialog_ = [] {};

  XSession x_;
  std::string display_;
  TempDir home_;
  ReleaseServer server_{SOLVANE_TEST_PORT};
  std::thread program_;
  std::atomic<bool> ended_{false};
  ProgramRun run_;
};

TEST_F(InstallWindowTest, WindowStaysThroughACloseRequestAndTheInstallCompletes) {
  Gate manifest_gate, installer_gate;
  ServeGated(kManifestPath,
             ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(), Sha256Of(Installer()).c_str(),
                         "Faster sync"),
             manifest_gate);
  ServeGated(kInstallerPath, Installer(), installer_gate);
  Start();

  // While the manifest is on its way the window is up, as a desktop sees it.
  const auto window = x_.WaitFor(IsMainWindow, ended_);
  ASSERT_TRUE(window) << "no progress window appeared";
  EXPECT_EQ(window->width, 420);
  EXPECT_EQ(window->height, 210);
  EXPECT_EQ(window->x, (x_.ScreenWidth() - 420) / 2);
  EXPECT_EQ(window->y, (x_.ScreenHeight() - 210) / 2);
  EXPECT_TRUE(window->fixed_size);
  EXPECT_EQ(window->icon_sizes, (std::vector<int>{16, 24, 32, 48, 64, 96, 128, 256}));
  // Move and close only: no minimise, maximise or resize.
  EXPECT_EQ(window->wm_functions, (1L << 2) | (1L << 5));

  // The close button cancels nothing: the request is handled at the next
  // drain, and the window is still there when the download starts.
  x_.RequestClose(window->id);
  manifest_gate.Open();
  const auto again = x_.WaitFor(
      [&](const XTopLevel& w) { return installer_gate.Reached() && w.id == window->id; }, ended_);
  EXPECT_TRUE(again) << "the window went away after the close request";
  installer_gate.Open();

  const ProgramRun run = Finish();
  EXPECT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_TRUE(WaitForFile(Marker()));
  EXPECT_EQ(Json::parse(ReadFile(Updates() + "/Updates.json"))["release_notes"],
            Json::parse(R"({"version": "1.5.0", "notes": "Faster sync"})"));
  // The steps went to the window, not to standard error.
  EXPECT_EQ(run.stderr_text.find("Fetching"), std::string::npos) << run.stderr_text;
}

TEST_F(InstallWindowTest, ManifestNotFoundShowsTheDialogUntilOkIsPressed) {
  server_.Serve(kManifestPath, "", 404);
  Start();
  AnswerErrorDialog(/*press_ok=*/true);
  const ProgramRun run = Finish();
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.stderr_text.find("Could not find"), std::string::npos) << run.stderr_text;
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Updates.json"));
}

// The digest is taken as the bytes arrive, so a mismatch is known, and the
// download deleted, before the message is shown.
TEST_F(InstallWindowTest, DigestMismatchDeletesTheFileBeforeTheDialog) {
  Publish(std::string(64, 'f'));
  const std::string downloaded = Updates() + "/Solvane-1.5.0.sh";
  bool present_during_dialog = false;
  on_dialog_ = [&] { present_during_dialog = std::filesystem::exists(downloaded); };
  Start();
  AnswerErrorDialog(/*press_ok=*/false);
  const ProgramRun run = Finish();
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_FALSE(present_during_dialog);
  EXPECT_FALSE(std::filesystem::exists(downloaded));
  EXPECT_FALSE(std::filesystem::exists(downloaded + ".partial"));
  EXPECT_FALSE(std::filesystem::exists(Marker()));
}

TEST_F(InstallWindowTest, FailedDownloadShowsTheDialogAndLeavesNoFile) {
  Publish(Sha256Of(Installer()), 403);
  Start();
  AnswerErrorDialog(/*press_ok=*/false);
  const ProgramRun run = Finish();
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_FALSE(std::filesystem::exists(Updates() + "/Solvane-1.5.0.sh"));
  EXPECT_EQ(run.stderr_text.find("Download failed"), std::string::npos) << run.stderr_text;
}

}  // namespace
}  // namespace solvane
