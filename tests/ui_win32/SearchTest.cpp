// tests/ui_win32/SearchTest.cpp — FindButtonClick through the Win32 controls against the simulated line, and the close during a search.
#include <gtest/gtest.h>

#include "ui/win32/Win32Backend.h"

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tests/ui_win32/SimControl.h"
#include "search/Main.h"
#include "serial/BusScan.h"

namespace {

namespace sim = simcontrol;

HWND H(const ui::TControl* control) { return static_cast<HWND>(control->NativeHandle()); }

std::string RawText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return ui::win32::Narrow(text);
}

std::string Line(int port, const char* address) {
  return std::string(mainform::kLinePrefix) + std::to_string(port) + mainform::kLineMiddle + address;
}

struct Box {
  std::string text, caption;
  unsigned flags;
};

class Search : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    ui::Application = &app_;
    app_.Initialize();
    app_.SetTitle("");
    app_.CreateForm(MainForm);
    app_.SetMessageBoxHook([this](const std::string& text, const std::string& caption, unsigned flags) {
      boxes_.push_back({text, caption, flags});
      return 1;
    });
  }
  void TearDown() override {
    sim::SetCallHook(nullptr);
    ui::Application = nullptr;
    MainForm = nullptr;
  }
  void Show() {
    MainForm->Show();
    app_.ProcessMessages();
  }
  // What a user's click on the button does, through the button's own window message.
  void ClickFind() { SendMessageW(H(MainForm->FindButton), BM_CLICK, 0, 0); }
  int Probes() const { return sim::CountCalls("WriteFile"); }

  ui::TApplication app_;
  std::vector<Box> boxes_;
};

TEST_F(Search, ListsTheDevicesInAddressOrderWithTheOpenedPort) {
  sim::SetDevices({0x42, 0x05});
  Show();
  MainForm->Memo->Lines().Add("from an earlier search");
  MainForm->ComSpin->SetValue(7);
  ClickFind();

  EXPECT_EQ(sim::OpenCount(), 1);
  EXPECT_EQ(sim::CloseCount(), 1);
  EXPECT_EQ(Probes(), 100);
  EXPECT_EQ(RawText(H(MainForm->Memo)), Line(7, "05") + "\r\n" + Line(7, "42") + "\r\n");
  EXPECT_EQ(MainForm->Memo->Lines().Count(), 2);
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), mainform::kFinished);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_TRUE(MainForm->FindButton->Enabled());
  EXPECT_TRUE(MainForm->ComSpin->Enabled());
}

TEST_F(Search, NoDeviceGivesTheOneNoDeviceLine) {
  Show();
  ClickFind();
  EXPECT_EQ(RawText(H(MainForm->Memo)), std::string(mainform::kNoDevices) + "\r\n");
  EXPECT_EQ(MainForm->Memo->Lines().Count(), 1);
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), mainform::kFinished);
}

TEST_F(Search, PortThatCannotBeOpenedShowsOnlyTheMessageBox) {
  sim::SetPortPresent(7, false);
  Show();
  MainForm->Memo->Lines().Add(Line(3, "25"));
  MainForm->StatusBar->SetPanelText(0, mainform::kFinished);
  MainForm->ComSpin->SetValue(7);
  ClickFind();

  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, mainform::kPortUnavailable);
  EXPECT_EQ(boxes_[0].caption, mainform::kBoxCaption);
  EXPECT_EQ(boxes_[0].flags, static_cast<unsigned>(MB_ICONERROR | MB_OK));
  EXPECT_EQ(RawText(H(MainForm->Memo)), Line(3, "25") + "\r\n");
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), mainform::kFinished);
  EXPECT_TRUE(MainForm->FindButton->Enabled());
  EXPECT_TRUE(MainForm->ComSpin->Enabled());
  EXPECT_EQ(Probes(), 0);
}

