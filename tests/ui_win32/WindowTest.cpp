// tests/ui_win32/WindowTest.cpp — the main window on real Win32 controls under Wine: layout, styles, font, tab order, start state, and the spin box driven by window messages.
#include <gtest/gtest.h>

#include "ui/win32/Win32Backend.h"

#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "search/Main.h"

namespace {

using ui::win32::Narrow;
using ui::win32::Widen;

HWND H(const ui::TControl* control) { return static_cast<HWND>(control->NativeHandle()); }

std::string TextOf(HWND hwnd) {
  wchar_t buffer[512] = {};
  GetWindowTextW(hwnd, buffer, 512);
  return Narrow(buffer);
}

RECT RectInParent(HWND hwnd) {
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(hwnd), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  return name;
}

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::Application = &app_;
    app_.Initialize();
    app_.SetTitle("");
    app_.CreateForm(MainForm);
    app_.SetMessageBoxHook([](const std::string&, const std::string&, unsigned) { return 1; });
    MainForm->Show();
    app_.ProcessMessages();
    dpi_ = ui::win32::DpiOf(*MainForm);
    ui::win32::SetBeepHook([this] { ++beeps_; });
  }
  void TearDown() override {
    ui::win32::SetBeepHook(nullptr);
    ui::Application = nullptr;
    MainForm = nullptr;
  }

  int S(int length96) const { return ui::win32::Scale(length96, dpi_); }
  HWND Form() const { return H(MainForm); }
  HWND Edit() const { return H(MainForm->ComSpin); }
  HWND Arrows() const { return ui::win32::UpDownOf(*MainForm->ComSpin); }

  // Text in the box with the caret at its end.
  void Prepare(const std::string& text) {
    MainForm->ComSpin->SetText(text);
    MainForm->ComSpin->SetFocus();
    SendMessageW(Edit(), EM_SETSEL, text.size(), text.size());
  }
  // Characters typed into the focused control through the queue and the dialog manager.
  void Type(const std::wstring& chars) {
    for (wchar_t ch : chars) PostMessageW(GetFocus(), WM_CHAR, ch, 1);
    app_.ProcessMessages();
  }
  void Key(UINT vk, UINT scan) {
    const HWND target = GetFocus();
    PostMessageW(target, WM_KEYDOWN, vk, static_cast<LPARAM>(1 | (scan << 16)));
    PostMessageW(target, WM_KEYUP, vk, static_cast<LPARAM>(1 | (scan << 16) | (3u << 30)));
    app_.ProcessMessages();
  }
  void SetClipboard(const std::wstring& text) {
    ASSERT_TRUE(OpenClipboard(Form()));
    EmptyClipboard();
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    auto* chars = static_cast<wchar_t*>(GlobalLock(memory));
    std::copy(text.c_str(), text.c_str() + text.size() + 1, chars);
    GlobalUnlock(memory);
    SetClipboardData(CF_UNICODETEXT, memory);
    CloseClipboard();
  }

  ui::TApplication app_;
  unsigned dpi_ = 96;
  int beeps_ = 0;
};

