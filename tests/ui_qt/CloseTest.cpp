// tests/ui_qt/CloseTest.cpp — closing the main window during a search, through the real event loop: the search runs to its end, then the program ends with no further event processed.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QTest>
#include <QWindow>
#include <functional>

#include "comm/sim/SimLine.h"
#include "search/Main.h"
#include "tests/ui_qt/QtTestApp.h"

namespace {

QWidget* W(const ui::TControl* control) { return static_cast<QWidget*>(control->NativeHandle()); }

// Runs `act` when its object receives an event of type `type`.
class OnEvent : public QObject {
 public:
  OnEvent(QObject* target, QEvent::Type type, std::function<void()> act) : type_(type), act_(std::move(act)) {
    target->installEventFilter(this);
  }
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == type_) act_();
    return false;
  }

 private:
  QEvent::Type type_;
  std::function<void()> act_;
};

// This program's application ends for good here, so it holds this one test.
TEST(CloseDuringSearch, WindowStaysAndRespondsUntilTheSearchEndsThenTheProgramEndsAtOnce) {
  auto& line = comm::sim::SimLine::Instance();
  line.Reset();
  line.SetDevices({0x05});
  ui::TApplication& app = *ui::Application;
  app.SetMessageBoxHook([](const std::string& text, const std::string&, unsigned) {
    ADD_FAILURE() << "unexpected message box: " << text;
    return 1;
  });
  app.CreateForm(MainForm);
  ASSERT_EQ(app.MainForm(), MainForm);
  QWidget* window = W(MainForm);

  // Another window: asking to activate it queues a window-system event, the kind a window manager
  // delivers (input, activation, expose), which Qt hands out in one batch with the events before it.
  QWidget other;
  other.setGeometry(0, 0, 50, 50);
  other.show();
  bool otherActivatedAfterSearch = false, searchOver = false;
  OnEvent otherWatch(&other, QEvent::WindowActivate, [&] {
    if (searchOver) otherActivatedAfterSearch = true;
  });

  int probes = 0;
  bool terminatedAfterClose = false, visibleAfterClose = false, visibleAtPortClose = false;
  bool duringSearchEventRan = false, afterSearchEventRan = false;
  line.SetCallHook([&](const comm::sim::Call& call) {
    if (call.name == "WriteFile") {
      ++probes;
      if (probes == 30) {
        // The window manager's close (close button, system menu, Alt+F4) reaches Qt as a close
        // event for the window; an event posted behind it must still be served during the search.
        QCoreApplication::postEvent(window->windowHandle(), new QCloseEvent);
        QMetaObject::invokeMethod(window, [&] { duringSearchEventRan = true; }, Qt::QueuedConnection);
      }
      if (probes == 31) {
        terminatedAfterClose = app.Terminated();
        visibleAfterClose = window->isVisible();
      }
    }
    if (call.name == "CloseHandle") {  // step 4 of the search: its last event processing is over
      visibleAtPortClose = window->isVisible();
      searchOver = true;
      QMetaObject::invokeMethod(window, [&] { afterSearchEventRan = true; }, Qt::QueuedConnection);
      other.windowHandle()->requestActivate();
      window->update();
    }
  });
  // The operator presses the button when the window has come up, inside the window system's
  // delivery of its activation, as a real click arrives among the window system's events.
  bool clicked = false;
  OnEvent press(window, QEvent::WindowActivate, [&] {
    if (std::exchange(clicked, true)) return;
    QTest::mouseClick(W(MainForm->FindButton), Qt::LeftButton);
  });

  app.Run();

  EXPECT_TRUE(terminatedAfterClose) << "the close was taken during the search";
  EXPECT_TRUE(visibleAfterClose) << "the window stays on screen";
  EXPECT_TRUE(duringSearchEventRan) << "and keeps responding";
  EXPECT_EQ(probes, 100) << "all 100 addresses probed";
  EXPECT_TRUE(visibleAtPortClose);
  EXPECT_EQ(line.CloseCount(), 1);
  EXPECT_EQ(MainForm->Memo->Lines().Text(), "COM1 - устройство №05\n");
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), "Поиск завершен");
  EXPECT_TRUE(clicked);
  EXPECT_FALSE(afterSearchEventRan) << "no event after the search was processed";
  EXPECT_FALSE(otherActivatedAfterSearch) << "not even one the window system had already handed over";
  app.ProcessMessages();
  EXPECT_FALSE(afterSearchEventRan) << "nor left queued";
  line.SetCallHook(nullptr);
}

}  // namespace