// The real modal box: a second thread finds it, reads it and presses its one button.
TEST_F(Search, PortUnavailableBoxIsAModalErrorBoxOwnedByTheForm) {
  sim::SetPortPresent(1, false);
  app_.SetMessageBoxHook(nullptr);
  Show();
  const HWND form = H(MainForm);
  const std::wstring caption = ui::win32::Widen(mainform::kBoxCaption);
  struct Seen {
    HWND owner = nullptr;
    bool formDisabled = false;
    std::vector<std::string> texts;
    int buttons = 0, icons = 0;
  } seen;
  std::thread closer([&] {
    HWND box = nullptr;
    for (int i = 0; i < 200 && !box; ++i) {
      box = FindWindowW(L"#32770", caption.c_str());
      if (!box) Sleep(50);
    }
    if (!box) return;
    seen.owner = GetWindow(box, GW_OWNER);
    seen.formDisabled = !IsWindowEnabled(form);
    EnumChildWindows(
        box,
        [](HWND child, LPARAM param) -> BOOL {
          auto* s = reinterpret_cast<Seen*>(param);
          wchar_t name[32] = {};
          GetClassNameW(child, name, 32);
          if (_wcsicmp(name, L"Button") == 0) ++s->buttons;
          if (_wcsicmp(name, L"Static") == 0) {
            if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
              ++s->icons;
            } else {
              s->texts.push_back(RawText(child));
            }
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&seen));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  ClickFind();
  closer.join();

  EXPECT_EQ(seen.owner, form);
  EXPECT_TRUE(seen.formDisabled) << "modal to the form";
  EXPECT_EQ(seen.buttons, 1);
  EXPECT_EQ(seen.icons, 1);
  EXPECT_NE(std::find(seen.texts.begin(), seen.texts.end(), mainform::kPortUnavailable), seen.texts.end());
  EXPECT_TRUE(IsWindowEnabled(form));
  EXPECT_EQ(Probes(), 0);
}

TEST_F(Search, ControlsAreDisabledDuringTheScanAndStatusFollowsEachProbe) {
  struct Seen {
    bool button, spin;
    std::string status;
  };
  std::vector<Seen> atProbe;
  std::string statusAtClose;
  sim::SetDevices({0x05});
  Show();
  MainForm->StatusBar->SetPanelText(0, "before");
  sim::SetCallHook([&](const std::string& call) {
    if (call == "WriteFile") {
      atProbe.push_back({MainForm->FindButton->Enabled(), MainForm->ComSpin->Enabled(),
                         MainForm->StatusBar->PanelText(0)});
    } else if (call == "CloseHandle") {
      statusAtClose = MainForm->StatusBar->PanelText(0);
    }
  });
  ClickFind();

  ASSERT_EQ(atProbe.size(), 100u);
  EXPECT_EQ(atProbe[0].status, "before");
  for (std::size_t i = 0; i < atProbe.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(atProbe[i].button);
    EXPECT_FALSE(atProbe[i].spin);
    if (i > 0) {
      const int prior = static_cast<int>(i) - 1;  // the address probed just before: tens, units
      EXPECT_EQ(atProbe[i].status, mainform::kProgressPrefix + libunit::AddressText(
                                                                    static_cast<std::uint8_t>(prior / 10 * 16 + prior % 10)));
    }
  }
  EXPECT_EQ(statusAtClose, std::string(mainform::kProgressPrefix) + "99");
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), mainform::kFinished);
  EXPECT_TRUE(MainForm->FindButton->Enabled());
  EXPECT_TRUE(MainForm->ComSpin->Enabled());
}

TEST_F(Search, TextTypedIntoTheListDuringTheScanCountsAsALine) {
  Show();
  sim::SetCallHook([&](const std::string& call) {
    // Keystrokes arrive in the queue while the scan runs; its event processing delivers them.
    if (call == "WriteFile" && Probes() == 50) {
      PostMessageW(H(MainForm->Memo), WM_CHAR, L'o', 1);
      PostMessageW(H(MainForm->Memo), WM_CHAR, L'k', 1);
    }
  });
  ClickFind();
  EXPECT_EQ(RawText(H(MainForm->Memo)), "ok");
  EXPECT_EQ(MainForm->Memo->Lines().Count(), 1);
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), mainform::kFinished);
}

