// comm/Comm.h — the serial services LibUnit calls, in the shape of kernel32's communications API.
#pragma once

// One seam, three implementations chosen at link time: kernel32 (comm_win32), our termios layer
// (comm_posix) and the simulated line of the tests (comm_sim). The records mirror the Win32 ones
// field for field so LibUnit reads the same on every platform. Only the types and constants that
// LibUnit and its tests use are declared.
//
// Note for the Win32 backend: <windows.h> defines every constant below as a macro, so that file
// includes this header first and never names these constants after <windows.h>.

#include <cstdint>

namespace comm {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using HANDLE = void*;

// CreateFileA's failure value: all bits set.
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0));

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;

constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;

// Line-error bits of ClearCommError's error word.
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

// DCB flag word, bit by bit as in the Win32 bit fields (fBinary is bit 0).
namespace dcbflag {
constexpr DWORD fBinary = 1u << 0;
constexpr DWORD fParity = 1u << 1;
constexpr DWORD fOutxCtsFlow = 1u << 2;
constexpr DWORD fOutxDsrFlow = 1u << 3;
constexpr DWORD fDtrControlShift = 4;  // 2 bits
constexpr DWORD fDtrControlMask = 3u << fDtrControlShift;
constexpr DWORD fDsrSensitivity = 1u << 6;
constexpr DWORD fTXContinueOnXoff = 1u << 7;
constexpr DWORD fOutX = 1u << 8;
constexpr DWORD fInX = 1u << 9;
constexpr DWORD fErrorChar = 1u << 10;
constexpr DWORD fNull = 1u << 11;
constexpr DWORD fRtsControlShift = 12;  // 2 bits
constexpr DWORD fRtsControlMask = 3u << fRtsControlShift;
constexpr DWORD fAbortOnError = 1u << 14;
}  // namespace dcbflag

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// The Win32 DCB with its bit fields kept as the one word they occupy.
struct DCB {
  DWORD DCBlength = sizeof(DCB);
  DWORD BaudRate = 0;
  DWORD Flags = 0;
  WORD wReserved = 0;
  WORD XonLim = 0;
  WORD XoffLim = 0;
  BYTE ByteSize = 0;
  BYTE Parity = 0;
  BYTE StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  WORD wReserved1 = 0;
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
  DWORD Flags = 0;  // fCtsHold … fTxim bit fields
  DWORD cbInQue = 0;
  DWORD cbOutQue = 0;
};

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
bool SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
bool GetCommState(HANDLE file, DCB* dcb);
bool SetCommState(HANDLE file, const DCB* dcb);
bool GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
bool SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
bool PurgeComm(HANDLE file, DWORD flags);
bool EscapeCommFunction(HANDLE file, DWORD function);
bool ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
bool ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped);
bool WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped);
bool CloseHandle(HANDLE object);
DWORD GetTickCount();

// Idle between two polls of a receive wait, so the wait does not hold a CPU core.
// WaitBegin/WaitEnd bracket one wait (Windows raises the timer resolution to 1 ms in between).
// WaitIdle returns when input may have arrived on the file or after about `ms` milliseconds,
// whichever comes first; it may return early, never much later.
void WaitBegin();
void WaitIdle(HANDLE file, DWORD ms);
void WaitEnd();

}  // namespace comm