TEST_F(MainWindow, FormHasFixedBorderCaptionAndCentredClientArea) {
  RECT client{};
  GetClientRect(Form(), &client);
  EXPECT_EQ(client.right, S(392));
  EXPECT_EQ(client.bottom, S(285));

  const LONG style = GetWindowLongW(Form(), GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & WS_THICKFRAME) << "resizable";
  EXPECT_FALSE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_EQ(TextOf(Form()), mainform::kCaption);
  EXPECT_EQ(GetClassLongPtrW(Form(), GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));

  RECT outer{};
  GetWindowRect(Form(), &outer);
  EXPECT_NEAR((outer.left + outer.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((outer.top + outer.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
}

TEST_F(MainWindow, ControlsSitWhereTheLayoutPutsThem) {
  struct Case {
    const char* name;
    HWND hwnd;
    HWND parent;
    int left, top, width, height;
    const wchar_t* className;
  };
  const HWND panel = H(MainForm->Panel);
  const std::vector<Case> cases = {
      {"Panel", panel, Form(), 0, 0, 392, 266, L"BusfinderPanel"},
      {"StatusBar", H(MainForm->StatusBar), Form(), 0, 266, 392, 19, STATUSCLASSNAMEW},
      {"Label1", H(MainForm->Label1), panel, 18, 24, 55, 13, L"Static"},
      {"Memo", H(MainForm->Memo), panel, 16, 56, 361, 169, L"Edit"},
      {"FindButton", H(MainForm->FindButton), panel, 16, 232, 361, 25, L"Button"},
  };
  // The label's text fits it: Tahoma needs the 55 pixels; a wider stand-in font widens the label.
  int labelText = 0;
  {
    const HWND label = H(MainForm->Label1);
    const HDC dc = GetDC(label);
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    const std::wstring text = Widen(mainform::kPortLabel);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    labelText = size.cx;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.hwnd, nullptr);
    EXPECT_EQ(GetParent(c.hwnd), c.parent);
    EXPECT_EQ(_wcsicmp(ClassOf(c.hwnd).c_str(), c.className), 0);
    const RECT r = RectInParent(c.hwnd);
    EXPECT_EQ(r.left, S(c.left));
    EXPECT_EQ(r.top, S(c.top));
    EXPECT_EQ(r.right - r.left, c.hwnd == H(MainForm->Label1) ? std::max(S(c.width), labelText) : S(c.width));
    EXPECT_EQ(r.bottom - r.top, S(c.height));
  }

  // The spin box: the edit and its arrows share the box's rectangle, the arrows at the right end.
  const RECT edit = RectInParent(Edit()), arrows = RectInParent(Arrows());
  EXPECT_EQ(GetParent(Edit()), panel);
  EXPECT_EQ(GetParent(Arrows()), panel);
  EXPECT_EQ(_wcsicmp(ClassOf(Arrows()).c_str(), UPDOWN_CLASSW), 0);
  EXPECT_EQ(edit.left, S(80));
  EXPECT_EQ(edit.top, S(16));
  EXPECT_EQ(edit.bottom - edit.top, S(22));
  EXPECT_EQ(arrows.left, edit.right);
  EXPECT_EQ(arrows.right, S(80) + S(81));
  EXPECT_EQ(arrows.top, edit.top);
  EXPECT_EQ(arrows.bottom, edit.bottom);

  EXPECT_EQ(TextOf(H(MainForm->Label1)), mainform::kPortLabel);
  EXPECT_EQ(TextOf(H(MainForm->FindButton)), mainform::kFindCaption);
}

TEST_F(MainWindow, ControlStylesGiveTheDescribedBehaviour) {
  const LONG memo = GetWindowLongW(H(MainForm->Memo), GWL_STYLE);
  EXPECT_TRUE(memo & ES_MULTILINE);
  EXPECT_TRUE(memo & ES_WANTRETURN);
  EXPECT_FALSE(memo & (WS_VSCROLL | WS_HSCROLL)) << "no scroll bars";
  EXPECT_FALSE(memo & ES_AUTOHSCROLL) << "long lines must wrap";
  EXPECT_FALSE(memo & ES_READONLY);

  const LONG spin = GetWindowLongW(Edit(), GWL_STYLE);
  EXPECT_FALSE(spin & ES_NUMBER) << "the key filter is the toolkit's own";
  EXPECT_EQ(SendMessageW(Edit(), EM_GETLIMITTEXT, 0, 0), 2);

  const LONG status = GetWindowLongW(H(MainForm->StatusBar), GWL_STYLE);
  EXPECT_FALSE(status & SBARS_SIZEGRIP);
  EXPECT_EQ(LOWORD(SendMessageW(H(MainForm->StatusBar), SB_GETPARTS, 0, 0)), 1);

  // Tahoma 8 pt with the Cyrillic character set on the controls.
  for (HWND hwnd : {H(MainForm->FindButton), H(MainForm->Memo), Edit(), H(MainForm->Label1)}) {
    const auto font = reinterpret_cast<HFONT>(SendMessageW(hwnd, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW logical{};
    ASSERT_NE(GetObjectW(font, sizeof logical, &logical), 0);
    EXPECT_STREQ(logical.lfFaceName, L"Tahoma");
    EXPECT_EQ(logical.lfHeight, -MulDiv(8, static_cast<int>(dpi_), 72));
    EXPECT_EQ(logical.lfCharSet, RUSSIAN_CHARSET);
  }
}

TEST_F(MainWindow, StartsWithPortOneFocusedAndSelectedAndEverythingElseEmpty) {
  EXPECT_TRUE(MainForm->Visible());
  EXPECT_EQ(GetFocus(), Edit());
  EXPECT_TRUE(MainForm->ComSpin->Focused());
  EXPECT_EQ(MainForm->ComSpin->Text(), "1");
  DWORD start = 9, end = 9;
  SendMessageW(Edit(), EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, 1u);
  EXPECT_EQ(MainForm->Memo->Lines().Count(), 0);
  EXPECT_EQ(GetWindowTextLengthW(H(MainForm->Memo)), 0);
  EXPECT_TRUE(MainForm->FindButton->Enabled());
  EXPECT_TRUE(MainForm->ComSpin->Enabled());
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), "");
  EXPECT_EQ(app_.MainForm(), MainForm);
}

TEST_F(MainWindow, TabKeyWalksPortListButtonInThatOrder) {
  EXPECT_EQ(MainForm->ComSpin->TabOrder(), 0);
  EXPECT_EQ(MainForm->Memo->TabOrder(), 1);
  EXPECT_EQ(MainForm->FindButton->TabOrder(), 2);

  const HWND memo = H(MainForm->Memo), button = H(MainForm->FindButton);
  ASSERT_EQ(GetFocus(), Edit());
  Key(VK_TAB, 0x0F);
  EXPECT_EQ(GetFocus(), memo);
  Key(VK_TAB, 0x0F);  // the multi-line edit lets Tab move on instead of inserting it
  EXPECT_EQ(GetFocus(), button);
  EXPECT_EQ(GetWindowTextLengthW(memo), 0);
  Key(VK_TAB, 0x0F);
  EXPECT_EQ(GetFocus(), Edit());
  EXPECT_EQ(GetNextDlgTabItem(Form(), Edit(), TRUE), button);
}

TEST_F(MainWindow, ListTakesEnterAsNewLineAndCountsLinesAsSeen) {
  ui::TMemoLines lines = MainForm->Memo->Lines();
  MainForm->Memo->SetFocus();
  Type(L"ab");
  EXPECT_EQ(lines.Count(), 1) << "typed text is a line";
  Key(VK_RETURN, 0x1C);
  EXPECT_EQ(TextOf(H(MainForm->Memo)), "ab\r\n");
  EXPECT_EQ(lines.Count(), 1) << "the empty line after a break is not counted";
  Type(L"c");
  lines.Add("d");
  EXPECT_EQ(lines.Text(), "ab\nc\nd");
  EXPECT_EQ(lines.Count(), 3);
  MainForm->Memo->Clear();
  lines.Add("x");
  lines.Add("y");
  EXPECT_EQ(TextOf(H(MainForm->Memo)), "x\r\ny\r\n");
  EXPECT_EQ(lines.Count(), 2);
}

struct KeyCase {
  std::string start;
  std::wstring typed;
  std::string expected;
  int beeps;
};

TEST_F(MainWindow, SpinBoxKeyFilterTakesDigitsSignsAndSeparatorOnly) {
  const std::wstring sep(1, [] {
    wchar_t s[8] = {};
    return GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, s, 8) > 0 ? s[0] : L'.';
  }());
  const std::string sepUtf8 = Narrow(sep);
  const std::vector<KeyCase> cases = {
      {"", L"5", "5", 0},
      {"", L"-5", "-5", 0},
      {"", L"+", "+", 0},
      {"", sep + L"5", sepUtf8 + "5", 0},
      {"", L"7x8", "78", 1},
      {"", L"a b", "", 3},
      {"", L"\x0436", "", 1},     // a Cyrillic letter
      {"", L"123", "12", 0},      // two characters at most
      {"12", L"\b", "1", 0},      // Backspace is a control key, taken
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE("start \"" + c.start + "\", typed \"" + Narrow(c.typed) + "\"");
    Prepare(c.start);
    beeps_ = 0;
    Type(c.typed);
    EXPECT_EQ(MainForm->ComSpin->Text(), c.expected);
    EXPECT_EQ(beeps_, c.beeps);
  }

  // Enter is refused with a beep too, also when it comes as a key through the dialog manager.
  Prepare("4");
  beeps_ = 0;
  Key(VK_RETURN, 0x1C);
  EXPECT_EQ(MainForm->ComSpin->Text(), "4");
  EXPECT_EQ(beeps_, 1);
  EXPECT_EQ(GetFocus(), Edit());
}

TEST_F(MainWindow, SpinBoxPasteIsUnfilteredButLimitedToTwoCharacters) {
  struct PasteCase {
    std::wstring clipboard;
    const char* start;
    bool selectAll;
    const char* expected;
    int value;
  };
  const std::vector<PasteCase> cases = {
      {L"150", "", false, "15", 15},
      {L"150", "1", false, "11", 11},
      {L"150", "12", true, "15", 15},
      {L"150", "12", false, "12", 12},  // no room left
      {L"ab", "", false, "ab", 1},      // not filtered; not a number, so the minimum
      {L" 5", "", false, " 5", 1},
      {L"0x1F", "", false, "0x", 1},
      {L"4\r\n5", "", false, "4", 4},   // one line only
  };
  for (const PasteCase& c : cases) {
    SCOPED_TRACE(Narrow(c.clipboard) + " onto \"" + c.start + "\"");
    SetClipboard(c.clipboard);
    Prepare(c.start);
    if (c.selectAll) SendMessageW(Edit(), EM_SETSEL, 0, -1);
    beeps_ = 0;
    SendMessageW(Edit(), WM_PASTE, 0, 0);
    EXPECT_EQ(MainForm->ComSpin->Text(), c.expected);
    EXPECT_EQ(MainForm->ComSpin->Value(), c.value);
    EXPECT_EQ(beeps_, 0);
  }

  // Ctrl+V typed into the box (the control character the key filter lets through) pastes the same way.
  SetClipboard(L"987");
  Prepare("");
  Type(L"\x16");
  EXPECT_EQ(MainForm->ComSpin->Text(), "98");
}

TEST_F(MainWindow, SpinBoxClampsOnlyOutOfRangeNumbersWhenFocusLeaves) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"0", "1"},  {"00", "1"}, {"-5", "1"}, {"-0", "1"}, {"100", "99"}, {"42", "42"},
      {"99", "99"}, {"", ""},    {"+", "+"},  {"1.5", "1.5"}, {"+-", "+-"},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    Prepare(text);
    MainForm->Memo->SetFocus();  // WM_KILLFOCUS on the edit
    EXPECT_EQ(MainForm->ComSpin->Text(), expected);
  }
}

