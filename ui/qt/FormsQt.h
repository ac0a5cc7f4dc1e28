// ui/qt/FormsQt.h — the Qt widget classes behind the form toolkit, shared by the Qt backend and its tests.
#pragma once

#include <QAbstractSpinBox>
#include <QRect>
#include <QString>

class QFocusEvent;
class QInputMethodEvent;
class QKeyEvent;
class QLineEdit;
class QWheelEvent;

namespace ui::qt {

// The numeric spin box. QSpinBox would own the text and rewrite it (it refuses a lone sign, "00"
// and so on), so this keeps the text exactly as typed and applies the rules of ui/SpinRules.h:
// the key filter, the two-character limit, the arrow steps and the clamp on focus loss.
class SpinBox : public QAbstractSpinBox {
 public:
  explicit SpinBox(QWidget* parent);

  void SetRange(int minValue, int maxValue);
  int Minimum() const { return min_; }
  int Maximum() const { return max_; }
  void SetMaxLength(int chars);
  int MaxLength() const { return maxLength_; }
  int Value() const;
  void SetValue(int value);
  QString Text() const;
  void SetText(const QString& text);

  // What the box does when the focus leaves it: an out-of-range value becomes the nearer bound.
  // Idempotent, so a button click may run it ahead of the focus-out event.
  void CommitFocusLoss();

  QLineEdit* Edit() const { return lineEdit(); }
  // Where the up or down arrow button is, in the box's coordinates (tests click there).
  QRect ArrowRect(bool up) const;

  void stepBy(int steps) override;
  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;

 protected:
  StepEnabled stepEnabled() const override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  int min_ = 0;
  int max_ = 0;
  int maxLength_ = 0;
};

// The decimal separator the key filter takes: the user's locale's.
char32_t DecimalSeparator();

// How many times a refused key (or anything else) beeped since the program started.
int BeepCount();
void Beep();

// The scale from 96-dpi layout pixels to the screen's logical pixels.
double DpiScale();
int Scaled(int pixels96);

}  // namespace ui::qt
