// tests/ui_qt/SearchTest.cpp — FindButtonClick through the Qt window against the simulated line: results, progress, failures, typing during a search.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/sim/SimLine.h"
#include "search/Main.h"
#include "serial/BusScan.h"
#include "tests/ui_qt/QtTestApp.h"
#include "ui/qt/FormsQt.h"

namespace {

using comm::sim::SimLine;

QWidget* W(const ui::TControl* control) { return static_cast<QWidget*>(control->NativeHandle()); }

std::vector<std::uint8_t> PackedBcdAddresses() {
  std::vector<std::uint8_t> all;
  for (int tens = 0; tens <= 9; ++tens)
    for (int units = 0; units <= 9; ++units) all.push_back(static_cast<std::uint8_t>(tens * 16 + units));
  return all;
}

struct Box {
  std::string text, caption;
  unsigned flags;
};

class Search : public ::testing::Test {
 protected:
  void SetUp() override {
    line().Reset();
    form = std::make_unique<TMainForm>();
    form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(W(form.get())));
    ui::Application->SetMessageBoxHook([this](const std::string& text, const std::string& caption, unsigned flags) {
      boxes.push_back({text, caption, flags});
      boxState = {form->Memo->Lines().Text(), form->StatusBar->PanelText(0)};
      return 1;
    });
  }
  void TearDown() override {
    line().SetCallHook(nullptr);
    ui::Application->SetMessageBoxHook(nullptr);
    form.reset();
  }

  static SimLine& line() { return SimLine::Instance(); }
  std::string List() const { return form->Memo->Lines().Text(); }
  std::string Status() const { return form->StatusBar->PanelText(0); }
  bool ControlsEnabled() const { return form->FindButton->Enabled() && form->ComSpin->Enabled(); }
  // The port name of the search's CreateFileA (empty when none was made).
  std::string OpenedName() const {
    for (const auto& call : line().Calls())
      if (call.name == "CreateFileA") return call.text;
    return {};
  }
  // Runs `act(i)` before the write of probe i (0–99) goes out, and `atClose()` at the port's close.
  void OnProbe(std::function<void(int)> act, std::function<void()> atClose = {}) {
    probes = 0;  // kept here: the line may copy its hook for each call
    line().SetCallHook([this, act, atClose](const comm::sim::Call& call) {
      if (call.name == "WriteFile") act(probes++);
      if (call.name == "CloseHandle" && atClose) atClose();
    });
  }

  std::unique_ptr<TMainForm> form;
  int probes = 0;
  std::vector<Box> boxes;
  std::vector<std::string> boxState;
};

TEST_F(Search, DevicesOnPort7AreListedInAddressOrder) {
  line().SetDevices({0x42, 0x05});
  form->ComSpin->SetValue(7);
  form->FindButton->Click();
  EXPECT_EQ(List(), "COM7 - устройство №05\nCOM7 - устройство №42\n");
  EXPECT_EQ(form->Memo->Lines().Count(), 2);
  EXPECT_EQ(Status(), "Поиск завершен");
  EXPECT_EQ(OpenedName(), "COM7");
  EXPECT_FALSE(line().IsOpen());
  EXPECT_EQ(line().CloseCount(), 1);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(ControlsEnabled());
  std::vector<std::uint8_t> probed;
  for (const auto& sent : line().Sent()) probed.push_back(sent.byte);
  EXPECT_EQ(probed, PackedBcdAddresses()) << "the 100 packed-BCD addresses, ascending, once each";
}

TEST_F(Search, NoDeviceLeavesTheOneNoDeviceLineAndTheEndText) {
  form->Memo->Lines().Add("COM1 - устройство №17");  // an earlier search's result goes
  form->FindButton->Click();
  EXPECT_EQ(List(), "Устройства не обнаружены\n");
  EXPECT_EQ(Status(), "Поиск завершен");
  EXPECT_TRUE(ControlsEnabled());
}

// During the scan: the list was cleared, both controls are greyed, the status shows the address
// probed last, and window events are processed between probes. At the end the end text replaces
// "Поиск ... 99" and the controls come back.
TEST_F(Search, ProgressAndControlsDuringTheScan) {
  line().SetDevices({0x31});
  form->ComSpin->SetValue(2);
  form->Memo->Lines().Add("old");
  form->StatusBar->SetPanelText(0, "before");
  std::vector<std::string> statusAtProbe;
  std::vector<int> listCountAtProbe;
  int enabledDuringScan = 0;
  bool posted = false, ranBeforeNextProbe = false, ran = false;
  bool queuedRanGreyed = false, ranBeforeFirstProbe = false;
  std::string statusAtClose;
  bool enabledAtClose = true;
  OnProbe(
      [&](int probe) {
        statusAtProbe.push_back(Status());
        listCountAtProbe.push_back(form->Memo->Lines().Count());
        if (form->FindButton->Enabled() || form->ComSpin->Enabled()) ++enabledDuringScan;
        if (probe == 0) ranBeforeFirstProbe = queuedRanGreyed;
        if (probe == 50) {
          QMetaObject::invokeMethod(W(form.get()), [&] { ran = true; }, Qt::QueuedConnection);
          posted = true;
        }
        if (probe == 51) ranBeforeNextProbe = posted && ran;
      },
      [&] {
        statusAtClose = Status();
        enabledAtClose = ControlsEnabled();
      });
  // Waiting when the button is pressed: served after the list was cleared and the controls greyed,
  // before the first probe.
  QMetaObject::invokeMethod(
      W(form.get()), [&] { queuedRanGreyed = !form->FindButton->Enabled() && !form->ComSpin->Enabled() &&
                                             form->Memo->Lines().Count() == 0; },
      Qt::QueuedConnection);
  form->FindButton->Click();

  const auto addresses = PackedBcdAddresses();
  ASSERT_EQ(statusAtProbe.size(), 100u);
  EXPECT_EQ(statusAtProbe[0], "before");
  for (std::size_t i = 1; i < statusAtProbe.size(); ++i)
    EXPECT_EQ(statusAtProbe[i], "Поиск ... " + libunit::AddressText(addresses[i - 1])) << "probe " << i;
  EXPECT_EQ(statusAtProbe[1], "Поиск ... 00");
  EXPECT_EQ(statusAtProbe[10], "Поиск ... 09");
  EXPECT_EQ(statusAtProbe[11], "Поиск ... 10");
  EXPECT_EQ(statusAtClose, "Поиск ... 99");
  EXPECT_EQ(Status(), "Поиск завершен");

  EXPECT_EQ(listCountAtProbe.front(), 0) << "the list is cleared before the first probe";
  EXPECT_EQ(listCountAtProbe.back(), 1) << "COM2 - устройство №31 written when 31 answered";
  EXPECT_EQ(enabledDuringScan, 0);
  EXPECT_FALSE(enabledAtClose);
  EXPECT_TRUE(ControlsEnabled());
  EXPECT_TRUE(ranBeforeFirstProbe) << "pending events are processed once the list is cleared and the controls greyed";
  EXPECT_TRUE(ranBeforeNextProbe) << "pending events are processed after each probe";
  EXPECT_EQ(List(), "COM2 - устройство №31\n");
}

