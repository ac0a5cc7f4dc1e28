// ui/Forms.h — the small form toolkit TMainForm is written against; one backend (Qt or Win32) implements it.
#pragma once

// Portable declarations only. Each backend (ui/qt, ui/win32) defines every member function below
// and its own TControl::Impl. Geometry is given in pixels at 96 dpi; the backend scales it to the
// screen's dpi. Texts are UTF-8. A control is created with its parent and owned by it: the parent
// deletes its children when it is destroyed, and the application object deletes its forms.

#include <functional>
#include <memory>
#include <string>

namespace ui {

class TWinControl;
class TForm;

struct TRect96 {
  int Left = 0, Top = 0, Width = 0, Height = 0;
};

class TControl {
 public:
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;
  virtual ~TControl();

  // Position within the parent and size, at 96 dpi.
  void SetBounds(int left, int top, int width, int height);
  TRect96 GetBounds() const;
  void SetEnabled(bool enabled);
  bool Enabled() const;
  void SetTabOrder(int order);
  int TabOrder() const;
  void SetFocus();
  bool Focused() const;
  // The backend's object for tests and backend code: QWidget* (Qt) or HWND (Win32).
  void* NativeHandle() const;

  struct Impl;
  Impl* GetImpl() const { return impl_.get(); }

 protected:
  explicit TControl(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class TWinControl : public TControl {
 protected:
  using TControl::TControl;
};

// A raised panel with a one-pixel bevel and no text.
class TPanel : public TWinControl {
 public:
  explicit TPanel(TWinControl* parent);
};

class TLabel : public TControl {
 public:
  TLabel(TWinControl* parent, const std::string& caption);
  std::string Caption() const;
};

class TButton : public TWinControl {
 public:
  TButton(TWinControl* parent, const std::string& caption);
  std::string Caption() const;
  std::function<void(TControl* sender)> OnClick;
  // What a user's click does: the focus moves to the button first, then OnClick runs.
  void Click();
};

// Numeric spin box with the text rules of ui/SpinRules.h.
class TSpinEdit : public TWinControl {
 public:
  explicit TSpinEdit(TWinControl* parent);
  void SetRange(int minValue, int maxValue);
  int MinValue() const;
  int MaxValue() const;
  void SetMaxLength(int chars);
  int MaxLength() const;
  int Value() const;  // the text read as a number; the minimum when it isn't one
  void SetValue(int value);
  std::string Text() const;
  void SetText(const std::string& text);
};

// The lines of a multi-line edit, as a user sees them (typed text counts).
class TMemoLines {
 public:
  explicit TMemoLines(TControl::Impl* memo) : memo_(memo) {}
  void Add(const std::string& line);
  int Count() const;
  std::string Text() const;

 private:
  TControl::Impl* memo_;
};

// Editable multi-line edit: Enter starts a new line, no scroll bars, long lines wrap.
class TMemo : public TWinControl {
 public:
  explicit TMemo(TWinControl* parent);
  void Clear();
  TMemoLines Lines() const { return TMemoLines(impl_.get()); }
};

// A status bar along the form's bottom edge with one text panel spanning it and no size grip.
class TStatusBar : public TWinControl {
 public:
  explicit TStatusBar(TWinControl* parent);
  void SetPanelText(int panel, const std::string& text);
  std::string PanelText(int panel) const;
};

// A top-level form: single fixed border, system menu and close button only, centred when shown,
// button-face colour, Tahoma 8 pt Cyrillic (the system's sans font where Tahoma is missing).
class TForm : public TWinControl {
 public:
  TForm();
  ~TForm() override;
  void SetCaption(const std::string& caption);
  std::string Caption() const;
  void SetClientSize(int width, int height);  // at 96 dpi
  void Show();
  void Close();  // as the close button does
  bool Visible() const;
};

// Message box flags, Win32 values.
constexpr unsigned mbOK = 0x00000000u;
constexpr unsigned mbIconError = 0x00000010u;

class TApplication {
 public:
  TApplication();
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  void Initialize();
  void SetTitle(const std::string& title);
  std::string Title() const;

  // The first form created becomes the main form; the application owns it.
  template <class F>
  void CreateForm(F*& reference) {
    auto form = std::make_unique<F>();
    reference = form.get();
    AdoptForm(std::move(form));
  }
  TForm* MainForm() const;

  // Shows the main form and processes events until the application is told to end.
  void Run();
  // Processes every pending event and returns when none is left.
  void ProcessMessages();
  void Terminate();
  bool Terminated() const;

  // Modal message box with one OK button; returns the button pressed (1 = OK).
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags);

  // Tests replace the modal box with a capture; nullptr restores the real one.
  using MessageBoxHook = std::function<int(const std::string& text, const std::string& caption, unsigned flags)>;
  void SetMessageBoxHook(MessageBoxHook hook);

  struct Impl;
  Impl* GetImpl() const { return impl_.get(); }

 private:
  void AdoptForm(std::unique_ptr<TForm> form);
  std::unique_ptr<Impl> impl_;
};

// The one application object, created by the entry point.
extern TApplication* Application;

}  // namespace ui
