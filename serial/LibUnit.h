// serial/LibUnit.h — the one serial port of the program: open, parity switch, receive wait, close, address probe.
#pragma once

#include <cstdint>

#include "comm/Comm.h"

// Module-level port state, zero at program start, alive for the whole run. At most one port is
// open per process; a caller closes the port before it opens one again.
extern comm::HANDLE PortHandle;
extern comm::DCB PortDcb;
extern comm::COMMTIMEOUTS PortTimeouts;
extern comm::COMSTAT PortStatus;

// Opens COM<n> exclusively at 115200 8-N-1 with the device family's settings. False when the port
// can't be opened; then nothing else was done.
bool OpenPort(int portNumber);

// Sets the parity of the open port (MARKPARITY or SPACEPARITY); every other setting is kept.
void SetParity(std::uint8_t parity);

// True when the driver's input queue holds at least `count` bytes, false when `limitMs` passed first.
bool WaitForInput(std::int32_t count, std::int32_t limitMs);

// Discards pending input and output and closes the port. False when the close failed; the handle
// is then kept.
bool ClosePort();

// Calls one bus address at mark parity; true when the device echoed the address byte within
// 100 ms. The port is then left at space parity.
bool ProbeAddress(std::uint8_t address);

namespace libunit {

constexpr comm::DWORD kBaudRate = 115200;
constexpr comm::DWORD kFlags = 0x2081;  // fBinary, fTXContinueOnXoff, fRtsControl = handshake
constexpr comm::DWORD kQueueSize = 1024;
constexpr std::int32_t kReplyLimitMs = 100;

// "COM9", "\\.\COM10": the device name OpenPort uses for a port number.
const char* PortDeviceName(int portNumber, char (&buffer)[32]);

}  // namespace libunit