TEST_F(Search, PortThatCantBeOpenedShowsOnlyTheMessageBox) {
  struct Row {
    const char* name;
    std::function<void()> make;
  };
  const std::vector<Row> rows = {
      {"no such port", [] { line().SetPortPresent(3, false); }},
      {"port held by another program", [] { line().SetPortBusy(3, true); }},
      {"open fails", [] { line().FailCall("CreateFileA", 1); }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    line().Reset();
    r.make();
    boxes.clear();
    form->Memo->Clear();
    form->Memo->Lines().Add("COM3 - устройство №05");
    form->StatusBar->SetPanelText(0, "Поиск завершен");
    form->ComSpin->SetValue(3);
    form->FindButton->Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Указанный COM-порт недоступен");
    EXPECT_EQ(boxes[0].caption, "Информация");
    EXPECT_EQ(boxes[0].flags, 0x10u);
    EXPECT_EQ(boxState, (std::vector<std::string>{"COM3 - устройство №05\n", "Поиск завершен"}))
        << "nothing changed before the box";
    EXPECT_EQ(List(), "COM3 - устройство №05\n");
    EXPECT_EQ(Status(), "Поиск завершен");
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_EQ(line().CountCalls("WriteFile"), 0);
    EXPECT_EQ(line().OpenCount(), 0);
  }
}

TEST_F(Search, TextTypedIntoTheListDuringTheScanCountsAsALine) {
  OnProbe([&](int probe) {
    if (probe != 20) return;
    QWidget* memo = W(form->Memo);  // the operator types while the scan runs
    QCoreApplication::postEvent(memo, new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x"));
    QCoreApplication::postEvent(memo, new QKeyEvent(QEvent::KeyRelease, Qt::Key_X, Qt::NoModifier, "x"));
  });
  form->FindButton->Click();
  EXPECT_EQ(List(), "x\n") << "no device answered, yet the list isn't empty: no no-device line";
  EXPECT_EQ(Status(), "Поиск завершен");
}

TEST_F(Search, PortNumberOfEachLineIsReadWhenTheLineIsWritten) {
  line().SetDevices({0x05, 0x42});
  form->ComSpin->SetValue(7);
  OnProbe([&](int probe) {
    if (probe == 10) form->ComSpin->SetValue(9);
  });
  form->FindButton->Click();
  EXPECT_EQ(List(), "COM7 - устройство №05\nCOM9 - устройство №42\n");
  EXPECT_EQ(OpenedName(), "COM7");
}

// What is typed in the port box, then the button pressed with the mouse: the port searched and
// the box's text afterwards.
TEST_F(Search, PortBoxTextDecidesThePortSearched) {
  const char32_t sepChar = ui::qt::DecimalSeparator();
  const QString sep = QString::fromUcs4(&sepChar, 1);
  struct Row {
    QString typed;
    const char* port;
    QString textAfter;
  };
  const std::vector<Row> rows = {
      {"0", "COM1", "1"},  {"00", "COM1", "1"}, {"-5", "COM1", "1"},         {"\b", "COM1", ""},
      {"+", "COM1", "+"},  {"-", "COM1", "-"},  {"1" + sep, "COM1", "1" + sep}, {"+9", "COM9", "+9"},
      {"42", "\\\\.\\COM42", "42"}, {"150", "\\\\.\\COM15", "15"}, {"99", "\\\\.\\COM99", "99"},
  };
  auto* spin = static_cast<ui::qt::SpinBox*>(W(form->ComSpin));
  for (const Row& r : rows) {
    SCOPED_TRACE(r.typed.toStdString());
    line().Reset();
    form->ComSpin->SetFocus();
    spin->Edit()->selectAll();
    QTest::keyClicks(spin, r.typed);
    QTest::mouseClick(W(form->FindButton), Qt::LeftButton);
    EXPECT_EQ(OpenedName(), r.port);
    EXPECT_EQ(spin->Text(), r.textAfter);
    EXPECT_EQ(List(), "Устройства не обнаружены\n");
  }
}

}  // namespace
