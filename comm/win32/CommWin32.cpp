// comm/win32/CommWin32.cpp — the comm services on kernel32 itself: a pass-through that converts the records.

// comm/Comm.h comes first, before <windows.h>: windows.h defines GENERIC_READ, PURGE_RXCLEAR,
// INVALID_HANDLE_VALUE, CLRDTR, ... as macros, and once those exist the constant declarations in
// namespace comm would no longer compile. For the same reason this file never names those
// constants after the include; it only passes the caller's values through.
#include "comm/Comm.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// timeBeginPeriod/timeEndPeriod live in winmm; WIN32_LEAN_AND_MEAN leaves mmsystem.h out.
#include <mmsystem.h>

#include <bit>
#include <cstddef>
#include <cstring>

namespace {

// The records of comm mirror kernel32's byte for byte, except that kernel32's DCB and COMSTAT
// hold their flags as bit fields and comm keeps the 32-bit word those bit fields occupy. The
// conversion copies that word whole, so it relies on the layout checked here: if a header or a
// compiler ever laid the records out differently, the build stops instead of a port quietly
// getting the wrong handshake or parity settings.
constexpr std::size_t kDcbFlagsOffset = offsetof(::DCB, BaudRate) + sizeof(::DWORD);
static_assert(sizeof(::DWORD) == sizeof(comm::DWORD));
static_assert(sizeof(::DCB) == sizeof(comm::DCB));
static_assert(offsetof(::DCB, BaudRate) == offsetof(comm::DCB, BaudRate));
static_assert(kDcbFlagsOffset == offsetof(comm::DCB, Flags));
static_assert(offsetof(::DCB, wReserved) == offsetof(comm::DCB, Flags) + sizeof(comm::DWORD),
              "the DCB bit fields must fill exactly one 32-bit word");
static_assert(offsetof(::DCB, XonLim) == offsetof(comm::DCB, XonLim));
static_assert(offsetof(::DCB, ByteSize) == offsetof(comm::DCB, ByteSize));
static_assert(offsetof(::DCB, wReserved1) == offsetof(comm::DCB, wReserved1));
static_assert(sizeof(::COMMTIMEOUTS) == sizeof(comm::COMMTIMEOUTS));
static_assert(sizeof(::COMSTAT) == sizeof(comm::COMSTAT));
static_assert(offsetof(::COMSTAT, cbInQue) == offsetof(comm::COMSTAT, cbInQue));
static_assert(offsetof(::COMSTAT, cbOutQue) == offsetof(comm::COMSTAT, cbOutQue));

// The bit positions of comm::dcbflag must be the compiler's positions of the bit fields: the flag
// word LibUnit writes (fBinary, fTXContinueOnXoff, fRtsControl = handshake) must come out as
// exactly these bit fields, and every other field must land on its own bit.
constexpr comm::DWORD NativeFlagWord(::DCB dcb) {
  return std::bit_cast<comm::DCB>(dcb).Flags;
}
constexpr ::DCB DcbWith(void (*set)(::DCB&)) {
  ::DCB dcb{};
  set(dcb);
  return dcb;
}
static_assert(NativeFlagWord(DcbWith([](::DCB& d) {
                d.fBinary = 1;
                d.fTXContinueOnXoff = 1;
                d.fRtsControl = 2;
              })) == (comm::dcbflag::fBinary | comm::dcbflag::fTXContinueOnXoff |
                      (2u << comm::dcbflag::fRtsControlShift)));  // 2: handshake (the name is a macro here)
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fParity = 1; })) == comm::dcbflag::fParity);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fOutxCtsFlow = 1; })) == comm::dcbflag::fOutxCtsFlow);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fOutxDsrFlow = 1; })) == comm::dcbflag::fOutxDsrFlow);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fDtrControl = 3; })) == comm::dcbflag::fDtrControlMask);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fDsrSensitivity = 1; })) ==
              comm::dcbflag::fDsrSensitivity);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fOutX = 1; })) == comm::dcbflag::fOutX);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fInX = 1; })) == comm::dcbflag::fInX);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fErrorChar = 1; })) == comm::dcbflag::fErrorChar);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fNull = 1; })) == comm::dcbflag::fNull);
static_assert(NativeFlagWord(DcbWith([](::DCB& d) { d.fAbortOnError = 1; })) == comm::dcbflag::fAbortOnError);

// Both records name their fields alike, so one template copies them either way; the flag word,
// a set of bit fields in ::DCB, is copied apart as the one word it is.
template <class From, class To>
void CopyDcbFields(const From& from, To& to) {
  to.DCBlength = from.DCBlength;
  to.BaudRate = from.BaudRate;
  to.wReserved = from.wReserved;
  to.XonLim = from.XonLim;
  to.XoffLim = from.XoffLim;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
  to.ErrorChar = from.ErrorChar;
  to.EofChar = from.EofChar;
  to.EvtChar = from.EvtChar;
  to.wReserved1 = from.wReserved1;
}

