// ui/qt/FormsQt.cpp — the form toolkit on Qt 6 Widgets: application object, form, panel, label, button, spin box, memo, status bar.
#include "ui/qt/FormsQt.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QFont>
#include <QFrame>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QWheelEvent>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <vector>

#include "ui/Forms.h"
#include "ui/SpinRules.h"

namespace ui {

TApplication* Application = nullptr;

struct TControl::Impl {
  QPointer<QWidget> widget;  // guarded: Qt may have deleted it with a parent widget already
  TControl* owner = nullptr;
  TControl* parent = nullptr;
  std::vector<TControl*> children;  // owned: deleted with this control
  TRect96 bounds;                   // as set, at 96 dpi (a form: its client size)
  int tabOrder = -1;
  int creationIndex = 0;
  bool alongBottom = false;         // the status bar: full width along the parent's bottom edge
  bool fitText = false;             // a label: never narrower than its text
  TForm* form = nullptr;            // set for forms
  QLabel* panelLabel = nullptr;     // the status bar's panel 0
};

struct TApplication::Impl {
  // QApplication keeps references to argc and argv for its whole life.
  int argc = 1;
  char arg0[16] = "busfinder";
  char* argv[2] = {arg0, nullptr};
  std::unique_ptr<QApplication> app;
  std::vector<std::unique_ptr<TForm>> forms;
  std::string title;
  bool terminated = false;
  bool running = false;  // inside Run
  int handlerDepth = 0;  // inside a control's event handler (a search runs inside one)
  int processDepth = 0;  // inside ProcessMessages
  MessageBoxHook hook;

