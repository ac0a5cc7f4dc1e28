// serial/LibUnit.cpp — port control and the address probe, written against the comm services.
#include "serial/LibUnit.h"

#include <cstdio>

using namespace comm;

HANDLE PortHandle = nullptr;
DCB PortDcb;
COMMTIMEOUTS PortTimeouts;
COMSTAT PortStatus;

namespace libunit {

const char* PortDeviceName(int portNumber, char (&buffer)[32]) {
  // Ports above 9 are reachable only through the device namespace prefix.
  std::snprintf(buffer, sizeof buffer, portNumber > 9 ? "\\\\.\\COM%d" : "COM%d", portNumber);
  return buffer;
}

}  // namespace libunit

bool OpenPort(int portNumber) {
  char name[32];
  PortHandle = CreateFileA(libunit::PortDeviceName(portNumber, name), GENERIC_READ | GENERIC_WRITE,
                           0 /* exclusive */, nullptr, OPEN_EXISTING, 0 /* synchronous */, nullptr);
  if (PortHandle == INVALID_HANDLE_VALUE) return false;

  // From here on the results are deliberately not examined: a port that refuses a setting is used
  // with whatever it accepted.
  SetupComm(PortHandle, libunit::kQueueSize, libunit::kQueueSize);

  GetCommState(PortHandle, &PortDcb);
  PortDcb.BaudRate = libunit::kBaudRate;
  PortDcb.ByteSize = 8;
  PortDcb.Parity = NOPARITY;
  PortDcb.StopBits = ONESTOPBIT;
  PortDcb.Flags = libunit::kFlags;  // over the whole flag word
  PortDcb.XonLim = 1;
  PortDcb.XoffLim = 1;
  SetCommState(PortHandle, &PortDcb);

  GetCommTimeouts(PortHandle, &PortTimeouts);
  PortTimeouts.ReadIntervalTimeout = 10;
  PortTimeouts.ReadTotalTimeoutMultiplier = 20;
  PortTimeouts.ReadTotalTimeoutConstant = 100;
  PortTimeouts.WriteTotalTimeoutMultiplier = 1;
  PortTimeouts.WriteTotalTimeoutConstant = 100;
  SetCommTimeouts(PortHandle, &PortTimeouts);

  PurgeComm(PortHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
  EscapeCommFunction(PortHandle, CLRDTR);
  return true;
}

void SetParity(std::uint8_t parity) {
  // Read afresh so only Parity changes; on a failed read the settings PortDcb holds are written back.
  GetCommState(PortHandle, &PortDcb);
  PortDcb.Parity = parity;
  SetCommState(PortHandle, &PortDcb);
}

bool WaitForInput(std::int32_t count, std::int32_t limitMs) {
  WaitBegin();  // first: on Windows the finer timer period also sharpens the clock read next
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD errors = 0;  // line errors are cleared by the poll and thrown away
    ClearCommError(PortHandle, &errors, &PortStatus);
    const DWORD elapsed = GetTickCount() - start;  // unsigned: right across the counter's wrap
    // Time first, count second, both compared by value (a negative limit or count is never
    // turned into a large unsigned number).
    if (static_cast<std::int64_t>(elapsed) > limitMs) break;
    if (static_cast<std::int64_t>(PortStatus.cbInQue) >= count) break;
    // Not there yet: instead of asking the driver again at once, idle until input may have
    // arrived, at most until the tick of the poll that finds the limit passed. A layer that can
    // wake on input (termios) sleeps that whole stretch; one that can't (kernel32) naps 1 ms.
    WaitIdle(PortHandle, static_cast<DWORD>(static_cast<std::int64_t>(limitMs) - elapsed + 1));
  }
  WaitEnd();
  return static_cast<std::int64_t>(PortStatus.cbInQue) >= count;
}

bool ClosePort() {
  PurgeComm(PortHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  if (!CloseHandle(PortHandle)) return false;
  PortHandle = INVALID_HANDLE_VALUE;
  return true;
}

bool ProbeAddress(std::uint8_t address) {
  SetParity(MARKPARITY);
  // Late or surplus bytes of an earlier probe must not be taken for this probe's answer.
  PurgeComm(PortHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
  DWORD written = 0;
  WriteFile(PortHandle, &address, 1, &written, nullptr);  // a failed write shows as silence
  if (!WaitForInput(1, libunit::kReplyLimitMs)) return false;
  std::uint8_t reply = 0;
  DWORD read = 0;
  // A byte that was never read is never compared: a failed or empty read means no device.
  if (!ReadFile(PortHandle, &reply, 1, &read, nullptr) || read != 1) return false;
  if (reply != address) return false;
  SetParity(SPACEPARITY);
  return true;
}
