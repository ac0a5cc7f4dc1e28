// tests/ui_win32/E2eDriver.cpp — drives a running busfinder.exe from outside, as an operator would: port, click, wait, read the list.
//
// Usage: busfinder_driver --port N --devices 05,42 [--keep-open] [--timeout SECONDS]
// Finds the window by its caption, types the port into the port box, clicks "Поиск", polls the
// status bar until it reads "Поиск завершен" and compares the list with the lines the devices must
// give, in address order. Then closes the window (unless --keep-open). Exit 0 when the list is
// right, 1 when not, 2 on bad arguments or when the window never showed up.
//
// Everything crosses the process boundary through messages the system marshals between processes
// (WM_SETTEXT, WM_GETTEXT, BM_CLICK); SB_GETTEXTW would hand over a pointer into this process, so
// the status bar is read with WM_GETTEXT, which a status bar answers with its first part's text.
#include "search/Main.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring Widen(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), n);
  return text;
}

std::string Narrow(const std::wstring& utf16) {
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), text.data(), n, nullptr, nullptr);
  return text;
}

std::wstring TextOf(HWND hwnd) {
  wchar_t buffer[4096] = {};
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000,
                           &copied)) {
    return L"<no answer>";
  }
  return std::wstring(buffer, copied);
}

struct Controls {
  HWND port = nullptr, list = nullptr, button = nullptr, status = nullptr;
};

BOOL CALLBACK Classify(HWND hwnd, LPARAM param) {
  auto* controls = reinterpret_cast<Controls*>(param);
  wchar_t name[64] = {};
  GetClassNameW(hwnd, name, 64);
  if (_wcsicmp(name, L"Edit") == 0) {
    (GetWindowLongW(hwnd, GWL_STYLE) & ES_MULTILINE ? controls->list : controls->port) = hwnd;
  } else if (_wcsicmp(name, L"Button") == 0) {
    controls->button = hwnd;
  } else if (_wcsicmp(name, L"msctls_statusbar32") == 0) {
    controls->status = hwnd;
  }
  return TRUE;
}

void Say(const std::string& utf8) {
  // The console may not be UTF-8; the messages are ASCII apart from quoted window texts.
  std::fprintf(stderr, "busfinder_driver: %s\n", utf8.c_str());
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::vector<std::string> devices;
  bool keepOpen = false;
  int timeoutS = 120;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
    } else if (arg == "--devices" && i + 1 < argc) {
      const std::string list = argv[++i];
      for (std::size_t at = 0; at < list.size();) {
        const std::size_t comma = list.find(',', at);
        devices.push_back(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        at = comma == std::string::npos ? list.size() : comma + 1;
      }
    } else if (arg == "--keep-open") {
      keepOpen = true;
    } else if (arg == "--timeout" && i + 1 < argc) {
      timeoutS = std::atoi(argv[++i]);
    } else {
      Say("unknown argument " + arg);
      return 2;
    }
  }
  if (port < 1 || port > 99) {
    Say("--port 1-99 is required");
    return 2;
  }

  const std::wstring caption = Widen(mainform::kCaption);
  // The window gets its caption before its controls exist; it is complete once it is shown.
  HWND form = nullptr;
  for (int waited = 0; waited < timeoutS * 10; ++waited) {
    form = FindWindowW(nullptr, caption.c_str());
    if (form && IsWindowVisible(form)) break;
    form = nullptr;
    Sleep(100);
  }
  if (!form) {
    Say("the window never showed up");
    return 2;
  }
  Controls controls;
  EnumChildWindows(form, Classify, reinterpret_cast<LPARAM>(&controls));
  if (!controls.port || !controls.list || !controls.button || !controls.status) {
    Say("the window lacks a port box, list, button or status bar");
    PostMessageW(form, WM_CLOSE, 0, 0);
    return 2;
  }

  const std::wstring portText = std::to_wstring(port);
  SendMessageTimeoutW(controls.port, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(portText.c_str()), SMTO_ABORTIFHUNG,
                      5000, nullptr);
  // Posted: the search runs inside the click, and a sent click would hold this program until its end.
  PostMessageW(controls.button, BM_CLICK, 0, 0);
  const DWORD clicked = GetTickCount();

  const std::wstring finished = Widen(mainform::kFinished), progress = Widen(mainform::kProgressPrefix);
  bool sawProgress = false, done = false;
  for (int waited = 0; !done && waited < timeoutS * 20; ++waited) {
    const std::wstring status = TextOf(controls.status);
    sawProgress = sawProgress || status.rfind(progress, 0) == 0;
    done = status == finished;
    if (!done) Sleep(50);
  }
  const DWORD searchMs = GetTickCount() - clicked;
  if (!done) {
    Say("no \"" + std::string(mainform::kFinished) + "\" within the time limit; status: " +
        Narrow(TextOf(controls.status)));
    return 1;
  }

  std::string expected;
  for (const std::string& device : devices) {
    expected += mainform::kLinePrefix + std::to_string(port) + mainform::kLineMiddle + device + "\r\n";
  }
  if (devices.empty()) expected = std::string(mainform::kNoDevices) + "\r\n";
  const std::string listed = Narrow(TextOf(controls.list));
  const bool enabled = IsWindowEnabled(controls.button) && IsWindowEnabled(controls.port);

  if (!keepOpen) PostMessageW(form, WM_CLOSE, 0, 0);

  bool ok = true;
  if (listed != expected) {
    Say("list:\n" + listed + "\nexpected:\n" + expected);
    ok = false;
  }
  if (!sawProgress) {
    Say("the status bar never showed the progress text");
    ok = false;
  }
  if (!enabled) {
    Say("the controls are not enabled again after the search");
    ok = false;
  }
  if (ok) {
    Say("list as expected (" + std::to_string(devices.size()) + " device lines); click to end text " +
        std::to_string(searchMs) + " ms");
  }
  return ok ? 0 : 1;
}