  bool Busy() const { return handlerDepth > 0 || processDepth > 0; }
  // Told to end while Run's loop is dispatching and no handler is running: from now on no event
  // reaches any object, so nothing queued behind the handler that ended the program is processed.
  bool Ended() const { return running && terminated && !Busy(); }
};

namespace {

TApplication::Impl* g_app = nullptr;  // the live application object's state
int g_beeps = 0;
constexpr int kStatusBarHeight96 = 19;
// A safety net for ProcessMessages: a zero-interval timer would otherwise keep it busy forever.
constexpr int kMaxProcessPasses = 10000;

// QApplication that drops every event once the application has ended (see Impl::Ended).
class BusApplication : public QApplication {
 public:
  BusApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override {
    if (g_app && g_app->Ended()) return true;
    return QApplication::notify(receiver, event);
  }
};

struct HandlerScope {
  HandlerScope() {
    if (g_app) ++g_app->handlerDepth;
  }
  ~HandlerScope() {
    if (g_app) --g_app->handlerDepth;
  }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
};

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

QWidget* WidgetOf(const TControl* control) {
  return control ? static_cast<QWidget*>(control->NativeHandle()) : nullptr;
}

qt::SpinBox* SpinOf(TControl::Impl* impl) { return static_cast<qt::SpinBox*>(impl->widget.data()); }
QPlainTextEdit* MemoOf(TControl::Impl* impl) { return static_cast<QPlainTextEdit*>(impl->widget.data()); }

std::unique_ptr<TControl::Impl> MakeImpl(TWinControl* parent, QWidget* widget) {
  auto impl = std::make_unique<TControl::Impl>();
  impl->widget = widget;
  impl->parent = parent;
  if (parent) {
    impl->creationIndex = static_cast<int>(parent->GetImpl()->children.size());
    widget->show();  // a child created under a form that is already on screen appears at once
  }
  return impl;
}

bool TakesTabFocus(const QWidget* w) { return w && (w->focusPolicy() & Qt::TabFocus) != 0; }

std::vector<TControl*> ChildrenInTabOrder(const TControl::Impl* impl) {
  std::vector<TControl*> kids = impl->children;
  std::stable_sort(kids.begin(), kids.end(), [](TControl* a, TControl* b) {
    const auto* x = a->GetImpl();
    const auto* y = b->GetImpl();
    if (x->tabOrder != y->tabOrder) return x->tabOrder < y->tabOrder;
    return x->creationIndex < y->creationIndex;
  });
  return kids;
}

// Chains the focusable children of one parent in the order of their TabOrder values.
void ChainTabOrder(const TControl::Impl* parentImpl) {
  QWidget* previous = nullptr;
  for (TControl* child : ChildrenInTabOrder(parentImpl)) {
    QWidget* w = WidgetOf(child);
    if (!TakesTabFocus(w)) continue;
    if (previous) QWidget::setTabOrder(previous, w);
    previous = w;
  }
}

// The control a form's focus starts in: the first enabled one in tab order, depth first.
QWidget* FirstTabStop(const TControl::Impl* impl) {
  for (TControl* child : ChildrenInTabOrder(impl)) {
    QWidget* w = WidgetOf(child);
    if (!w || !w->isEnabled()) continue;
    if (TakesTabFocus(w)) return w;
    if (QWidget* inner = FirstTabStop(child->GetImpl())) return inner;
  }
  return nullptr;
}

// A label grows to show its whole text: its 96-dpi size is measured in Tahoma, and the sans font
// that stands in for Tahoma may be wider (a label sizes itself to its text anyway).
void FitLabel(TControl::Impl* impl) {
  QWidget* label = impl->widget.data();
  if (!impl->fitText || !label) return;
  const QSize hint = label->sizeHint();
  label->resize(std::max(label->width(), hint.width()), std::max(label->height(), hint.height()));
}

void PlaceAlongBottom(TControl* control, const TRect96& parentClient) {
  control->SetBounds(0, parentClient.Height - kStatusBarHeight96, parentClient.Width, kStatusBarHeight96);
}

// The main form's close: during a search (inside a handler or a ProcessMessages call) the window
// stays and the program ends once the search has returned; otherwise it ends now.
void HandleClose(TForm* form, QCloseEvent* event) {
  if (!g_app || !form || g_app->forms.empty() || g_app->forms.front().get() != form) {
    event->accept();
    return;
  }
  g_app->terminated = true;
  if (g_app->Busy()) {
    event->ignore();
  } else {
    event->accept();
  }
  if (auto* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
}

class FormWidget : public QWidget {
 public:
  FormWidget()
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                             Qt::WindowCloseButtonHint) {}
  TForm* form = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override { HandleClose(form, event); }
};

QMessageBox::Icon IconOf(unsigned flags) {
  switch (flags & 0xF0u) {
    case 0x10u: return QMessageBox::Critical;
    case 0x20u: return QMessageBox::Question;
    case 0x30u: return QMessageBox::Warning;
    case 0x40u: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// The character a key press types, as the Windows key filter sees it: Enter is a carriage return,
// Ctrl+letter a control character; keys that type nothing (arrows, Delete, F-keys) give 0.
char32_t CharOfKey(const QKeyEvent& event) {
  const int key = event.key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter) return U'\r';
  if (key == Qt::Key_Delete) return 0;
  const auto mods = event.modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
  if (mods & Qt::ControlModifier) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<char32_t>(key - Qt::Key_A + 1);
    return 0;
  }
  const QList<uint> chars = event.text().toUcs4();
  if (chars.isEmpty() || chars.front() == 0x7F) return 0;  // X11 gives Delete the text DEL
  return static_cast<char32_t>(chars.front());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
namespace qt {

char32_t DecimalSeparator() {
  const QList<uint> chars = QLocale().decimalPoint().toUcs4();
  return chars.isEmpty() ? U'.' : static_cast<char32_t>(chars.front());
}

int BeepCount() { return g_beeps; }

void Beep() {
  ++g_beeps;
  QApplication::beep();
}

double DpiScale() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double dpi = screen ? screen->logicalDotsPerInch() : 96.0;
  return dpi > 0 ? dpi / 96.0 : 1.0;
}

int Scaled(int pixels96) { return static_cast<int>(std::lround(pixels96 * DpiScale())); }

SpinBox::SpinBox(QWidget* parent) : QAbstractSpinBox(parent) {
  setButtonSymbols(QAbstractSpinBox::UpDownArrows);
  setAccelerated(false);
}

void SpinBox::SetRange(int minValue, int maxValue) {
  min_ = minValue;
  max_ = maxValue;
}

void SpinBox::SetMaxLength(int chars) {
  maxLength_ = chars;
  lineEdit()->setMaxLength(chars > 0 ? chars : 32767);
}

int SpinBox::Value() const { return spin::ValueOfText(S(Text()), min_); }

void SpinBox::SetValue(int value) { SetText(QString::number(spin::Clamp(value, min_, max_))); }

QString SpinBox::Text() const { return lineEdit()->text(); }

void SpinBox::SetText(const QString& text) { lineEdit()->setText(text); }

void SpinBox::CommitFocusLoss() {
  const std::string text = S(Text());
  const std::string after = spin::TextAfterFocusLoss(text, min_, max_);
  if (after != text) SetText(Q(after));
}

QRect SpinBox::ArrowRect(bool up) const {
  QStyleOptionSpinBox option;
  initStyleOption(&option);
  return style()->subControlRect(QStyle::CC_SpinBox, &option, up ? QStyle::SC_SpinBoxUp : QStyle::SC_SpinBoxDown,
                                 this);
}

void SpinBox::stepBy(int steps) {
  if (isReadOnly() || steps == 0) return;
  // Always one step, whatever modifier Qt would multiply it by.
  SetText(QString::number(spin::Step(S(Text()), steps > 0 ? 1 : -1, min_, max_)));
  selectAll();
}

// The text is never judged while it is edited: the key filter and the length limit are the only
// gates, so pasted text of any kind gets in (cut to the limit) and has the minimum as its value.
QValidator::State SpinBox::validate(QString& /*input*/, int& /*pos*/) const { return QValidator::Acceptable; }

void SpinBox::fixup(QString& /*input*/) const {}

QAbstractSpinBox::StepEnabled SpinBox::stepEnabled() const {
  if (isReadOnly()) return StepNone;
  return StepUpEnabled | StepDownEnabled;  // the arrows stay live at the bounds; a step there changes nothing
}

void SpinBox::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Up || key == Qt::Key_Down) {
    stepBy(key == Qt::Key_Up ? 1 : -1);
    event->accept();
    return;
  }
  if (key == Qt::Key_PageUp || key == Qt::Key_PageDown) {  // no step of 10: only the arrows step
    event->ignore();
    return;
  }
  const auto mods = event->modifiers();
  if ((mods & Qt::AltModifier) && !(mods & Qt::ControlModifier)) {  // a shortcut, never typed text
    event->ignore();
    return;
  }
  const char32_t ch = CharOfKey(*event);
  if (ch != 0 && !spin::KeyAccepted(ch, DecimalSeparator())) {
    Beep();
    event->accept();
    return;
  }
  QAbstractSpinBox::keyPressEvent(event);
}

void SpinBox::inputMethodEvent(QInputMethodEvent* event) {
  // Text committed by an input method is typed text: the same filter applies to each character.
  const char32_t separator = DecimalSeparator();
  QString kept;
  bool refused = false;
  for (const uint c : event->commitString().toUcs4()) {
    if (spin::KeyAccepted(static_cast<char32_t>(c), separator)) {
      const char32_t one = static_cast<char32_t>(c);
      kept += QString::fromUcs4(&one, 1);
    } else {
      refused = true;
    }
  }
  if (!refused) {
    QAbstractSpinBox::inputMethodEvent(event);
    return;
  }
  Beep();
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
  QAbstractSpinBox::inputMethodEvent(&filtered);
  event->accept();
}

void SpinBox::focusInEvent(QFocusEvent* event) {
  QAbstractSpinBox::focusInEvent(event);
  // Entered from the keyboard or by the program: the whole text is selected, ready to be typed over.
  if (event->reason() != Qt::MouseFocusReason && event->reason() != Qt::PopupFocusReason) selectAll();
}

void SpinBox::focusOutEvent(QFocusEvent* event) {
  // Another window or a popup taking the focus is not leaving the box.
  if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason) CommitFocusLoss();
  QAbstractSpinBox::focusOutEvent(event);
}

