// tests/ui_win32/SimControl.h — the simulated line as the window tests use it, in a header free of the comm declarations.
#pragma once

// The comm seam declares the Win32 names (DCB, HANDLE, PURGE_*, ...) itself, so it can't share a
// translation unit with <windows.h>; the window tests reach the simulated line through these.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simcontrol {

void Reset();
void SetDevices(const std::vector<std::uint8_t>& addresses);
void SetPortPresent(int port, bool present);
int OpenCount();
int CloseCount();
std::string OpenName();
int CountCalls(const std::string& name);
// Called with the name of every comm call after it ran; nullptr removes it.
void SetCallHook(std::function<void(const std::string& name)> hook);

}  // namespace simcontrol
