// ui/win32/FormsWin32.cpp — the form toolkit on plain user32/comctl32 controls through the Unicode (W) API.
//
// Every control is a real window: the form and the panel are windows of our own classes, the rest
// are the system's STATIC, BUTTON, EDIT, UPDOWN_CLASS and STATUSCLASSNAME controls. Each window
// carries a property pointing back at its TControl::Impl, so notifications sent to a parent
// (WM_COMMAND, WM_NOTIFY) find the control they are about. Texts are UTF-8 in the code and UTF-16
// at every call into the system.
#include "ui/win32/Win32Backend.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "ui/Forms.h"
#include "ui/SpinRules.h"

namespace ui {

namespace {

enum class Kind { Form, Panel, Label, Button, SpinEdit, Memo, StatusBar };

}  // namespace

struct TControl::Impl {
  Kind kind = Kind::Form;
  TControl* owner = nullptr;
  Impl* parent = nullptr;
  HWND hwnd = nullptr;
  HWND updown = nullptr;  // the spin box's arrows
  TRect96 bounds;
  bool alignBottom = false;          // the status bar: along the parent's bottom edge, full width
  std::vector<TControl*> children;   // owned, in creation order
  std::vector<Impl*> tabList;        // windowed children in tab order

  // The spin box.
  int minValue = 0;
  int maxValue = 0;
  int maxLength = 0;

  // The form.
  unsigned dpi = 96;
  HFONT font = nullptr;        // Tahoma 8 pt, Cyrillic, for every control of the form
  HFONT statusFont = nullptr;  // the system's status-bar font, at the form's dpi
  HWND lastFocus = nullptr;    // given back when the form is activated again
  bool shownOnce = false;