void SpinBox::wheelEvent(QWheelEvent* event) { event->ignore(); }

}  // namespace qt

// ---------------------------------------------------------------------------------------------
TControl::TControl(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  impl_->owner = this;
  if (impl_->parent) impl_->parent->impl_->children.push_back(this);
}

TControl::~TControl() {
  std::vector<TControl*> kids = std::move(impl_->children);
  impl_->children.clear();
  for (auto it = kids.rbegin(); it != kids.rend(); ++it) delete *it;
  if (impl_->parent) {
    auto& siblings = impl_->parent->impl_->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
  delete impl_->widget.data();
}

void TControl::SetBounds(int left, int top, int width, int height) {
  if (impl_->form) {
    impl_->form->SetClientSize(width, height);
    if (impl_->widget) impl_->widget->move(qt::Scaled(left), qt::Scaled(top));
    return;
  }
  impl_->bounds = TRect96{left, top, width, height};
  if (impl_->widget) impl_->widget->setGeometry(qt::Scaled(left), qt::Scaled(top), qt::Scaled(width), qt::Scaled(height));
  FitLabel(impl_.get());
}

TRect96 TControl::GetBounds() const {
  TRect96 r = impl_->bounds;
  if (impl_->form && impl_->widget) {
    const double scale = qt::DpiScale();
    r.Left = static_cast<int>(std::lround(impl_->widget->x() / scale));
    r.Top = static_cast<int>(std::lround(impl_->widget->y() / scale));
  }
  return r;
}

void TControl::SetEnabled(bool enabled) {
  if (impl_->widget) impl_->widget->setEnabled(enabled);
}

bool TControl::Enabled() const {
  return impl_->widget && !impl_->widget->testAttribute(Qt::WA_ForceDisabled);
}

void TControl::SetTabOrder(int order) {
  impl_->tabOrder = order;
  if (impl_->parent) ChainTabOrder(impl_->parent->impl_.get());
}

int TControl::TabOrder() const { return impl_->tabOrder; }

void TControl::SetFocus() {
  if (impl_->widget) impl_->widget->setFocus(Qt::OtherFocusReason);
}

bool TControl::Focused() const { return impl_->widget && impl_->widget->hasFocus(); }

void* TControl::NativeHandle() const { return impl_->widget.data(); }

// ---------------------------------------------------------------------------------------------
TPanel::TPanel(TWinControl* parent) : TWinControl(MakeImpl(parent, new QFrame(WidgetOf(parent)))) {
  auto* frame = static_cast<QFrame*>(impl_->widget.data());
  frame->setFrameShape(QFrame::Panel);
  frame->setFrameShadow(QFrame::Raised);
  frame->setLineWidth(1);
}

TLabel::TLabel(TWinControl* parent, const std::string& caption)
    : TControl(MakeImpl(parent, new QLabel(WidgetOf(parent)))) {
  auto* label = static_cast<QLabel*>(impl_->widget.data());
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setText(Q(caption));
  impl_->fitText = true;
  FitLabel(impl_.get());
}

std::string TLabel::Caption() const { return S(static_cast<QLabel*>(impl_->widget.data())->text()); }

TButton::TButton(TWinControl* parent, const std::string& caption)
    : TWinControl(MakeImpl(parent, new QPushButton(WidgetOf(parent)))) {
  auto* button = static_cast<QPushButton*>(impl_->widget.data());
  button->setText(Q(caption));
  button->setAutoDefault(true);  // Enter on the focused button presses it, as Space does
  impl_->tabOrder = impl_->creationIndex;
  QObject::connect(button, &QAbstractButton::clicked, button, [this] { Click(); });
}

std::string TButton::Caption() const { return S(static_cast<QPushButton*>(impl_->widget.data())->text()); }

void TButton::Click() {
  QWidget* button = impl_->widget.data();
  if (!button || !button->isEnabled()) return;
  // The focus moves first, so the control that had it finishes its edit (the spin box clamps its
  // value) before the handler reads it. When the window isn't active Qt only records the new focus
  // child and sends no focus-out, hence the direct commit.
  QWidget* before = button->window()->focusWidget();
  button->setFocus(Qt::MouseFocusReason);
  if (auto* spinBox = dynamic_cast<qt::SpinBox*>(before); spinBox && before != button) spinBox->CommitFocusLoss();
  const auto handler = OnClick;
  if (!handler) return;
  HandlerScope scope;
  handler(this);
}

// ---------------------------------------------------------------------------------------------
TSpinEdit::TSpinEdit(TWinControl* parent) : TWinControl(MakeImpl(parent, new qt::SpinBox(WidgetOf(parent)))) {
  impl_->tabOrder = impl_->creationIndex;
}

void TSpinEdit::SetRange(int minValue, int maxValue) { SpinOf(impl_.get())->SetRange(minValue, maxValue); }
int TSpinEdit::MinValue() const { return SpinOf(impl_.get())->Minimum(); }
int TSpinEdit::MaxValue() const { return SpinOf(impl_.get())->Maximum(); }
void TSpinEdit::SetMaxLength(int chars) { SpinOf(impl_.get())->SetMaxLength(chars); }
int TSpinEdit::MaxLength() const { return SpinOf(impl_.get())->MaxLength(); }
int TSpinEdit::Value() const { return SpinOf(impl_.get())->Value(); }
void TSpinEdit::SetValue(int value) { SpinOf(impl_.get())->SetValue(value); }
std::string TSpinEdit::Text() const { return S(SpinOf(impl_.get())->Text()); }
void TSpinEdit::SetText(const std::string& text) { SpinOf(impl_.get())->SetText(Q(text)); }

// ---------------------------------------------------------------------------------------------
TMemo::TMemo(TWinControl* parent) : TWinControl(MakeImpl(parent, new QPlainTextEdit(WidgetOf(parent)))) {
  auto* memo = MemoOf(impl_.get());
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);  // long words break too
  memo->setTabChangesFocus(true);  // Tab moves on to the next control; Enter starts a new line
  impl_->tabOrder = impl_->creationIndex;
}

