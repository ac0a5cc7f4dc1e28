// ui/win32/Win32Backend.h — what the Win32 form backend shares with its own tests: text conversion, the beep hook, native handles.
#pragma once

#include <windows.h>
// <windows.h> maps MessageBox to MessageBoxW, which would rename TApplication::MessageBox in every
// file that sees both headers.
#undef MessageBox

#include <functional>
#include <string>
#include <string_view>

#include "ui/Forms.h"

namespace ui::win32 {

// The code keeps its texts in UTF-8; the controls take and give UTF-16.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

// The beep of a refused key. Tests count beeps through the hook; nullptr restores MessageBeep.
void SetBeepHook(std::function<void()> hook);

// The up-down control beside a spin box's edit (the edit itself is NativeHandle()).
HWND UpDownOf(const TSpinEdit& spin);

// The dpi the control's form is laid out for, and a 96-dpi length scaled to it.
unsigned DpiOf(const TControl& control);
int Scale(int length96, unsigned dpi);

}  // namespace ui::win32
