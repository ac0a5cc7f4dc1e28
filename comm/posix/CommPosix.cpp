// comm/posix/CommPosix.cpp — the comm services on termios: COM names to tty devices, DCB ↔ termios, time-outs by poll().
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "comm/Comm.h"
#include "comm/posix/PortNames.h"

namespace comm {
namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// The DCB flags that termios holds itself; every other flag is only remembered.
constexpr DWORD kTermiosFlags = dcbflag::fParity | dcbflag::fOutxCtsFlow | dcbflag::fOutX | dcbflag::fInX;

// What a termios record says in DCB terms.
struct LineView {
  DWORD baudRate = 0;  // 0: a speed outside the table
  BYTE byteSize = 8;
  BYTE parity = NOPARITY;
  BYTE stopBits = ONESTOPBIT;
  DWORD flags = 0;  // only kTermiosFlags

  bool operator==(const LineView&) const = default;
};

// One open port. HANDLE is a pointer to this record; only pointers found in the open list are
// ever followed, so a stale, null or invalid handle is refused instead of crashing.
struct Port {
  int fd = -1;
  DCB dcb;            // the settings as last set (or as found at the open)
  LineView held;      // what the device showed right after that
  COMMTIMEOUTS timeouts;
  DWORD lastInQue = 0;  // the input count of the last ClearCommError, for WaitIdle
  Port* next = nullptr;
};

std::mutex openMutex;
Port* openPorts = nullptr;

Port* Find(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  std::lock_guard lock(openMutex);
  for (Port* port = openPorts; port; port = port->next)
    if (port == handle) return port;
  return nullptr;
}

void Register(Port* port) {
  std::lock_guard lock(openMutex);
  port->next = openPorts;
  openPorts = port;
}

Port* Unregister(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  std::lock_guard lock(openMutex);
  for (Port** link = &openPorts; *link; link = &(*link)->next) {
    if (*link == handle) {
      Port* port = *link;
      *link = port->next;
      return port;
    }
  }
  return nullptr;
}

struct Baud {
  DWORD rate;
  speed_t code;
};
constexpr Baud kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

LineView Decode(const termios& tio) {
  LineView view;
  const speed_t code = cfgetospeed(&tio);
  for (const Baud& baud : kBauds)
    if (baud.code == code) view.baudRate = baud.rate;
  switch (tio.c_cflag & CSIZE) {
    case CS5: view.byteSize = 5; break;
    case CS6: view.byteSize = 6; break;
    case CS7: view.byteSize = 7; break;
    default: view.byteSize = 8; break;
  }
  view.stopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  const bool odd = (tio.c_cflag & PARODD) != 0;
  if (!(tio.c_cflag & PARENB))
    view.parity = NOPARITY;
  else if (tio.c_cflag & CMSPAR)
    view.parity = odd ? MARKPARITY : SPACEPARITY;  // "stick" parity: PARODD picks a fixed 1
  else
    view.parity = odd ? ODDPARITY : EVENPARITY;
  if (tio.c_iflag & INPCK) view.flags |= dcbflag::fParity;
  if (tio.c_cflag & CRTSCTS) view.flags |= dcbflag::fOutxCtsFlow;
  if (tio.c_iflag & IXON) view.flags |= dcbflag::fOutX;
  if (tio.c_iflag & IXOFF) view.flags |= dcbflag::fInX;
  return view;
}

// Writes the DCB's line settings into `tio`; false (and `tio` unusable) for a setting termios
// can't express.
bool Encode(const DCB& dcb, termios& tio) {
  const Baud* baud = nullptr;
  for (const Baud& candidate : kBauds)
    if (candidate.rate == dcb.BaudRate) baud = &candidate;
  if (!baud) return false;

  tcflag_t cflag = tio.c_cflag & ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  cflag |= CLOCAL | CREAD;  // no modem-control hang-ups; the receiver always on
  switch (dcb.ByteSize) {
    case 5: cflag |= CS5; break;
    case 6: cflag |= CS6; break;
    case 7: cflag |= CS7; break;
    case 8: cflag |= CS8; break;
    default: return false;
  }
  switch (dcb.StopBits) {
    case ONESTOPBIT: break;
    case TWOSTOPBITS: cflag |= CSTOPB; break;
    default: return false;  // termios has no 1.5 stop bits
  }
  switch (dcb.Parity) {
    case NOPARITY: break;
    case ODDPARITY: cflag |= PARENB | PARODD; break;
    case EVENPARITY: cflag |= PARENB; break;
    case MARKPARITY: cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: cflag |= PARENB | CMSPAR; break;
    default: return false;
  }
  // CRTSCTS is Linux's one switch for both directions of RTS/CTS flow control, so it follows
  // fOutxCtsFlow alone: with the flag clear, output never waits on CTS.
  if (dcb.Flags & dcbflag::fOutxCtsFlow) cflag |= CRTSCTS;

  // Without INPCK the parity bit of received bytes is not tested and every byte is delivered as
  // it came; IGNPAR/PARMRK/ISTRIP only matter when it is tested, so they stay off.
  tcflag_t iflag = tio.c_iflag & ~(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY);
  if (dcb.Flags & dcbflag::fParity) iflag |= INPCK;
  if (dcb.Flags & dcbflag::fOutX) iflag |= IXON;
  if (dcb.Flags & dcbflag::fInX) iflag |= IXOFF;
  if (dcb.Flags & (dcbflag::fOutX | dcbflag::fInX)) {
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  }
  tio.c_cflag = cflag;
  tio.c_iflag = iflag;
  cfsetispeed(&tio, baud->code);
  cfsetospeed(&tio, baud->code);
  return true;
}

// RTS and DTR as the DCB's line-control fields ask. A pseudo-terminal has no modem lines and
// refuses these requests; that is ignored, the rest of the settings still hold.
void ApplyModemLines(int fd, DWORD flags) {
  const DWORD rts = (flags & dcbflag::fRtsControlMask) >> dcbflag::fRtsControlShift;
  const DWORD dtr = (flags & dcbflag::fDtrControlMask) >> dcbflag::fDtrControlShift;
  // Handshake without CTS flow control: the kernel does no RTS handshake then, and our input
  // buffer is the kernel's, so "ready to receive" is simply RTS asserted. Toggle (RTS only while
  // sending) has no termios counterpart; RTS stays low between writes.
  int rtsBit = TIOCM_RTS;
  ioctl(fd, (rts == RTS_CONTROL_ENABLE || rts == RTS_CONTROL_HANDSHAKE) ? TIOCMBIS : TIOCMBIC, &rtsBit);
  int dtrBit = TIOCM_DTR;
  ioctl(fd, dtr == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtrBit);
}

// The DCB of a port nobody has configured through us yet: its line settings as termios holds
// them, fixed values for the fields termios has no notion of.
DCB InitialDcb(const LineView& view) {
  DCB dcb;
  dcb.BaudRate = view.baudRate;
  dcb.ByteSize = view.byteSize;
  dcb.Parity = view.parity;
  dcb.StopBits = view.stopBits;
  const DWORD rts = (view.flags & dcbflag::fOutxCtsFlow) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  dcb.Flags = dcbflag::fBinary | view.flags | (DTR_CONTROL_ENABLE << dcbflag::fDtrControlShift) |
              (rts << dcbflag::fRtsControlShift);
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

std::int64_t NowUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// A poll() timeout for `us` microseconds, rounded up so a wait never ends short of its deadline.
int PollMs(std::int64_t us) {
  if (us <= 0) return 0;
  const std::int64_t ms = (us + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void SleepMs(DWORD ms) {
  timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

// Hang-up (the device went away, or a pseudo-terminal's master side was closed) or an error
// on the file; a hung-up tty also reports POLLIN, so these are checked first.
bool Broken(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

// Waits up to `ms` (-1: without limit) for `events`; false when the file is broken.
bool WaitFor(int fd, short events, int ms) {
  pollfd pfd{fd, events, 0};
  const int ready = poll(&pfd, 1, ms);
  if (ready < 0) return errno == EINTR;
  return ready == 0 || !Broken(pfd.revents);
}

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD /*desiredAccess*/, DWORD /*shareMode*/, void* /*securityAttributes*/,
                   DWORD creationDisposition, DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  // A port is always opened for reading and writing and always exclusively, as Windows does with
  // serial ports whatever the share mode asks.
  if (!fileName || creationDisposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
  const std::string path = posix::ResolvePortName(fileName);
  if (path.empty()) return INVALID_HANDLE_VALUE;

  // Only a character device is opened at all: opening a FIFO, a regular file or a directory
  // through a ports-folder entry would be wrong whatever came next.
  struct stat before {};
  if (stat(path.c_str(), &before) != 0 || !S_ISCHR(before.st_mode)) return INVALID_HANDLE_VALUE;
  // O_NONBLOCK: open() of a serial port without carrier would otherwise wait for DCD.
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  auto fail = [fd] {
    close(fd);
    return INVALID_HANDLE_VALUE;
  };
  // The same device as checked (the entry may have changed in between), and a terminal: a
  // character device such as /dev/null is not a port and is never written to.
  struct stat after {};
  if (fstat(fd, &after) != 0 || !S_ISCHR(after.st_mode) || after.st_rdev != before.st_rdev || !isatty(fd))
    return fail();

  // Exclusive like share mode 0. The flock belongs to this open file description, so it stops a
  // second open in this process and other processes, root included; TIOCEXCL in addition keeps
  // out programs that don't lock (terminal programs), except root, whom the kernel lets through.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail();
  ioctl(fd, TIOCEXCL);

  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return fail();
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  // VMIN = VTIME = 0: read() never blocks in the line discipline; the time-outs are ours (poll).
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0 || tcgetattr(fd, &tio) != 0) return fail();

  Port* port = new (std::nothrow) Port;
  if (!port) return fail();
  port->fd = fd;
  port->held = Decode(tio);
  port->dcb = InitialDcb(port->held);
  Register(port);
  return port;
}

bool SetupComm(HANDLE file, DWORD /*inQueue*/, DWORD /*outQueue*/) {
  // The kernel's tty buffers have fixed sizes (4 KiB in), larger than any queue asked for here.
  return Find(file) != nullptr;
}

bool GetCommState(HANDLE file, DCB* dcb) {
  Port* port = Find(file);
  termios tio{};
  if (!port || !dcb || tcgetattr(port->fd, &tio) != 0) return false;
  const LineView now = Decode(tio);
  const LineView& held = port->held;
  // Each setting is reported as last set while the device still shows what it showed right after
  // that set, and as the device holds it once it changed since (another program reconfigured the
  // port). The first rule covers what a device can't hold: a pseudo-terminal clears PARENB and
  // forces CS8 on every tcsetattr (it has no wire to frame), so mark parity would read back as
  // none and a read-modify-write of one field would quietly drop the parity the caller set.
  DCB state = port->dcb;
  if (now.baudRate != held.baudRate) state.BaudRate = now.baudRate;
  if (now.byteSize != held.byteSize) state.ByteSize = now.byteSize;
  if (now.parity != held.parity) state.Parity = now.parity;
  if (now.stopBits != held.stopBits) state.StopBits = now.stopBits;
  if (now.flags != held.flags) state.Flags = (state.Flags & ~kTermiosFlags) | now.flags;
  state.DCBlength = sizeof(DCB);
  *dcb = state;
  return true;
}

bool SetCommState(HANDLE file, const DCB* dcb) {
  Port* port = Find(file);
  termios tio{};
  if (!port || !dcb || tcgetattr(port->fd, &tio) != 0) return false;
  if (!Encode(*dcb, tio)) return false;  // nothing changed on the port
  // TCSANOW: the parity switch must not wait for output to drain — a pseudo-terminal whose other
  // side doesn't read would hold it forever. The program switches parity only when the line is
  // quiet (before sending an address, after the reply has arrived).
  if (tcsetattr(port->fd, TCSANOW, &tio) != 0) return false;
  ApplyModemLines(port->fd, dcb->Flags);
  if (tcgetattr(port->fd, &tio) != 0) return false;
  port->dcb = *dcb;
  port->held = Decode(tio);
  return true;
}

bool GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  Port* port = Find(file);
  if (!port || !timeouts) return false;
  *timeouts = port->timeouts;
  return true;
}

bool SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  Port* port = Find(file);
  if (!port || !timeouts) return false;
  port->timeouts = *timeouts;
  return true;
}

bool PurgeComm(HANDLE file, DWORD flags) {
  Port* port = Find(file);
  if (!port || (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) return false;
  // The abort flags have nothing to do: every read and write here is synchronous, so none is
  // pending while this runs.
  const bool in = (flags & PURGE_RXCLEAR) != 0;
  const bool out = (flags & PURGE_TXCLEAR) != 0;
  if (in || out) {
    if (tcflush(port->fd, in && out ? TCIOFLUSH : in ? TCIFLUSH : TCOFLUSH) != 0) return false;
  }
  if (in) port->lastInQue = 0;
  return true;
}

bool EscapeCommFunction(HANDLE file, DWORD function) {
  Port* port = Find(file);
  if (!port) return false;
  int bits = 0;
  unsigned long request = 0;
  switch (function) {
    case SETRTS: request = TIOCMBIS; bits = TIOCM_RTS; break;
    case CLRRTS: request = TIOCMBIC; bits = TIOCM_RTS; break;
    case SETDTR: request = TIOCMBIS; bits = TIOCM_DTR; break;
    case CLRDTR: request = TIOCMBIC; bits = TIOCM_DTR; break;
    default: return false;
  }
  // A pseudo-terminal has no modem lines and refuses (ENOTTY): reported as failure, harmless.
  return ioctl(port->fd, request, &bits) == 0;
}

bool ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  Port* port = Find(file);
  if (!port) return false;
  // A vanished device (unplugged adapter, closed pseudo-terminal master) is a failure that leaves
  // the caller's status record as it was.
  pollfd pfd{port->fd, 0, 0};
  if (poll(&pfd, 1, 0) > 0 && Broken(pfd.revents)) return false;
  int in = 0;
  int out = 0;
  if (ioctl(port->fd, TIOCINQ, &in) != 0) return false;
  if (ioctl(port->fd, TIOCOUTQ, &out) != 0) out = 0;
  port->lastInQue = static_cast<DWORD>(in);
  // Line errors are not latched per port by the tty layer; none are reported.
  if (errors) *errors = 0;
  if (stat) {
    stat->Flags = 0;
    stat->cbInQue = static_cast<DWORD>(in);
    stat->cbOutQue = static_cast<DWORD>(out);
  }
  return true;
}

bool ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* overlapped) {
  if (read) *read = 0;
  Port* port = Find(file);
  if (!port || overlapped || (!buffer && toRead > 0)) return false;
  // A hung-up tty reads as empty; without this check a read that returns at once would not fail.
  pollfd pfd{port->fd, 0, 0};
  if (poll(&pfd, 1, 0) > 0 && Broken(pfd.revents)) return false;
  const COMMTIMEOUTS& t = port->timeouts;

  // The Win32 rules: interval MAXDWORD with both totals 0 returns at once with what is there;
  // interval and multiplier MAXDWORD with a constant below MAXDWORD return as soon as anything
  // came, waiting at most the constant; otherwise a total of multiplier × bytes + constant (none
  // when both are 0) and an interval between two bytes (none when 0), counted from the first byte.
  const bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                      t.ReadTotalTimeoutConstant == 0;
  const bool firstByte = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
  const bool hasTotal = firstByte || t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
  const std::int64_t totalMs =
      firstByte ? t.ReadTotalTimeoutConstant
                : static_cast<std::int64_t>(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
  const bool hasInterval = !atOnce && !firstByte && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;

  auto* out = static_cast<unsigned char*>(buffer);
  const std::int64_t start = NowUs();
  std::int64_t lastByte = start;
  DWORD got = 0;
  bool ok = true;
  for (;;) {
    if (got < toRead) {
      // With VMIN = VTIME = 0 an empty queue reads as 0 bytes, and so does a hung-up tty; the
      // poll below tells the two apart.
      const ssize_t n = ::read(port->fd, out + got, toRead - got);
      if (n > 0) {
        got += static_cast<DWORD>(n);
        lastByte = NowUs();
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        ok = false;
        break;
      }
    }
    if (got == toRead || atOnce || (firstByte && got > 0)) break;
    const bool intervalRunning = hasInterval && got > 0;
    int pollMs = -1;  // neither time-out running: wait for input without limit
    if (hasTotal || intervalRunning) {
      const std::int64_t now = NowUs();
      std::int64_t waitUs = INT64_MAX;
      if (hasTotal) waitUs = start + totalMs * 1000 - now;
      if (intervalRunning)
        waitUs = std::min(waitUs, lastByte + static_cast<std::int64_t>(t.ReadIntervalTimeout) * 1000 - now);
      if (waitUs <= 0) break;
      pollMs = PollMs(waitUs);
    }
    if (!WaitFor(port->fd, POLLIN, pollMs)) {
      ok = false;
      break;
    }
  }
  if (got > 0) port->lastInQue = 0;  // the queue changed; the next ClearCommError tells
  if (read) *read = got;
  return ok;
}

bool WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* overlapped) {
  if (written) *written = 0;
  Port* port = Find(file);
  if (!port || overlapped || (!buffer && toWrite > 0)) return false;
  const COMMTIMEOUTS& t = port->timeouts;
  const bool hasTotal = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
  const std::int64_t deadline =
      NowUs() + (static_cast<std::int64_t>(t.WriteTotalTimeoutMultiplier) * toWrite + t.WriteTotalTimeoutConstant) * 1000;

  // Done once the kernel has taken every byte, like the Windows driver's buffered write; a time-out
  // ends the write with the bytes taken so far and success, as on Windows.
  const auto* in = static_cast<const unsigned char*>(buffer);
  DWORD done = 0;
  bool ok = true;
  while (done < toWrite) {
    const ssize_t n = ::write(port->fd, in + done, toWrite - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {  // EIO: the device went away
      ok = false;
      break;
    }
    const std::int64_t waitUs = hasTotal ? deadline - NowUs() : -1;
    if (hasTotal && waitUs <= 0) break;
    if (!WaitFor(port->fd, POLLOUT, hasTotal ? PollMs(waitUs) : -1)) {
      ok = false;
      break;
    }
  }
  if (written) *written = done;
  return ok;
}

bool CloseHandle(HANDLE object) {
  Port* port = Unregister(object);
  if (!port) return false;
  // Exclusive mode belongs to the tty, not to our file: clear it so the port isn't left locked for
  // whoever else still has it open. The flock goes with the close.
  ioctl(port->fd, TIOCNXCL);
  close(port->fd);  // on Linux the descriptor is released even when close reports an error
  delete port;
  return true;
}

DWORD GetTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);  // wraps every 49.7 days, like the Windows counter
}

void WaitBegin() {}  // poll() and nanosleep() need no timer set-up on Linux
void WaitEnd() {}

void WaitIdle(HANDLE file, DWORD ms) {
  Port* port = Find(file);
  // poll() for input would return at once while bytes are already queued (fewer than the wait
  // wants) and while the line is hung up; both cases nap 1 ms instead, or the wait would spin.
  if (port && port->lastInQue == 0) {
    // Sleep until input arrives or until the millisecond in which GetTickCount will have moved on
    // by `ms` begins: a plain poll() timeout of `ms` would count from mid-tick and overshoot.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t nowNs = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    const std::int64_t restNs = (nowNs / 1000000 + static_cast<std::int64_t>(ms)) * 1000000 - nowNs;
    const timespec timeout{static_cast<time_t>(restNs / 1000000000), static_cast<long>(restNs % 1000000000)};
    pollfd pfd{port->fd, POLLIN, 0};
    const int ready = ppoll(&pfd, 1, &timeout, nullptr);
    if (ready == 0 || (ready > 0 && !Broken(pfd.revents)) || (ready < 0 && errno == EINTR)) return;
  }
  SleepMs(ms < 1 ? ms : 1);
}

}  // namespace comm