  ~Impl() {
    if (font) DeleteObject(font);
    if (statusFont) DeleteObject(statusFont);
  }
};

TApplication* Application = nullptr;

struct TApplication::Impl {
  std::vector<std::unique_ptr<TForm>> forms;
  TForm* mainForm = nullptr;
  std::string title;
  bool terminated = false;
  MessageBoxHook hook;
};

namespace {

constexpr wchar_t kFormClass[] = L"BusfinderForm";
constexpr wchar_t kPanelClass[] = L"BusfinderPanel";
constexpr wchar_t kImplProp[] = L"BusfinderControl";
constexpr UINT_PTR kSubclassId = 1;

constexpr DWORD kFormStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kFormExStyle = WS_EX_CONTROLPARENT;
constexpr int kUpDownWidth96 = 17;
constexpr int kStatusHeight96 = 19;

using Impl = TControl::Impl;

// --- system services that not every Windows version has ---------------------------------------

template <class Fn>
Fn LoadUser32(const char* name) {
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return nullptr;
  // Through void(*)() so the cast between unrelated function types is a deliberate one.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

// The per-monitor dpi calls exist from Windows 10 1607 on; earlier systems (and a process that
// isn't dpi aware) are laid out at the screen's logical dpi.
struct DpiCalls {
  UINT(WINAPI* getDpiForWindow)(HWND) = LoadUser32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  BOOL(WINAPI* adjustWindowRectExForDpi)(LPRECT, DWORD, BOOL, DWORD, UINT) =
      LoadUser32<BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  BOOL(WINAPI* systemParametersInfoForDpi)(UINT, UINT, PVOID, UINT, UINT) =
      LoadUser32<BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT)>("SystemParametersInfoForDpi");
};

const DpiCalls& Dpi() {
  static const DpiCalls calls;
  return calls;
}

unsigned ScreenDpi() {
  const HDC dc = GetDC(nullptr);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  return dpi > 0 ? static_cast<unsigned>(dpi) : 96;
}

unsigned WindowDpi(HWND hwnd) {
  if (Dpi().getDpiForWindow && hwnd) {
    const UINT dpi = Dpi().getDpiForWindow(hwnd);
    if (dpi) return dpi;
  }
  return ScreenDpi();
}

void AdjustOuterRect(RECT* rect, unsigned dpi) {
  if (Dpi().adjustWindowRectExForDpi) {
    Dpi().adjustWindowRectExForDpi(rect, kFormStyle, FALSE, kFormExStyle, dpi);
  } else {
    AdjustWindowRectEx(rect, kFormStyle, FALSE, kFormExStyle);
  }
}

HFONT MakeFormFont(unsigned dpi) {
  // Tahoma 8 pt: a negative height asks for the character height, 8/72 inch at the form's dpi.
  return CreateFontW(-MulDiv(8, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                     RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

HFONT MakeStatusFont(unsigned dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (Dpi().systemParametersInfoForDpi &&
      Dpi().systemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) {
    return CreateFontIndirectW(&metrics.lfStatusFont);
  }
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return nullptr;
  // These metrics are at the screen's dpi; bring them to the form's.
  metrics.lfStatusFont.lfHeight =
      MulDiv(metrics.lfStatusFont.lfHeight, static_cast<int>(dpi), static_cast<int>(ScreenDpi()));
  return CreateFontIndirectW(&metrics.lfStatusFont);
}

// --- common helpers --------------------------------------------------------------------------

std::function<void()>& BeepHook() {
  static std::function<void()> hook;
  return hook;
}

void Beep() {
  if (BeepHook()) {
    BeepHook()();
  } else {
    MessageBeep(MB_OK);
  }
}

Impl* ImplOf(HWND hwnd) {
  return hwnd ? static_cast<Impl*>(GetPropW(hwnd, kImplProp)) : nullptr;
}

Impl* FormOf(Impl* control) {
  while (control && control->parent) control = control->parent;
  return control;
}

unsigned DpiOfImpl(Impl* control) {
  const Impl* form = FormOf(control);
  return form ? form->dpi : 96;
}

std::wstring WindowText(HWND hwnd) {
  if (!hwnd) return {};
  const int length = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(hwnd, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

void SetWindowTextUtf8(HWND hwnd, const std::string& text) {
  if (hwnd) SetWindowTextW(hwnd, win32::Widen(text).c_str());
}

wchar_t DecimalSeparator() {
  wchar_t separator[8] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) > 0 && separator[0]) return separator[0];
  return L'.';
}

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

LRESULT CALLBACK ContainerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

void EnsureToolkit() {
  static const bool ready = [] {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_UPDOWN_CLASS | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSEXW form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = ContainerProc;
    form.hInstance = Instance();
    form.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    form.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    // The program's icon is resource 1 (app/busfinder.rc); a test program has none and gets the default.
    form.hIcon = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    form.hIconSm = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    form.lpszClassName = kFormClass;
    RegisterClassExW(&form);

    WNDCLASSEXW panel{};
    panel.cbSize = sizeof panel;
    panel.style = CS_HREDRAW | CS_VREDRAW;
    panel.lpfnWndProc = ContainerProc;
    panel.hInstance = Instance();
    panel.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    panel.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    panel.lpszClassName = kPanelClass;
    RegisterClassExW(&panel);
    return true;
  }();
  (void)ready;
}

int NextControlId() {
  static int id = 100;  // clear of IDOK/IDCANCEL, which the dialog manager sends for Enter and Esc
  return id++;
}

// --- geometry ------------------------------------------------------------------------------

int Px(int length96, unsigned dpi) { return MulDiv(length96, static_cast<int>(dpi), 96); }
int Unpx(int pixels, unsigned dpi) { return MulDiv(pixels, 96, static_cast<int>(dpi)); }

void AlignBottom(Impl* control) {
  if (!control->hwnd || !control->parent || !control->parent->hwnd) return;
  const unsigned dpi = DpiOfImpl(control);
  RECT client{};
  GetClientRect(control->parent->hwnd, &client);
  const int height = Px(kStatusHeight96, dpi);
  MoveWindow(control->hwnd, 0, client.bottom - height, client.right, height, TRUE);
  control->bounds = {0, Unpx(client.bottom - height, dpi), Unpx(client.right, dpi), kStatusHeight96};
}

// The width a label's text takes in its font.
int TextWidth(HWND hwnd) {
  const std::wstring text = WindowText(hwnd);
  const HDC dc = GetDC(hwnd);
  if (!dc) return 0;
  const auto font = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
  const HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  if (old) SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  return size.cx;
}

void ApplyBounds(Impl* control) {
  if (control->kind == Kind::Form || !control->hwnd) return;
  if (control->alignBottom) {
    AlignBottom(control);
    return;
  }
  const unsigned dpi = DpiOfImpl(control);
  const TRect96& b = control->bounds;
  const int x = Px(b.Left, dpi), y = Px(b.Top, dpi), w = Px(b.Width, dpi), h = Px(b.Height, dpi);
  if (control->kind == Kind::SpinEdit && control->updown) {
    // The arrows take the right end of the box's rectangle; the edit keeps the rest.
    const int arrows = std::min(w, Px(kUpDownWidth96, dpi));
    MoveWindow(control->hwnd, x, y, w - arrows, h, TRUE);
    MoveWindow(control->updown, x + w - arrows, y, arrows, h, TRUE);
  } else if (control->kind == Kind::Label) {
    // Sized for Tahoma; where a wider font stands in for it, the label grows to its text rather
    // than cut it off (a label is never narrower than its text).
    MoveWindow(control->hwnd, x, y, std::max(w, TextWidth(control->hwnd)), h, TRUE);
  } else {
    MoveWindow(control->hwnd, x, y, w, h, TRUE);
  }
}

void RealignBottoms(Impl* container) {
  for (TControl* child : container->children) {
    if (child->GetImpl()->alignBottom) AlignBottom(child->GetImpl());
  }
}

// The dialog manager walks the tab stops in z-order, so the tab order is the z-order of siblings.
void ApplyTabOrder(Impl* container) {
  HWND after = HWND_TOP;
  for (Impl* control : container->tabList) {
    if (!control->hwnd) continue;
    SetWindowPos(control->hwnd, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
    after = control->hwnd;
    if (control->updown) {
      SetWindowPos(control->updown, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
      after = control->updown;
    }
  }
}

void SetFonts(Impl* control, Impl* form) {
  for (TControl* child : control->children) {
    Impl* c = child->GetImpl();
    const HFONT font = c->kind == Kind::StatusBar && form->statusFont ? form->statusFont : form->font;
    if (c->hwnd) SendMessageW(c->hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SetFonts(c, form);
  }
}

void Relayout(Impl* control) {
  for (TControl* child : control->children) {
    ApplyBounds(child->GetImpl());
    Relayout(child->GetImpl());
  }
}

void ApplyClientSize(Impl* form, int width96, int height96) {
  RECT rect{0, 0, Px(width96, form->dpi), Px(height96, form->dpi)};
  AdjustOuterRect(&rect, form->dpi);
  SetWindowPos(form->hwnd, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The first enabled, visible tab stop in tab order, looking into panels.
HWND FirstTabStop(Impl* container) {
  for (Impl* c : container->tabList) {
    if (!c->hwnd || !IsWindowVisible(c->hwnd) || !IsWindowEnabled(c->hwnd)) continue;
    if (GetWindowLongW(c->hwnd, GWL_STYLE) & WS_TABSTOP) return c->hwnd;
    if (HWND inner = FirstTabStop(c)) return inner;
  }
  return nullptr;
}

// --- the spin box ----------------------------------------------------------------------------

void SelectAll(HWND edit) { SendMessageW(edit, EM_SETSEL, 0, -1); }

void StepSpin(Impl* spin, int delta) {
  const std::string text = win32::Narrow(WindowText(spin->hwnd));
  const int value = ui::spin::Step(text, delta, spin->minValue, spin->maxValue);
  SetWindowTextW(spin->hwnd, std::to_wstring(value).c_str());
  SelectAll(spin->hwnd);
}

void ClampOnFocusLoss(Impl* spin) {
  const std::string text = win32::Narrow(WindowText(spin->hwnd));
  const std::string after = ui::spin::TextAfterFocusLoss(text, spin->minValue, spin->maxValue);
  if (after != text) SetWindowTextUtf8(spin->hwnd, after);
}

std::wstring ClipboardText(HWND owner) {
  std::wstring text;
  if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(owner)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

// Pasted text skips the key filter; only the box's character limit applies to it. A single-line
// box holds one line, so (as the system's edit does) only the clipboard's first line is taken.
void PasteLimited(Impl* spin) {
  std::wstring pasted = ClipboardText(spin->hwnd);
  pasted = pasted.substr(0, pasted.find_first_of(L"\r\n"));
  if (pasted.empty()) return;
  DWORD selStart = 0, selEnd = 0;
  SendMessageW(spin->hwnd, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
  std::string insert = win32::Narrow(pasted);
  if (spin->maxLength > 0) {
    const int kept = GetWindowTextLengthW(spin->hwnd) - static_cast<int>(selEnd - selStart);
    const int room = spin->maxLength - kept;
    if (room <= 0) return;
    insert = ui::spin::LimitText(insert, room);
  }
  SendMessageW(spin->hwnd, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(win32::Widen(insert).c_str()));
}

// --- window procedures ---------------------------------------------------------------------

// The subclass of every system control: the spin box's rules, the list's dialog keys, and
// forgetting the window when it goes.
LRESULT CALLBACK ControlProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR ref) {
  auto* control = reinterpret_cast<Impl*>(ref);
  switch (msg) {
    case WM_GETDLGCODE: {
      LRESULT code = DefSubclassProc(hwnd, msg, wParam, lParam);
      const auto* key = reinterpret_cast<const MSG*>(lParam);
      if (!key || key->message != WM_KEYDOWN) return code;
      if (control->kind == Kind::SpinEdit && key->wParam == VK_RETURN) {
        // Enter must reach the key filter, which refuses it with a beep, rather than be taken by
        // the dialog manager as the default button.
        code |= DLGC_WANTMESSAGE;
      } else if (control->kind == Kind::Memo && (key->wParam == VK_TAB || key->wParam == VK_ESCAPE)) {
        // A multi-line edit asks for every key; Tab must still move the focus, and Esc must not
        // reach the edit, which would send WM_CLOSE to its parent.
        code &= ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTTAB | DLGC_WANTMESSAGE);
      }
      return code;
    }
    case WM_CHAR:
      if (control->kind == Kind::SpinEdit &&
          !ui::spin::KeyAccepted(static_cast<char32_t>(wParam), static_cast<char32_t>(DecimalSeparator()))) {
        Beep();
        return 0;
      }
      break;
    case WM_PASTE:
      if (control->kind == Kind::SpinEdit) {
        PasteLimited(control);
        return 0;
      }
      break;
    case WM_KEYDOWN:
      if (control->kind == Kind::SpinEdit && (wParam == VK_UP || wParam == VK_DOWN)) {
        StepSpin(control, wParam == VK_UP ? 1 : -1);
        return 0;
      }
      break;
    case WM_KILLFOCUS:
      if (control->kind == Kind::SpinEdit) {
        const LRESULT result = DefSubclassProc(hwnd, msg, wParam, lParam);
        ClampOnFocusLoss(control);
        return result;
      }
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, ControlProc, kSubclassId);
      RemovePropW(hwnd, kImplProp);
      if (control->hwnd == hwnd) control->hwnd = nullptr;
      if (control->updown == hwnd) control->updown = nullptr;
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

void PaintPanel(HWND hwnd) {
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(hwnd, &paint);
  RECT rect;
  GetClientRect(hwnd, &rect);
  DrawEdge(dc, &rect, BDR_RAISEDINNER, BF_RECT);  // the raised one-pixel bevel
  EndPaint(hwnd, &paint);
}

void OnDpiChanged(Impl* form, unsigned dpi, const RECT* suggested) {
  form->dpi = dpi;
  const HFONT oldFont = form->font, oldStatusFont = form->statusFont;
  form->font = MakeFormFont(dpi);
  form->statusFont = MakeStatusFont(dpi);
  SetFonts(form, form);
  if (oldFont) DeleteObject(oldFont);
  if (oldStatusFont) DeleteObject(oldStatusFont);
  // The system's suggestion keeps the window's place and scales its size (client and frame).
  SetWindowPos(form->hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
               suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  Relayout(form);
}

bool IsMainForm(Impl* form) {
  return Application && Application->MainForm() && Application->MainForm()->GetImpl() == form;
}

LRESULT CALLBACK ContainerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Impl* self = ImplOf(hwnd);
  if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_COMMAND: {
      // From a button of ours, or from the dialog manager for Enter and Esc; Esc (IDCANCEL) and
      // Enter outside a button do nothing.
      Impl* child = ImplOf(reinterpret_cast<HWND>(lParam));
      if (!child && LOWORD(wParam) == IDOK && lParam == 0) {
        // Enter with no default button: the dialog manager's IDOK. A focused push button takes
        // Enter as a click, as Space already does.
        child = ImplOf(GetFocus());
        if (child && child->kind == Kind::Button) {
          static_cast<TButton*>(child->owner)->Click();
          return 0;
        }
        break;
      }
      if (child && child->kind == Kind::Button && HIWORD(wParam) == BN_CLICKED) {
        static_cast<TButton*>(child->owner)->Click();
        return 0;
      }
      break;
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      Impl* child = header ? ImplOf(header->hwndFrom) : nullptr;
      if (child && child->kind == Kind::SpinEdit && header->code == UDN_DELTAPOS) {
        const auto* change = reinterpret_cast<const NMUPDOWN*>(lParam);
        if (change->iDelta != 0) StepSpin(child, change->iDelta > 0 ? 1 : -1);
        return 1;  // the up-down's own position never moves: the edit's text is the value
      }
      break;
    }
    case WM_SIZE:
      RealignBottoms(self);
      break;
    case WM_PAINT:
      if (self->kind == Kind::Panel) {
        PaintPanel(hwnd);
        return 0;
      }
      break;
    case WM_CLOSE:
      // Closing the main form ends the application; the window itself stays until the
      // application object goes, so a close during a search leaves it on screen and responding.
      if (self->kind == Kind::Form) {
        if (IsMainForm(self)) {
          Application->Terminate();
        } else {
          ShowWindow(hwnd, SW_HIDE);
        }
      }
      return 0;  // a panel never closes (a multi-line edit may send it WM_CLOSE on Esc)
    case WM_ACTIVATE:
      if (self->kind == Kind::Form && LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(hwnd, focus)) self->lastFocus = focus;
      }
      break;
    case WM_SETFOCUS:
      if (self->kind == Kind::Form && self->lastFocus && IsWindow(self->lastFocus) && IsChild(hwnd, self->lastFocus)) {
        SetFocus(self->lastFocus);
        return 0;
      }
      break;
    case WM_DPICHANGED:
      if (self->kind == Kind::Form) {
        OnDpiChanged(self, HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
      }
      break;
    case WM_NCDESTROY:
      RemovePropW(hwnd, kImplProp);
      self->hwnd = nullptr;
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// --- creation ------------------------------------------------------------------------------

std::unique_ptr<Impl> NewImpl(Kind kind, TWinControl* parent) {
  EnsureToolkit();
  auto impl = std::make_unique<Impl>();
  impl->kind = kind;
  impl->parent = parent ? parent->GetImpl() : nullptr;
  return impl;
}

HWND CreateChild(Impl* control, DWORD exStyle, const wchar_t* className, const std::string& text, DWORD style) {
  const HWND parent = control->parent ? control->parent->hwnd : nullptr;
  return CreateWindowExW(exStyle, className, win32::Widen(text).c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                         parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(NextControlId())), Instance(), nullptr);
}

// Binds a new child window to its control: back-pointer, subclass, font, place in the parent's
// child and tab lists.
void Attach(TControl* owner, HWND hwnd, bool subclass) {
  Impl* control = owner->GetImpl();
  control->owner = owner;
  control->hwnd = hwnd;
  if (hwnd) {
    SetPropW(hwnd, kImplProp, control);
    if (subclass) SetWindowSubclass(hwnd, ControlProc, kSubclassId, reinterpret_cast<DWORD_PTR>(control));
  }
  Impl* parent = control->parent;
  if (!parent) return;
  parent->children.push_back(owner);
  if (control->kind != Kind::Label) parent->tabList.push_back(control);
  Impl* form = FormOf(control);
  if (hwnd && form) {
    const HFONT font = control->kind == Kind::StatusBar && form->statusFont ? form->statusFont : form->font;
    SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  ApplyTabOrder(parent);
}

}  // namespace

// --- text conversion and test services ---------------------------------------------------------

namespace win32 {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(std::max(length, 0)), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), length);
  return text;
}

std::string Narrow(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), text.data(), length, nullptr,
                        nullptr);
  }
  return text;
}

void SetBeepHook(std::function<void()> hook) { BeepHook() = std::move(hook); }

HWND UpDownOf(const TSpinEdit& spin) { return spin.GetImpl()->updown; }

unsigned DpiOf(const TControl& control) { return DpiOfImpl(control.GetImpl()); }

int Scale(int length96, unsigned dpi) { return Px(length96, dpi); }

}  // namespace win32

// --- TControl --------------------------------------------------------------------------------

TControl::TControl(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TControl::~TControl() {
  if (!impl_) return;
  // Children first (newest first), so no window outlives the font or the parent it relies on.
  std::vector<TControl*> children = std::move(impl_->children);
  for (auto it = children.rbegin(); it != children.rend(); ++it) delete *it;
  if (Impl* parent = impl_->parent) {
    auto& siblings = parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    auto& tabs = parent->tabList;
    tabs.erase(std::remove(tabs.begin(), tabs.end(), impl_.get()), tabs.end());
  }
  if (impl_->updown) DestroyWindow(impl_->updown);
  if (impl_->hwnd) DestroyWindow(impl_->hwnd);
}

void TControl::SetBounds(int left, int top, int width, int height) {
  impl_->bounds = {left, top, width, height};
  if (impl_->kind == Kind::Form) {
    const unsigned dpi = impl_->dpi;
    if (impl_->hwnd) {
      MoveWindow(impl_->hwnd, Px(left, dpi), Px(top, dpi), Px(width, dpi), Px(height, dpi), TRUE);
    }
    return;
  }
  impl_->alignBottom = false;
  ApplyBounds(impl_.get());
}

TRect96 TControl::GetBounds() const {
  if (impl_->kind != Kind::Form || !impl_->hwnd) return impl_->bounds;
  RECT rect{};
  GetWindowRect(impl_->hwnd, &rect);
  const unsigned dpi = impl_->dpi;
  return {Unpx(rect.left, dpi), Unpx(rect.top, dpi), Unpx(rect.right - rect.left, dpi),
          Unpx(rect.bottom - rect.top, dpi)};
}

void TControl::SetEnabled(bool enabled) {
  if (impl_->hwnd) EnableWindow(impl_->hwnd, enabled ? TRUE : FALSE);
  if (impl_->updown) EnableWindow(impl_->updown, enabled ? TRUE : FALSE);
}

bool TControl::Enabled() const { return impl_->hwnd && IsWindowEnabled(impl_->hwnd); }

void TControl::SetTabOrder(int order) {
  Impl* parent = impl_->parent;
  if (!parent || impl_->kind == Kind::Label) return;
  auto& tabs = parent->tabList;
  tabs.erase(std::remove(tabs.begin(), tabs.end(), impl_.get()), tabs.end());
  const auto position = static_cast<std::size_t>(std::clamp(order, 0, static_cast<int>(tabs.size())));
  tabs.insert(tabs.begin() + static_cast<std::ptrdiff_t>(position), impl_.get());
  ApplyTabOrder(parent);
}

int TControl::TabOrder() const {
  const Impl* parent = impl_->parent;
  if (!parent) return -1;
  const auto& tabs = parent->tabList;
  const auto it = std::find(tabs.begin(), tabs.end(), impl_.get());
  return it == tabs.end() ? -1 : static_cast<int>(it - tabs.begin());
}

void TControl::SetFocus() {
  if (impl_->hwnd) ::SetFocus(impl_->hwnd);
}

bool TControl::Focused() const { return impl_->hwnd && GetFocus() == impl_->hwnd; }

void* TControl::NativeHandle() const { return impl_->hwnd; }

// --- the controls ----------------------------------------------------------------------------

TPanel::TPanel(TWinControl* parent) : TWinControl(NewImpl(Kind::Panel, parent)) {
  const HWND hwnd = CreateChild(impl_.get(), WS_EX_CONTROLPARENT, kPanelClass, "", WS_CLIPCHILDREN);
  Attach(this, hwnd, false);
}

TLabel::TLabel(TWinControl* parent, const std::string& caption) : TControl(NewImpl(Kind::Label, parent)) {
  // One line, never wrapped at a word: a wrapped caption would lose its second line to the height.
  Attach(this, CreateChild(impl_.get(), 0, L"STATIC", caption, SS_LEFTNOWORDWRAP), true);
}

std::string TLabel::Caption() const { return win32::Narrow(WindowText(impl_->hwnd)); }

TButton::TButton(TWinControl* parent, const std::string& caption) : TWinControl(NewImpl(Kind::Button, parent)) {
  Attach(this, CreateChild(impl_.get(), 0, L"BUTTON", caption, WS_TABSTOP | BS_PUSHBUTTON), true);
}

std::string TButton::Caption() const { return win32::Narrow(WindowText(impl_->hwnd)); }

void TButton::Click() {
  // A disabled button can't be clicked; a click takes the focus first, so a spin box being left
  // applies its bounds before the handler reads it.
  if (!impl_->hwnd || !IsWindowEnabled(impl_->hwnd)) return;
  ::SetFocus(impl_->hwnd);
  if (OnClick) OnClick(this);
}

TSpinEdit::TSpinEdit(TWinControl* parent) : TWinControl(NewImpl(Kind::SpinEdit, parent)) {
  // No ES_NUMBER: the key filter is ours (signs and the decimal separator are taken too).
  const HWND edit = CreateChild(impl_.get(), WS_EX_CLIENTEDGE, L"EDIT", "", WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL);
  const HWND updown = CreateChild(impl_.get(), 0, UPDOWN_CLASSW, "", UDS_NOTHOUSANDS);
  impl_->updown = updown;
  if (updown) {
    // A wide range with the position in the middle: the arrows never stop at an end of their own,
    // and every press arrives as UDN_DELTAPOS, where the text rules decide.
    SendMessageW(updown, UDM_SETRANGE32, static_cast<WPARAM>(-30000), 30000);
    SendMessageW(updown, UDM_SETPOS32, 0, 0);
    SendMessageW(updown, UDM_SETBUDDY, reinterpret_cast<WPARAM>(edit), 0);
    SetPropW(updown, kImplProp, impl_.get());
    SetWindowSubclass(updown, ControlProc, kSubclassId, reinterpret_cast<DWORD_PTR>(impl_.get()));
  }
  Attach(this, edit, true);
}

void TSpinEdit::SetRange(int minValue, int maxValue) {
  impl_->minValue = minValue;
  impl_->maxValue = maxValue;
}

int TSpinEdit::MinValue() const { return impl_->minValue; }
int TSpinEdit::MaxValue() const { return impl_->maxValue; }

void TSpinEdit::SetMaxLength(int chars) {
  impl_->maxLength = std::max(chars, 0);
  // 0 lifts the edit's own limit as well.
  if (impl_->hwnd) SendMessageW(impl_->hwnd, EM_LIMITTEXT, static_cast<WPARAM>(impl_->maxLength), 0);
}

int TSpinEdit::MaxLength() const { return impl_->maxLength; }

int TSpinEdit::Value() const { return ui::spin::ValueOfText(Text(), impl_->minValue); }

void TSpinEdit::SetValue(int value) {
  SetWindowTextW(impl_->hwnd, std::to_wstring(ui::spin::Clamp(value, impl_->minValue, impl_->maxValue)).c_str());
}

std::string TSpinEdit::Text() const { return win32::Narrow(WindowText(impl_->hwnd)); }

void TSpinEdit::SetText(const std::string& text) { SetWindowTextUtf8(impl_->hwnd, text); }

TMemo::TMemo(TWinControl* parent) : TWinControl(NewImpl(Kind::Memo, parent)) {
  // No WS_VSCROLL/WS_HSCROLL and no ES_AUTOHSCROLL: long lines wrap at the right edge.
  const HWND hwnd = CreateChild(impl_.get(), WS_EX_CLIENTEDGE, L"EDIT", "",
                                WS_TABSTOP | ES_LEFT | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL);
  if (hwnd) SendMessageW(hwnd, EM_LIMITTEXT, 0, 0);  // the largest text the edit can hold
  Attach(this, hwnd, true);
}

void TMemo::Clear() {
  if (impl_->hwnd) SetWindowTextW(impl_->hwnd, L"");
}

void TMemoLines::Add(const std::string& line) {
  const HWND hwnd = memo_->hwnd;
  if (!hwnd) return;
  const std::wstring text = WindowText(hwnd);
  // A new line goes after the last one: after a closing line break when there is one, else
  // after a break of its own (typed text rarely ends in one).
  std::wstring insert = win32::Widen(line);
  if (text.empty() || text.ends_with(L"\r\n")) {
    insert += L"\r\n";
  } else {
    insert.insert(0, L"\r\n");
  }
  const auto end = static_cast<WPARAM>(text.size());
  SendMessageW(hwnd, EM_SETSEL, end, static_cast<LPARAM>(end));
  SendMessageW(hwnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(insert.c_str()));
}

int TMemoLines::Count() const {
  const HWND hwnd = memo_->hwnd;
  if (!hwnd) return 0;
  // The edit's own line count, less the empty line after a closing line break (an empty edit
  // has one empty line, so none).
  auto lines = static_cast<int>(SendMessageW(hwnd, EM_GETLINECOUNT, 0, 0));
  const LRESULT lastStart = SendMessageW(hwnd, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
  if (lastStart >= 0 && SendMessageW(hwnd, EM_LINELENGTH, static_cast<WPARAM>(lastStart), 0) == 0) --lines;
  return std::max(lines, 0);
}

std::string TMemoLines::Text() const {
  // The lines as the user sees them, each break as a single "\n".
  std::wstring text = WindowText(memo_->hwnd);
  std::wstring lines;
  lines.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;
    lines.push_back(text[i]);
  }
  return win32::Narrow(lines);
}

TStatusBar::TStatusBar(TWinControl* parent) : TWinControl(NewImpl(Kind::StatusBar, parent)) {
  // Placed by us along the parent's bottom edge at the bar's own height: CCS_NORESIZE and
  // CCS_NOPARENTALIGN keep the control from sizing itself to its font. No SBARS_SIZEGRIP.
  const HWND hwnd = CreateChild(impl_.get(), 0, STATUSCLASSNAMEW, "", CCS_NORESIZE | CCS_NOPARENTALIGN | CCS_BOTTOM);
  impl_->alignBottom = true;
  if (hwnd) {
    int edges[1] = {-1};  // one part, reaching the right end of the bar
    SendMessageW(hwnd, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(edges));
  }
  Attach(this, hwnd, true);
  AlignBottom(impl_.get());
}

void TStatusBar::SetPanelText(int panel, const std::string& text) {
  if (!impl_->hwnd || panel != 0) return;
  SendMessageW(impl_->hwnd, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(win32::Widen(text).c_str()));
}

std::string TStatusBar::PanelText(int panel) const {
  if (!impl_->hwnd || panel != 0) return {};
  const auto length = LOWORD(SendMessageW(impl_->hwnd, SB_GETTEXTLENGTHW, 0, 0));
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  SendMessageW(impl_->hwnd, SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text.data()));
  text.resize(length);
  return win32::Narrow(text);
}

// --- the form ----------------------------------------------------------------------------

TForm::TForm() : TWinControl(NewImpl(Kind::Form, nullptr)) {
  const HWND hwnd =
      CreateWindowExW(kFormExStyle, kFormClass, L"", kFormStyle, 0, 0, 0, 0, nullptr, nullptr, Instance(), nullptr);
  impl_->owner = this;
  impl_->hwnd = hwnd;
  if (!hwnd) return;
  SetPropW(hwnd, kImplProp, impl_.get());
  impl_->dpi = WindowDpi(hwnd);
  impl_->font = MakeFormFont(impl_->dpi);
  impl_->statusFont = MakeStatusFont(impl_->dpi);
}

TForm::~TForm() = default;

void TForm::SetCaption(const std::string& caption) { SetWindowTextUtf8(impl_->hwnd, caption); }

std::string TForm::Caption() const { return win32::Narrow(WindowText(impl_->hwnd)); }

void TForm::SetClientSize(int width, int height) {
  if (impl_->hwnd) ApplyClientSize(impl_.get(), width, height);
}

void TForm::Show() {
  const HWND hwnd = impl_->hwnd;
  if (!hwnd) return;
  if (impl_->shownOnce) {
    ShowWindow(hwnd, SW_SHOW);
    return;
  }
  impl_->shownOnce = true;
  // Centred on the (primary) screen the first time it is shown.
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  SetWindowPos(hwnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2,
               0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(hwnd, SW_SHOWNORMAL);
  SetForegroundWindow(hwnd);
  // The focus starts in the first tab stop, its text selected as when tabbing into it.
  if (const HWND first = FirstTabStop(impl_.get())) {
    ::SetFocus(first);
    if (SendMessageW(first, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SelectAll(first);
    impl_->lastFocus = first;
  }
  UpdateWindow(hwnd);
}

void TForm::Close() {
  if (impl_->hwnd) SendMessageW(impl_->hwnd, WM_CLOSE, 0, 0);
}

bool TForm::Visible() const { return impl_->hwnd && IsWindowVisible(impl_->hwnd); }

// --- the application -----------------------------------------------------------------------

namespace {

// One queued message: the dialog manager first (Tab, Shift+Tab, Enter and Esc between the
// controls of our forms), then the usual translation and dispatch.
void DispatchOne(MSG& msg) {
  const HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  const Impl* form = ImplOf(root);
  if (form && form->kind == Kind::Form && IsDialogMessageW(root, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

}  // namespace

TApplication::TApplication() : impl_(std::make_unique<Impl>()) {}

TApplication::~TApplication() {
  while (!impl_->forms.empty()) impl_->forms.pop_back();
  // A quit request nobody took stays in the thread's queue; it belongs to this application only.
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
}

void TApplication::Initialize() { EnsureToolkit(); }

// Win32 has no application title apart from the windows' captions (the taskbar button is the main
// form's and shows its caption), so the title is only kept.
void TApplication::SetTitle(const std::string& title) { impl_->title = title; }

std::string TApplication::Title() const { return impl_->title; }

TForm* TApplication::MainForm() const { return impl_->mainForm; }

void TApplication::AdoptForm(std::unique_ptr<TForm> form) {
  if (!impl_->mainForm) impl_->mainForm = form.get();
  impl_->forms.push_back(std::move(form));
}

void TApplication::Run() {
  if (impl_->mainForm) impl_->mainForm->Show();
  MSG msg;
  // Terminated is checked before every wait: once the main form was closed (also during a search,
  // whose ProcessMessages took the WM_QUIT), nothing more is dispatched.
  while (!impl_->terminated) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {  // WM_QUIT, or a failed wait
      impl_->terminated = true;
      break;
    }
    DispatchOne(msg);
  }
}

void TApplication::ProcessMessages() {
  MSG msg;
  // Everything pending, then back. A WM_QUIT only marks the application terminated: the caller
  // (a search) runs on, and the window keeps responding until control returns to Run.
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      impl_->terminated = true;
      continue;
    }
    DispatchOne(msg);
  }
}

void TApplication::Terminate() {
  impl_->terminated = true;
  PostQuitMessage(0);
}

bool TApplication::Terminated() const { return impl_->terminated; }

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (impl_->hook) return impl_->hook(text, caption, flags);
  const HWND owner = impl_->mainForm ? static_cast<HWND>(impl_->mainForm->NativeHandle()) : nullptr;
  return MessageBoxW(owner && IsWindowVisible(owner) ? owner : nullptr, win32::Widen(text).c_str(),
                     win32::Widen(caption).c_str(), flags);
}

void TApplication::SetMessageBoxHook(MessageBoxHook hook) { impl_->hook = std::move(hook); }

}  // namespace ui