TEST_F(Search, ClickTakesTheFocusSoTheBoxIsClampedBeforeThePortIsRead) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"0", "1"}, {"00", "1"}, {"-5", "1"}, {"", ""}, {"+", "+"}, {"12", "12"},
  };
  Show();
  for (const auto& [typed, kept] : cases) {
    SCOPED_TRACE(typed);
    sim::Reset();
    bool buttonFocusedAtOpen = false;
    sim::SetCallHook([&](const std::string& call) {
      if (call == "CreateFileA") buttonFocusedAtOpen = MainForm->FindButton->Focused();
    });
    MainForm->ComSpin->SetText(typed);
    MainForm->ComSpin->SetFocus();
    ClickFind();
    EXPECT_EQ(sim::OpenName(), std::string(typed) == "12" ? "\\\\.\\COM12" : "COM1");
    EXPECT_EQ(MainForm->ComSpin->Text(), kept);
    EXPECT_TRUE(buttonFocusedAtOpen);
  }
}

TEST_F(Search, EnterOrSpaceOnTheFocusedButtonSearchesEnterInThePortBoxDoesNot) {
  Show();
  auto press = [&](HWND target, UINT vk, UINT scan) {
    PostMessageW(target, WM_KEYDOWN, vk, static_cast<LPARAM>(1 | (scan << 16)));
    PostMessageW(target, WM_KEYUP, vk, static_cast<LPARAM>(1 | (scan << 16) | (3u << 30)));
    app_.ProcessMessages();
  };
  press(H(MainForm->ComSpin), VK_RETURN, 0x1C);
  EXPECT_EQ(sim::OpenCount(), 0);
  MainForm->FindButton->SetFocus();
  press(H(MainForm->FindButton), VK_RETURN, 0x1C);
  EXPECT_EQ(sim::OpenCount(), 1);
  MainForm->FindButton->SetFocus();
  press(H(MainForm->FindButton), VK_SPACE, 0x39);
  EXPECT_EQ(sim::OpenCount(), 2);
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), mainform::kFinished);
}

// The program's own loop: a click starts the search, a close arrives in its middle.
TEST_F(Search, CloseDuringTheSearchEndsTheProgramAfterItWithNothingMoreDispatched) {
  sim::SetDevices({0x05});
  const HWND form = H(MainForm), memo = H(MainForm->Memo);
  bool visibleAfterClose = false, terminatedAfterClose = false;
  sim::SetCallHook([&](const std::string& call) {
    if (call == "WriteFile" && Probes() == 50) PostMessageW(form, WM_CLOSE, 0, 0);
    if (call == "WriteFile" && Probes() == 60) {
      // By now the close has been processed; the window is still there and takes typing.
      visibleAfterClose = IsWindowVisible(form) != FALSE;
      terminatedAfterClose = app_.Terminated();
      PostMessageW(memo, WM_CHAR, L'q', 1);
    }
    // Queued after the last ProcessMessages of the search: must never be dispatched.
    if (call == "CloseHandle") PostMessageW(memo, WM_CHAR, L'z', 1);
  });
  PostMessageW(H(MainForm->FindButton), BM_CLICK, 0, 0);
  app_.Run();

  EXPECT_TRUE(visibleAfterClose);
  EXPECT_TRUE(terminatedAfterClose);
  EXPECT_TRUE(app_.Terminated());
  EXPECT_EQ(Probes(), 100) << "the search runs to its end";
  EXPECT_EQ(sim::CloseCount(), 1);
  EXPECT_EQ(RawText(memo), Line(1, "05") + "\r\nq");
  EXPECT_EQ(MainForm->StatusBar->PanelText(0), mainform::kFinished);
  MSG pending{};
  EXPECT_TRUE(PeekMessageW(&pending, memo, WM_CHAR, WM_CHAR, PM_NOREMOVE)) << "the queued key was dispatched";
}

TEST_F(Search, CloseWhenIdleEndsRunAtOnce) {
  PostMessageW(H(MainForm), WM_CLOSE, 0, 0);
  app_.Run();
  EXPECT_TRUE(app_.Terminated());
  EXPECT_EQ(Probes(), 0);
}

}  // namespace
