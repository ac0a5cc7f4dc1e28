// tests/ui_qt/FormsQtTest.cpp — the Qt form toolkit on real widgets: the main window's layout and start state, the spin box's rules, the memo, the message box.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "search/Main.h"
#include "tests/ui_qt/QtTestApp.h"
#include "ui/qt/FormsQt.h"

namespace {

using ui::qt::Scaled;

QWidget* W(const ui::TControl* control) { return static_cast<QWidget*>(control->NativeHandle()); }

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<TMainForm>();
    form->Show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(W(form.get())));
    spin = static_cast<ui::qt::SpinBox*>(W(form->ComSpin));
    memo = static_cast<QPlainTextEdit*>(W(form->Memo));
  }
  void TearDown() override { form.reset(); }

  // The port box with `text`, focused and all selected, as a user about to type over it finds it.
  void ReadyToType(const QString& text) {
    spin->SetText(text);
    form->ComSpin->SetFocus();
    spin->Edit()->selectAll();
    ASSERT_TRUE(form->ComSpin->Focused());
  }

  // Keys as QTest::keyClicks sends them ('\r' is Enter, '\b' Backspace), each with its text.
  static void Type(QWidget* widget, const QString& keys) { QTest::keyClicks(widget, keys); }

  std::unique_ptr<TMainForm> form;
  ui::qt::SpinBox* spin = nullptr;
  QPlainTextEdit* memo = nullptr;
};

const QString kSep = [] {
  const char32_t c = ui::qt::DecimalSeparator();
  return QString::fromUcs4(&c, 1);
}();