void ToNative(const comm::DCB& from, ::DCB& to) {
  CopyDcbFields(from, to);
  std::memcpy(reinterpret_cast<unsigned char*>(&to) + kDcbFlagsOffset, &from.Flags, sizeof from.Flags);
}

void FromNative(const ::DCB& from, comm::DCB& to) {
  CopyDcbFields(from, to);
  std::memcpy(&to.Flags, reinterpret_cast<const unsigned char*>(&from) + kDcbFlagsOffset, sizeof to.Flags);
}

}  // namespace

namespace comm {

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
  return ::CreateFileA(fileName, desiredAccess, shareMode, static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                       creationDisposition, flagsAndAttributes, templateFile);
}

bool SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(file, inQueue, outQueue) != FALSE;
}

bool GetCommState(HANDLE file, DCB* dcb) {
  ::DCB native{};
  native.DCBlength = sizeof native;
  if (!::GetCommState(file, &native)) return false;  // a failed read leaves the caller's record as it was
  FromNative(native, *dcb);
  return true;
}

bool SetCommState(HANDLE file, const DCB* dcb) {
  ::DCB native{};
  ToNative(*dcb, native);
  return ::SetCommState(file, &native) != FALSE;
}

bool GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  ::COMMTIMEOUTS native{};
  if (!::GetCommTimeouts(file, &native)) return false;
  timeouts->ReadIntervalTimeout = native.ReadIntervalTimeout;
  timeouts->ReadTotalTimeoutMultiplier = native.ReadTotalTimeoutMultiplier;
  timeouts->ReadTotalTimeoutConstant = native.ReadTotalTimeoutConstant;
  timeouts->WriteTotalTimeoutMultiplier = native.WriteTotalTimeoutMultiplier;
  timeouts->WriteTotalTimeoutConstant = native.WriteTotalTimeoutConstant;
  return true;
}

bool SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  ::COMMTIMEOUTS native{};
  native.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
  native.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
  native.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
  native.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
  native.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
  return ::SetCommTimeouts(file, &native) != FALSE;
}

bool PurgeComm(HANDLE file, DWORD flags) {
  return ::PurgeComm(file, flags) != FALSE;
}

bool EscapeCommFunction(HANDLE file, DWORD function) {
  return ::EscapeCommFunction(file, function) != FALSE;
}

bool ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  ::DWORD nativeErrors = 0;
  ::COMSTAT native{};
  // A failed poll leaves the caller's records as the last successful one left them.
  if (!::ClearCommError(file, &nativeErrors, &native)) return false;
  if (errors) *errors = nativeErrors;
  if (stat) {
    std::memcpy(&stat->Flags, &native, sizeof stat->Flags);  // the fCtsHold ... fTxim bit-field word
    stat->cbInQue = native.cbInQue;
    stat->cbOutQue = native.cbOutQue;
  }
  return true;
}

bool ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
  ::DWORD done = 0;
  const BOOL ok = ::ReadFile(file, buffer, toRead, &done, static_cast<LPOVERLAPPED>(overlapped));
  if (read) *read = done;
  return ok != FALSE;
}

bool WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped) {
  ::DWORD done = 0;
  const BOOL ok = ::WriteFile(file, buffer, toWrite, &done, static_cast<LPOVERLAPPED>(overlapped));
  if (written) *written = done;
  return ok != FALSE;
}

bool CloseHandle(HANDLE object) {
  return ::CloseHandle(object) != FALSE;
}

// The multimedia clock, not GetTickCount: GetTickCount advances only with the scheduler tick
// (about 15.6 ms on Windows; under Wine only when the wineserver wakes), so a wait timed by it
// could start on a stale reading and overshoot 100 ms by several milliseconds. timeGetTime counts
// milliseconds with the 1 ms period that WaitBegin sets, and wraps the same way.
DWORD GetTickCount() {
  return ::timeGetTime();
}

// Windows' default timer period is about 15.6 ms, so Sleep(1) would idle for a whole tick and a
// 100 ms reply wait would overshoot by up to a tick on each poll. For the length of one receive
// wait the period is raised to 1 ms, and given back at its end: a finer period costs power for the
// whole system, so it is held only while a wait needs it.
void WaitBegin() {
  ::timeBeginPeriod(1);
}

// kernel32 has no cheap "input arrived" wake-up for a synchronous port handle (WaitCommEvent needs
// overlapped mode or blocks without a time limit), so the wait naps for a millisecond between two
// polls, whatever stretch it may idle: that gives the core back without slowing the answer by
// more than a tick.
void WaitIdle(HANDLE /*file*/, DWORD ms) {
  ::Sleep(ms < 1 ? ms : 1);
}

void WaitEnd() {
  ::timeEndPeriod(1);
}

}  // namespace comm