TEST_F(MainWindow, ArrowKeysAndArrowButtonsStepWithinOneToNinetyNine) {
  struct StepCase {
    const char* start;
    bool up;
    const char* expected;
  };
  const std::vector<StepCase> cases = {
      {"5", true, "6"}, {"5", false, "4"}, {"99", true, "99"}, {"1", false, "1"},
      {"", true, "2"},  {"0", true, "1"},  {"x", false, "1"},  {"98", true, "99"},
  };
  for (const StepCase& c : cases) {
    SCOPED_TRACE(std::string(c.start) + (c.up ? " up" : " down"));
    // The cursor key.
    Prepare(c.start);
    Key(c.up ? VK_UP : VK_DOWN, c.up ? 0x48 : 0x50);
    EXPECT_EQ(MainForm->ComSpin->Text(), c.expected);
    // The arrow button: a click in its upper or lower half.
    Prepare(c.start);
    RECT r{};
    GetClientRect(Arrows(), &r);
    const LPARAM at = MAKELPARAM(r.right / 2, c.up ? r.bottom / 4 : r.bottom * 3 / 4);
    SendMessageW(Arrows(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    SendMessageW(Arrows(), WM_LBUTTONUP, 0, at);
    app_.ProcessMessages();
    EXPECT_EQ(MainForm->ComSpin->Text(), c.expected);
  }
}

TEST_F(MainWindow, DpiChangeRescalesLayoutAndFont) {
  // What the system sends when the window moves to a 144-dpi monitor: the new dpi and a
  // suggested window rectangle. The client area, the controls and the font follow the new dpi.
  const unsigned dpi = 144;
  RECT suggested{0, 0, MulDiv(392, dpi, 96), MulDiv(285, dpi, 96)};
  AdjustWindowRectEx(&suggested, static_cast<DWORD>(GetWindowLongW(Form(), GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongW(Form(), GWL_EXSTYLE)));
  OffsetRect(&suggested, 50 - suggested.left, 40 - suggested.top);
  SendMessageW(Form(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));

  EXPECT_EQ(ui::win32::DpiOf(*MainForm), dpi);
  RECT client{};
  GetClientRect(Form(), &client);
  EXPECT_EQ(client.right, 588);
  EXPECT_EQ(client.bottom, 428);
  const RECT memo = RectInParent(H(MainForm->Memo));
  EXPECT_EQ(memo.left, 24);
  EXPECT_EQ(memo.top, 84);
  EXPECT_EQ(memo.right - memo.left, MulDiv(361, dpi, 96));
  const RECT status = RectInParent(H(MainForm->StatusBar));
  EXPECT_EQ(status.bottom, client.bottom);
  EXPECT_EQ(status.right - status.left, client.right);
  const RECT arrows = RectInParent(Arrows());
  EXPECT_EQ(arrows.right, 120 + MulDiv(81, dpi, 96));
  LOGFONTW logical{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(H(MainForm->FindButton), WM_GETFONT, 0, 0)), sizeof logical, &logical);
  EXPECT_EQ(logical.lfHeight, -16);
  EXPECT_STREQ(logical.lfFaceName, L"Tahoma");
}

TEST_F(MainWindow, DisabledSpinBoxDisablesItsArrows) {
  MainForm->ComSpin->SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(Edit()));
  EXPECT_FALSE(IsWindowEnabled(Arrows()));
  MainForm->ComSpin->SetEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(Arrows()));
}

}  // namespace