TEST_F(MainWindow, LayoutAtNinetySixDpiWithEveryControlInItsParent) {
  QWidget* client = W(form.get());
  EXPECT_EQ(client->size(), QSize(Scaled(392), Scaled(285)));
  EXPECT_EQ(form->GetBounds().Width, 392);
  EXPECT_EQ(form->GetBounds().Height, 285);

  struct Row {
    const char* name;
    ui::TControl* control;
    ui::TControl* parent;
    ui::TRect96 bounds;
  };
  const Row rows[] = {
      {"Panel", form->Panel, form.get(), {0, 0, 392, 266}},
      {"StatusBar", form->StatusBar, form.get(), {0, 266, 392, 19}},
      {"Label1", form->Label1, form->Panel, {18, 24, 55, 13}},
      {"ComSpin", form->ComSpin, form->Panel, {80, 16, 81, 22}},
      {"Memo", form->Memo, form->Panel, {16, 56, 361, 169}},
      {"FindButton", form->FindButton, form->Panel, {16, 232, 361, 25}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const ui::TRect96 b = r.control->GetBounds();
    EXPECT_EQ((std::vector<int>{b.Left, b.Top, b.Width, b.Height}),
              (std::vector<int>{r.bounds.Left, r.bounds.Top, r.bounds.Width, r.bounds.Height}));
    EXPECT_EQ(W(r.control)->parentWidget(), W(r.parent));
    const QRect expected(Scaled(r.bounds.Left), Scaled(r.bounds.Top), Scaled(r.bounds.Width), Scaled(r.bounds.Height));
    if (r.control == form->Label1) {
      // A label sizes itself to its text: never smaller than laid out, never clipping its text.
      EXPECT_EQ(W(r.control)->pos(), expected.topLeft());
      EXPECT_GE(W(r.control)->width(), expected.width());
      EXPECT_GE(W(r.control)->height(), expected.height());
    } else {
      EXPECT_EQ(W(r.control)->geometry(), expected);
    }
  }
  auto* label = static_cast<QLabel*>(W(form->Label1));
  EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << "the whole caption shows";
  EXPECT_LE(label->geometry().right(), W(form->ComSpin)->geometry().left()) << "and stays clear of the port box";
}

TEST_F(MainWindow, FixedSingleBorderWithTitleSystemMenuAndCloseButtonOnly) {
  QWidget* w = W(form.get());
  EXPECT_EQ(w->minimumSize(), w->size());
  EXPECT_EQ(w->maximumSize(), w->size());
  const Qt::WindowFlags flags = w->windowFlags();
  EXPECT_EQ(w->windowType(), Qt::Window);
  EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
  EXPECT_TRUE(flags & Qt::WindowTitleHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form->Caption(), "Поиск устройств \"Вилтар-2\"");
  EXPECT_EQ(w->windowTitle(), QString::fromUtf8("Поиск устройств \"Вилтар-2\""));
}

TEST_F(MainWindow, StartStateCentredPortOneFocusedAndSelectedEmptyListAndStatus) {
  QWidget* w = W(form.get());
  EXPECT_TRUE(form->Visible());
  const QRect area = w->screen()->availableGeometry();
  EXPECT_NEAR(w->frameGeometry().center().x(), area.center().x(), 1);
  EXPECT_NEAR(w->frameGeometry().center().y(), area.center().y(), 1);

  EXPECT_TRUE(form->ComSpin->Focused());
  EXPECT_EQ(form->ComSpin->Text(), "1");
  EXPECT_EQ(form->ComSpin->Value(), 1);
  EXPECT_EQ(spin->Edit()->selectedText(), QStringLiteral("1"));
  EXPECT_EQ(form->ComSpin->MinValue(), 1);
  EXPECT_EQ(form->ComSpin->MaxValue(), 99);
  EXPECT_EQ(form->ComSpin->MaxLength(), 2);
  EXPECT_EQ(spin->Edit()->maxLength(), 2);
  EXPECT_TRUE(form->ComSpin->Enabled());

  EXPECT_EQ(form->Memo->Lines().Count(), 0);
  EXPECT_TRUE(memo->toPlainText().isEmpty());
  EXPECT_FALSE(memo->isReadOnly());
  EXPECT_TRUE(form->FindButton->Enabled());
  EXPECT_EQ(form->FindButton->Caption(), "Поиск");
  EXPECT_EQ(form->StatusBar->PanelText(0), "");
  EXPECT_EQ(form->Label1->Caption(), "COM-порт:");
}

TEST_F(MainWindow, LooksSetFontColourBevelStatusBar) {
  QWidget* w = W(form.get());
  EXPECT_EQ(w->font().pointSize(), 8);
  EXPECT_EQ(w->font().family(), QStringLiteral("Tahoma"));
  const QString shown = QFontInfo(w->font()).family();  // Tahoma, or the sans font standing in for it
  EXPECT_TRUE(QFontDatabase::writingSystems(shown).contains(QFontDatabase::Cyrillic)) << shown.toStdString();
  EXPECT_TRUE(QFontMetrics(w->font()).inFontUcs4(U'ж'));
  EXPECT_EQ(W(form->Memo)->font(), w->font()) << "controls take the form's font";
  EXPECT_EQ(w->palette().color(QPalette::Window), w->palette().color(QPalette::Button));
  EXPECT_TRUE(w->autoFillBackground());

  auto* panel = static_cast<QFrame*>(W(form->Panel));
  EXPECT_EQ(panel->frameShape(), QFrame::Panel);
  EXPECT_EQ(panel->frameShadow(), QFrame::Raised);
  EXPECT_EQ(panel->lineWidth(), 1);

  auto* bar = static_cast<QStatusBar*>(W(form->StatusBar));
  EXPECT_FALSE(bar->isSizeGripEnabled());
  const QFont system = QApplication::font("QStatusBar");
  EXPECT_EQ(bar->font().family(), system.family());
  EXPECT_EQ(bar->font().pointSizeF(), system.pointSizeF());
  form->StatusBar->SetPanelText(0, "Поиск ... 42");
  auto* panel0 = bar->findChild<QLabel*>();
  ASSERT_NE(panel0, nullptr);
  EXPECT_EQ(panel0->text(), QString::fromUtf8("Поиск ... 42"));
  EXPECT_EQ(form->StatusBar->PanelText(0), "Поиск ... 42");
  ui::Application->ProcessMessages();
  EXPECT_GE(panel0->width(), bar->width() * 9 / 10) << "panel 0 spans the bar";
}

TEST_F(MainWindow, TabGoesPortBoxListButtonAndRound) {
  EXPECT_EQ(form->ComSpin->TabOrder(), 0);
  EXPECT_EQ(form->Memo->TabOrder(), 1);
  EXPECT_EQ(form->FindButton->TabOrder(), 2);
  const std::vector<ui::TControl*> cycle = {form->Memo, form->FindButton, form->ComSpin, form->Memo};
  form->ComSpin->SetFocus();
  for (ui::TControl* next : cycle) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_TRUE(next->Focused()) << "focus is on " << QApplication::focusWidget()->metaObject()->className();
  }
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_TRUE(form->ComSpin->Focused());
}