void TMemo::Clear() { MemoOf(impl_.get())->clear(); }

void TMemoLines::Add(const std::string& line) {
  QPlainTextEdit* memo = MemoOf(memo_);
  QTextDocument* doc = memo->document();
  QString text = Q(line);
  // A new line goes after the last one; text ending in a line break already has its empty line.
  if (!doc->isEmpty() && !doc->lastBlock().text().isEmpty()) text.prepend(QLatin1Char('\n'));
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
  // As in the classic edit box, the caret follows the added line and it is scrolled into view.
  memo->setTextCursor(cursor);
  memo->ensureCursorVisible();
}

// Lines as a user sees them: every paragraph of the text, typed ones included, but not the empty
// one after a final line break (so "abc" and "abc\n" are one line and an empty box none).
int TMemoLines::Count() const {
  const QTextDocument* doc = MemoOf(memo_)->document();
  if (doc->isEmpty()) return 0;
  int count = doc->blockCount();
  if (doc->lastBlock().text().isEmpty()) --count;
  return count;
}

std::string TMemoLines::Text() const {
  const QTextDocument* doc = MemoOf(memo_)->document();
  QString text;
  QTextBlock block = doc->firstBlock();
  for (int i = Count(); i > 0 && block.isValid(); --i, block = block.next()) text += block.text() + QLatin1Char('\n');
  return S(text);
}

