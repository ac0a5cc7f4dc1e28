// tests/ui_win32/SimControl.cpp — forwards the window tests' requests to the simulated line.
#include "tests/ui_win32/SimControl.h"

#include "comm/sim/SimLine.h"

namespace simcontrol {

using comm::sim::SimLine;

void Reset() { SimLine::Instance().Reset(); }
void SetDevices(const std::vector<std::uint8_t>& addresses) { SimLine::Instance().SetDevices(addresses); }
void SetPortPresent(int port, bool present) { SimLine::Instance().SetPortPresent(port, present); }
int OpenCount() { return SimLine::Instance().OpenCount(); }
int CloseCount() { return SimLine::Instance().CloseCount(); }
std::string OpenName() { return SimLine::Instance().OpenName(); }
int CountCalls(const std::string& name) { return SimLine::Instance().CountCalls(name); }

void SetCallHook(std::function<void(const std::string& name)> hook) {
  if (!hook) {
    SimLine::Instance().SetCallHook(nullptr);
    return;
  }
  SimLine::Instance().SetCallHook([hook = std::move(hook)](const comm::sim::Call& call) { hook(call.name); });
}

}  // namespace simcontrol
