// tests/ui_qt/WindowE2eTest.cpp — the window end to end: busfinder-sim on a pseudo-terminal as COM3, the termios layer, the real event loop and the close button.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QLineEdit>
#include <QTest>
#include <QWindow>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "search/Main.h"
#include "tests/ui_qt/QtTestApp.h"
#include "ui/qt/FormsQt.h"

extern char** environ;

namespace {

QWidget* W(const ui::TControl* control) { return static_cast<QWidget*>(control->NativeHandle()); }

// busfinder-sim as a child process, up once it has printed its `ready <slave>` line.
class SimProcess {
 public:
  ~SimProcess() { Stop(); }

  std::string Start(const std::vector<std::string>& options) {
    int out[2];
    if (pipe(out) != 0) return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {BUSFINDER_SIM_PATH};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, BUSFINDER_SIM_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      return "cannot start " BUSFINDER_SIM_PATH;
    }
    std::string text;
    char c = 0;
    pollfd p{stdout_, POLLIN, 0};
    while (poll(&p, 1, 10000) == 1 && read(stdout_, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
    if (stdout_ >= 0) close(stdout_);
    stdout_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
};

TEST(WindowEndToEnd, FindsTheSimulatorsDevicesOnCom3AndEndsOnClose) {
  // A private ports folder: the simulator links COM3 there, and the termios layer looks there.
  char dir[] = "/tmp/busfinder-ui-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("XDG_CONFIG_HOME", dir, 1);
  SimProcess sim;
  const std::string ready = sim.Start({"--devices", "05,17,42", "--com", "3"});
  ASSERT_EQ(ready.rfind("ready /dev/", 0), 0u) << ready;

  ui::TApplication& app = *ui::Application;
  std::vector<std::string> boxes;
  app.SetMessageBoxHook([&](const std::string& text, const std::string& caption, unsigned flags) {
    boxes.push_back(text + " | " + caption + " | " + std::to_string(flags));
    return 1;
  });
  app.CreateForm(MainForm);
  QWidget* window = W(MainForm);
  auto* spin = static_cast<ui::qt::SpinBox*>(W(MainForm->ComSpin));

  // The operator's steps, each queued once the one before has been handled: port 4 (nothing
  // there), then port 3, then the window's close button.
  auto typeAndPress = [spin](const char* port) {
    spin->setFocus();
    spin->Edit()->selectAll();
    QTest::keyClicks(spin, port);
    QTest::mouseClick(W(MainForm->FindButton), Qt::LeftButton);
  };
  int searches = 0;
  std::string listAfterFirst;
  MainForm->FindButton->OnClick = [&](ui::TControl* sender) {
    MainForm->FindButtonClick(sender);
    if (++searches == 1) {
      listAfterFirst = MainForm->Memo->Lines().Text();
      QMetaObject::invokeMethod(window, [&] { typeAndPress("3"); }, Qt::QueuedConnection);
    } else {
      QCoreApplication::postEvent(window->windowHandle(), new QCloseEvent);
    }
  };
  QMetaObject::invokeMethod(window, [&] { typeAndPress("4"); }, Qt::QueuedConnection);

  app.Run();

  EXPECT_EQ(searches, 2);
  EXPECT_EQ(boxes, (std::vector<std::string>{"Указанный COM-порт недоступен | Информация | 16"}));
  EXPECT_EQ(listAfterFirst, "");
  EXPECT_EQ(MainForm->Memo->Lines().Text(),
            "COM3 - устройство №05\nCOM3 - устройство №17\nCOM3 - устройство №42\n");
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), "Поиск завершен");
  EXPECT_TRUE(app.Terminated()) << "the close outside a search ended the program";
  EXPECT_FALSE(MainForm->Visible());

  sim.Stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