// ---------------------------------------------------------------------------------------------
TStatusBar::TStatusBar(TWinControl* parent) : TWinControl(MakeImpl(parent, new QStatusBar(WidgetOf(parent)))) {
  auto* bar = static_cast<QStatusBar*>(impl_->widget.data());
  bar->setSizeGripEnabled(false);
  // The system's status-bar font, not the form's: every property is marked as set so that none of
  // them is inherited from the form.
  QFont font = QApplication::font("QStatusBar");
  font.setResolveMask(QFont::AllPropertiesResolved);
  bar->setFont(font);
  impl_->panelLabel = new QLabel(bar);
  impl_->panelLabel->setTextFormat(Qt::PlainText);
  bar->addWidget(impl_->panelLabel, 1);  // panel 0 spans the whole bar
  impl_->alongBottom = true;
  if (parent) PlaceAlongBottom(this, parent->GetImpl()->bounds);
}

void TStatusBar::SetPanelText(int panel, const std::string& text) {
  if (panel == 0) impl_->panelLabel->setText(Q(text));
}

std::string TStatusBar::PanelText(int panel) const { return panel == 0 ? S(impl_->panelLabel->text()) : std::string(); }

// ---------------------------------------------------------------------------------------------
TForm::TForm() : TWinControl(MakeImpl(nullptr, new FormWidget)) {
  auto* widget = static_cast<FormWidget*>(impl_->widget.data());
  widget->form = this;
  impl_->form = this;
  widget->setAttribute(Qt::WA_QuitOnClose, false);  // the application decides when it ends
  // Tahoma 8 pt; fontconfig substitutes the system's sans font (with Cyrillic) where it is missing.
  QFont font(QStringLiteral("Tahoma"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  widget->setFont(font);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, palette.color(QPalette::Button));
  widget->setPalette(palette);
  widget->setAutoFillBackground(true);
}

TForm::~TForm() {
  if (auto* widget = static_cast<FormWidget*>(impl_->widget.data())) widget->form = nullptr;
}

void TForm::SetCaption(const std::string& caption) { impl_->widget->setWindowTitle(Q(caption)); }

std::string TForm::Caption() const { return S(impl_->widget->windowTitle()); }

void TForm::SetClientSize(int width, int height) {
  impl_->bounds.Width = width;
  impl_->bounds.Height = height;
  impl_->widget->setFixedSize(qt::Scaled(width), qt::Scaled(height));  // min = max: not resizable
  for (TControl* child : impl_->children)
    if (child->GetImpl()->alongBottom) PlaceAlongBottom(child, impl_->bounds);
}

void TForm::Show() {
  QWidget* widget = impl_->widget.data();
  if (!widget->isVisible()) {
    // Centred on the screen, frame included. The native window is made first so that platforms
    // that know the frame ahead report its margins; an X11 window manager adds its frame only
    // when the window is mapped, and then the client area is what is centred.
    widget->winId();
    const QMargins frame = widget->windowHandle() ? widget->windowHandle()->frameMargins() : QMargins();
    const QScreen* screen = widget->screen() ? widget->screen() : QGuiApplication::primaryScreen();
    if (screen) {
      const QRect area = screen->availableGeometry();
      const QSize outer = widget->size().grownBy(frame);
      // A window's position is that of its frame.
      widget->move(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
    }
    if (!widget->focusWidget())
      if (QWidget* first = FirstTabStop(impl_.get())) first->setFocus(Qt::TabFocusReason);
  }
  widget->show();
  widget->activateWindow();
}

void TForm::Close() { impl_->widget->close(); }

bool TForm::Visible() const { return impl_->widget && impl_->widget->isVisible(); }

// ---------------------------------------------------------------------------------------------
TApplication::TApplication() : impl_(std::make_unique<Impl>()) { g_app = impl_.get(); }

TApplication::~TApplication() {
  while (!impl_->forms.empty()) impl_->forms.pop_back();
  impl_->app.reset();
  if (g_app == impl_.get()) g_app = nullptr;
}

void TApplication::Initialize() {
  if (!QCoreApplication::instance()) impl_->app = std::make_unique<BusApplication>(impl_->argc, impl_->argv);
  QGuiApplication::setQuitOnLastWindowClosed(false);
}

// Qt's counterpart of the application title is the display name, which the platform shows for the
// program as a whole and the X11 window manager appends to the caption ("caption — busfinder" by
// default); an empty title leaves the caption alone.
void TApplication::SetTitle(const std::string& title) {
  impl_->title = title;
  QGuiApplication::setApplicationDisplayName(Q(title));
}

std::string TApplication::Title() const { return impl_->title; }

void TApplication::AdoptForm(std::unique_ptr<TForm> form) { impl_->forms.push_back(std::move(form)); }

TForm* TApplication::MainForm() const { return impl_->forms.empty() ? nullptr : impl_->forms.front().get(); }

void TApplication::Run() {
  if (!QCoreApplication::instance()) return;
  if (TForm* form = MainForm()) form->Show();
  impl_->running = true;
  while (!impl_->terminated) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  impl_->running = false;
  // The program ends now: whatever is still queued is dropped, never dispatched.
  QCoreApplication::removePostedEvents(nullptr);
}

void TApplication::ProcessMessages() {
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (!QCoreApplication::instance() || !dispatcher) return;
  ++impl_->processDepth;
  for (int pass = 0; pass < kMaxProcessPasses; ++pass)
    if (!dispatcher->processEvents(QEventLoop::AllEvents)) break;
  QCoreApplication::sendPostedEvents();
  --impl_->processDepth;
}

void TApplication::Terminate() {
  impl_->terminated = true;
  if (auto* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
}

bool TApplication::Terminated() const { return impl_->terminated; }

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (impl_->hook) return impl_->hook(text, caption, flags);
  if (!QCoreApplication::instance()) return 0;
  QWidget* owner = nullptr;
  if (TForm* form = MainForm(); form && form->Visible()) owner = WidgetOf(form);
  QMessageBox box(IconOf(flags), Q(caption), Q(text), QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
  return 1;  // IDOK, the one button
}

void TApplication::SetMessageBoxHook(MessageBoxHook hook) { impl_->hook = std::move(hook); }

}  // namespace ui