// Keys typed over a selected "1": the text and value they leave, the beeps, and the text after Tab.
TEST_F(MainWindow, SpinBoxTypedTextTable) {
  struct Row {
    const char* name;
    QString keys;
    QString text;
    int value;
    int beeps;
    QString afterFocusLoss;
  };
  const std::vector<Row> rows = {
      {"zero", "0", "0", 0, 0, "1"},
      {"double zero", "00", "00", 0, 0, "1"},
      {"minus five", "-5", "-5", -5, 0, "1"},
      {"empty", "\b", "", 1, 0, ""},
      {"lone plus", "+", "+", 1, 0, "+"},
      {"lone minus", "-", "-", 1, 0, "-"},
      {"two signs", "+-", "+-", 1, 0, "+-"},
      {"sign after a digit", "5-", "5-", 1, 0, "5-"},
      {"decimal separator", "1" + kSep, "1" + kSep, 1, 0, "1" + kSep},
      {"1.5 stops at two characters", "1" + kSep + "5", "1" + kSep, 1, 0, "1" + kSep},
      {"150 stops at two characters", "150", "15", 15, 0, "15"},
      {"top", "99", "99", 99, 0, "99"},
      {"plus sign kept", "+7", "+7", 7, 0, "+7"},
      {"letter refused", "7a", "7", 7, 1, "7"},
      {"blank refused", " 8", "8", 8, 1, "8"},
      {"Enter refused", "4\r", "4", 4, 1, "4"},
      {"Enter on its own", "\r", "1", 1, 1, "1"},
      {"backspace edits", "42\b", "4", 4, 0, "4"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ReadyToType("1");
    const int beeps = ui::qt::BeepCount();
    Type(spin, r.keys);
    EXPECT_EQ(spin->Text(), r.text);
    EXPECT_EQ(form->ComSpin->Value(), r.value);
    EXPECT_EQ(ui::qt::BeepCount() - beeps, r.beeps);
    QTest::keyClick(spin, Qt::Key_Tab);
    EXPECT_TRUE(form->Memo->Focused());
    EXPECT_EQ(spin->Text(), r.afterFocusLoss);
  }
}

TEST_F(MainWindow, SpinBoxRefusesOtherCharactersWithABeep) {
  const std::vector<QString> refused = {QStringLiteral("ж"), QStringLiteral("x"), QStringLiteral("€"),
                                        QStringLiteral("/")};
  for (const QString& text : refused) {
    ReadyToType("5");
    spin->Edit()->deselect();
    const int beeps = ui::qt::BeepCount();
    QTest::sendKeyEvent(QTest::Click, spin, Qt::Key_unknown, text, Qt::NoModifier);
    EXPECT_EQ(spin->Text(), QStringLiteral("5")) << text.toStdString();
    EXPECT_EQ(ui::qt::BeepCount() - beeps, 1) << text.toStdString();
  }
  ReadyToType("5");
  QTest::keyClick(spin, Qt::Key_Enter, Qt::KeypadModifier);  // the keypad's Enter too
  EXPECT_EQ(spin->Text(), QStringLiteral("5"));
}

TEST_F(MainWindow, SpinBoxPasteIsUnfilteredButLimitedToTwoCharacters) {
  struct Row {
    QString clip;
    QString text;
    int value;
    QString afterFocusLoss;
  };
  const std::vector<Row> rows = {
      {"150", "15", 15, "15"}, {" 7", " 7", 1, " 7"}, {"0x1F", "0x", 1, "0x"},
      {"ab", "ab", 1, "ab"},   {"-5", "-5", -5, "1"}, {"42", "42", 42, "42"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.clip.toStdString());
    QGuiApplication::clipboard()->setText(r.clip);
    ReadyToType("1");
    const int beeps = ui::qt::BeepCount();
    QTest::keyClick(spin, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(spin->Text(), r.text);
    EXPECT_EQ(form->ComSpin->Value(), r.value);
    EXPECT_EQ(ui::qt::BeepCount(), beeps);
    QTest::keyClick(spin, Qt::Key_Tab);
    EXPECT_EQ(spin->Text(), r.afterFocusLoss);
  }
}

TEST_F(MainWindow, SpinBoxArrowButtonsAndCursorKeysStepByOneWithinTheRange) {
  enum How { KeyUp, KeyDown, ClickUp, ClickDown };
  struct Row {
    QString start;
    How how;
    QString text;
  };
  const std::vector<Row> rows = {
      {"50", KeyUp, "51"},   {"50", KeyDown, "49"}, {"50", ClickUp, "51"}, {"50", ClickDown, "49"},
      {"99", KeyUp, "99"},   {"99", ClickUp, "99"}, {"98", ClickUp, "99"}, {"1", KeyDown, "1"},
      {"1", ClickDown, "1"}, {"2", KeyDown, "1"},   {"", KeyUp, "2"},      {"+", ClickDown, "1"},
      {"0", KeyDown, "1"},   {"-5", ClickUp, "1"},  {"00", KeyUp, "1"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.start.toStdString() + " / " + std::to_string(r.how));
    ReadyToType(r.start);
    switch (r.how) {
      case KeyUp: QTest::keyClick(spin, Qt::Key_Up); break;
      case KeyDown: QTest::keyClick(spin, Qt::Key_Down); break;
      case ClickUp: QTest::mouseClick(spin, Qt::LeftButton, {}, spin->ArrowRect(true).center()); break;
      case ClickDown: QTest::mouseClick(spin, Qt::LeftButton, {}, spin->ArrowRect(false).center()); break;
    }
    EXPECT_EQ(spin->Text(), r.text);
  }
  ReadyToType("50");  // Page keys and Ctrl+click are no bigger steps
  QTest::keyClick(spin, Qt::Key_PageUp);
  EXPECT_EQ(spin->Text(), QStringLiteral("50"));
  QTest::mouseClick(spin, Qt::LeftButton, Qt::ControlModifier, spin->ArrowRect(true).center());
  EXPECT_EQ(spin->Text(), QStringLiteral("51"));
}

TEST_F(MainWindow, SearchButtonTakesTheFocusFirstSoTheHandlerReadsAClampedValue) {
  std::string text;
  int value = 0;
  bool buttonFocused = false;
  int clicks = 0;
  form->FindButton->OnClick = [&](ui::TControl* sender) {
    EXPECT_EQ(sender, form->FindButton);
    text = form->ComSpin->Text();
    value = form->ComSpin->Value();
    buttonFocused = form->FindButton->Focused();
    ++clicks;
  };
  struct Row {
    const char* typed;
    bool mouse;
    const char* seen;
    int value;
  };
  const Row rows[] = {{"00", true, "1", 1}, {"-5", false, "1", 1}, {"0", false, "1", 1},
                      {"+", true, "+", 1},  {"42", true, "42", 42}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.typed);
    ReadyToType("1");
    Type(spin, QString::fromUtf8(r.typed));
    if (r.mouse) {
      QTest::mouseClick(W(form->FindButton), Qt::LeftButton);
    } else {
      form->FindButton->Click();
    }
    EXPECT_EQ(text, r.seen);
    EXPECT_EQ(value, r.value);
    EXPECT_TRUE(buttonFocused);
  }
  EXPECT_EQ(clicks, 5);
  form->FindButton->SetEnabled(false);  // a disabled button can't be pressed
  form->FindButton->Click();
  QTest::mouseClick(W(form->FindButton), Qt::LeftButton);
  EXPECT_EQ(clicks, 5);
}

// Lines as a user sees them: typed text counts, the empty line after a final Enter doesn't.
TEST_F(MainWindow, MemoCountsTypedLinesAndAddsAfterThem) {
  struct Row {
    const char* name;
    QString typed;
    int count;
    std::string text;
    std::string afterAdd;  // after Lines().Add("x")
  };
  const std::vector<Row> rows = {
      {"empty", "", 0, "", "x\n"},
      {"one typed line", "abc", 1, "abc\n", "abc\nx\n"},
      {"line and Enter", "abc\r", 1, "abc\n", "abc\nx\n"},
      {"two lines", "ab\rcd", 2, "ab\ncd\n", "ab\ncd\nx\n"},
      {"Enter only", "\r", 1, "\n", "\nx\n"},
      {"blank line between", "a\r\rb", 3, "a\n\nb\n", "a\n\nb\nx\n"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    form->Memo->Clear();
    form->Memo->SetFocus();
    Type(memo, r.typed);
    EXPECT_EQ(form->Memo->Lines().Count(), r.count);
    EXPECT_EQ(form->Memo->Lines().Text(), r.text);
    form->Memo->Lines().Add("x");
    EXPECT_EQ(form->Memo->Lines().Text(), r.afterAdd);
    EXPECT_EQ(form->Memo->Lines().Count(), r.count + 1);
  }
  form->Memo->Clear();
  EXPECT_EQ(form->Memo->Lines().Count(), 0);
  form->Memo->Lines().Add("COM7 - устройство №05");
  form->Memo->Lines().Add("COM7 - устройство №42");
  EXPECT_EQ(form->Memo->Lines().Text(), "COM7 - устройство №05\nCOM7 - устройство №42\n");
}

TEST_F(MainWindow, MemoWrapsLongLinesAndNeverShowsScrollBars) {
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  form->Memo->Lines().Add(std::string(300, '7'));  // one long word breaks too
  for (int i = 0; i < 40; ++i) form->Memo->Lines().Add("COM1 - устройство №" + std::to_string(i));
  ui::Application->ProcessMessages();
  const QTextLayout* layout = memo->document()->firstBlock().layout();
  ASSERT_NE(layout, nullptr);
  EXPECT_GT(layout->lineCount(), 1);
  EXPECT_FALSE(memo->horizontalScrollBar()->isVisible());
  EXPECT_FALSE(memo->verticalScrollBar()->isVisible());
  EXPECT_EQ(form->Memo->Lines().Count(), 41) << "a wrapped line is still one line";
}

TEST_F(MainWindow, MessageBoxIsModalWithTheErrorIconOneOkButtonTextAndCaption) {
  struct Seen {
    bool found = false;
    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    Qt::WindowModality modality = Qt::NonModal;
  } seen;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    seen = {true, box->text(), box->windowTitle(), box->icon(), box->standardButtons(), box->windowModality()};
    poll.stop();
    box->button(QMessageBox::Ok)->click();
  });
  poll.start();
  const int pressed = ui::Application->MessageBox(mainform::kPortUnavailable, mainform::kBoxCaption,
                                                  ui::mbIconError | ui::mbOK);
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(pressed, 1);
  EXPECT_EQ(seen.text, QString::fromUtf8("Указанный COM-порт недоступен"));
  EXPECT_EQ(seen.title, QString::fromUtf8("Информация"));
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  EXPECT_EQ(seen.modality, Qt::ApplicationModal);
}

TEST(Application, EmptyTitleLeavesTheCaptionWithoutAProgramName) {
  EXPECT_EQ(ui::Application->Title(), "");
  EXPECT_TRUE(QGuiApplication::applicationDisplayName().isEmpty());
}

TEST(Application, ProcessMessagesRunsEverythingPendingIncludingWhatItPostsItself) {
  std::vector<int> ran;
  QObject context;
  QMetaObject::invokeMethod(
      &context,
      [&] {
        ran.push_back(1);
        QMetaObject::invokeMethod(&context, [&] { ran.push_back(2); }, Qt::QueuedConnection);
      },
      Qt::QueuedConnection);
  ui::Application->ProcessMessages();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

}  // namespace
