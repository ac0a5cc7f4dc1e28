// comm/sim/SimLine.cpp — the simulated serial line: the comm services over a virtual clock, scripted devices, a call log and injected faults.
#include "comm/sim/SimLine.h"

// How the line behaves where the header leaves it open:
// - One thread: the line is a process-wide singleton without locks, like the program it serves.
// - Every comm call is logged, failed ones too; GetTickCount and the Wait* calls never fail.
// - A received byte is lost while no handle holds the port; closing the port empties its queue.
// - UnplugAt takes away the port that is open when the time comes; with no port open it does
//   nothing. Input on its way at that time never arrives.
// - ReadFile follows the COMMTIMEOUTS rules of Win32 in virtual time. Where Win32 would block for
//   ever (no time-out at all and nothing scheduled) it returns with what it has.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <utility>

namespace comm::sim {

namespace {

constexpr int kMaxPort = 99;
constexpr DWORD kMaxDword = std::numeric_limits<DWORD>::max();

// What a driver reports before the program changes anything: plausible settings of a port left at
// 9600 7E2 with software flow control, parity checking and an error character. Every field the
// program does not write is non-zero where Win32 allows it, so a test can tell a kept field from
// one that was cleared, and every flag the program must clear is set.
DCB DefaultDcb() {
  DCB dcb;
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.Flags = dcbflag::fBinary | dcbflag::fParity | (DTR_CONTROL_ENABLE << dcbflag::fDtrControlShift) |
              dcbflag::fOutX | dcbflag::fInX | dcbflag::fErrorChar |
              (RTS_CONTROL_ENABLE << dcbflag::fRtsControlShift) | dcbflag::fAbortOnError;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 7;
  dcb.Parity = EVENPARITY;
  dcb.StopBits = TWOSTOPBITS;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x3F;
  dcb.EofChar = 0x1A;
  dcb.EvtChar = 0x0D;
  return dcb;
}

COMMTIMEOUTS DefaultTimeouts() { return COMMTIMEOUTS{50, 10, 500, 10, 1000}; }

Parity ParityOf(BYTE dcbParity) {
  switch (dcbParity) {
    case ODDPARITY: return Parity::Odd;
    case EVENPARITY: return Parity::Even;
    case MARKPARITY: return Parity::Mark;
    case SPACEPARITY: return Parity::Space;
    default: return Parity::None;
  }
}

// The ninth bit a byte carries at a parity setting (None carries none).
std::optional<bool> ParityBit(Parity parity, std::uint8_t byte) {
  const bool oddOnes = (std::popcount(byte) & 1) != 0;
  switch (parity) {
    case Parity::Mark: return true;
    case Parity::Space: return false;
    case Parity::Even: return oddOnes;
    case Parity::Odd: return !oddOnes;
    case Parity::None: break;
  }
  return std::nullopt;
}

const char* StopBitsName(BYTE stopBits) {
  switch (stopBits) {
    case ONESTOPBIT: return "1";
    case ONE5STOPBITS: return "1.5";
    case TWOSTOPBITS: return "2";
    default: return "?";
  }
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  char buffer[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(buffer, sizeof buffer, "%02X", bytes[i]);
    if (!text.empty()) text += ' ';
    text += buffer;
  }
  return text;
}

// "COMn" or "\\.\COMn", n = 1–99 written without leading zeros.
bool ParsePortName(const char* name, int* port) {
  if (name == nullptr) return false;
  std::string text(name);
  const std::string devicePrefix = "\\\\.\\";
  if (text.rfind(devicePrefix, 0) == 0) text.erase(0, devicePrefix.size());
  if (text.size() < 4 || text.size() > 5 || text.compare(0, 3, "COM") != 0) return false;
  int value = 0;
  for (std::size_t i = 3; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (text[3] == '0' || value < 1 || value > kMaxPort) return false;
  *port = value;
  return true;
}

}  // namespace

struct SimLine::State {
  struct Arrival {
    std::uint8_t byte = 0;
    std::optional<Parity> parity;  // unset: the parity the port expects
  };
  struct Fault {
    std::string name;
    int nth = 0;
    int times = 0;
  };

  // The clock: `now` is the time line (never wraps), the 32-bit reading is now + base.
  std::int64_t now = 0;
  std::uint32_t base = 0;
  std::uint32_t tickStep = 0;

  std::array<bool, kMaxPort + 1> present{};
  std::array<bool, kMaxPort + 1> busy{};
  bool open = false;
  bool dead = false;  // unplugged while open: every call but CloseHandle fails
  int openPort = 0;
  std::string openName;
  HANDLE handle = nullptr;
  int openCount = 0;
  int closeCount = 0;
  std::optional<std::int64_t> unplugAt;

  DeviceModel model;
  std::optional<Parity> replyParity;
  std::multimap<std::int64_t, Arrival> pending;  // not yet arrived; equal times keep their order
  std::deque<std::uint8_t> inQueue;               // arrived: what cbInQue counts and ReadFile takes
  DWORD inQueueSize = 4096;
  DWORD latchedErrors = 0;
  std::vector<SentByte> sent;

  DCB dcb = DefaultDcb();
  COMMTIMEOUTS timeouts = DefaultTimeouts();

  std::map<std::string, int> counts;
  std::vector<Fault> faults;
  std::vector<int> emptyReads;
  std::vector<Call> calls;
  std::shared_ptr<std::function<void(const Call&)>> hook;
  bool inHook = false;

  State() {
    present.fill(true);
    present[0] = false;
  }

  std::uint32_t Clock() const { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now) + base); }

  // A clock reading to the time line: within 2^31 ms behind the clock it is the past.
  std::int64_t ToTime(std::uint32_t atMs) const {
    return now + static_cast<std::int32_t>(atMs - Clock());
  }

  // Moves what has arrived by now into the input queue. Parity is judged with the settings in
  // force at arrival; those only change through calls, and every call settles first.
  void Settle() {
    while (!pending.empty() && pending.begin()->first <= now) {
      Arrival arrival = pending.begin()->second;
      pending.erase(pending.begin());
      if (!open) continue;  // nobody holds the port: the byte is lost
      const Parity expected = ParityOf(dcb.Parity);
      if (arrival.parity && (dcb.Flags & dcbflag::fParity) != 0 && expected != Parity::None) {
        const auto sentBit = ParityBit(*arrival.parity, arrival.byte);
        if (sentBit && *sentBit != *ParityBit(expected, arrival.byte)) {
          latchedErrors |= CE_RXPARITY;
          if ((dcb.Flags & dcbflag::fErrorChar) != 0) arrival.byte = static_cast<std::uint8_t>(dcb.ErrorChar);
        }
      }
      if (inQueue.size() >= inQueueSize) {
        latchedErrors |= CE_RXOVER;
        continue;
      }
      inQueue.push_back(arrival.byte);
    }
  }

  void CheckUnplug() {
    if (!unplugAt || now < *unplugAt) return;
    unplugAt.reset();
    // Nothing arrives any more, and the adapter with its port number is gone.
    pending.erase(pending.lower_bound(now), pending.end());
    if (open) {
      dead = true;
      present[openPort] = false;
      inQueue.clear();
    }
  }

  // Everything a call does first: the clock's consequences, then the call counted and stamped.
  Call Begin(const char* name, std::vector<std::int64_t> args = {}) {
    CheckUnplug();
    Settle();
    ++counts[name];
    Call call;
    call.name = name;
    call.args = std::move(args);
    call.atMs = Clock();
    return call;
  }

  bool Faulted(const std::string& name) {
    const int n = counts[name];
    for (const Fault& fault : faults) {
      if (fault.name == name && n >= fault.nth && (fault.times < 0 || n < fault.nth + fault.times)) return true;
    }
    return false;
  }

  // A call on the port handle that may go ahead: right handle, port still there, no fault.
  bool Usable(HANDLE file, const std::string& name) {
    const bool faulted = Faulted(name);
    return open && file == handle && !dead && !faulted;
  }

  bool End(Call call, bool result) {
    call.result = result;
    calls.push_back(call);
    if (hook && !inHook) {
      // A hook that calls the comm services itself is logged but not called again from within.
      // It runs through its own reference, so it may replace itself (and keep state between calls).
      const auto running = hook;
      struct Guard {
        bool& flag;
        ~Guard() { flag = false; }
      } guard{inHook};
      inHook = true;
      (*running)(call);
    }
    return result;
  }

  // The wait of a synchronous ReadFile in virtual time, by the COMMTIMEOUTS rules of Win32.
  // Returns false when the adapter went away during the wait.
  bool Read(std::uint8_t* buffer, DWORD toRead, DWORD* delivered) {
    DWORD got = 0;
    auto take = [&] {
      bool any = false;
      while (got < toRead && !inQueue.empty()) {
        buffer[got++] = inQueue.front();
        inQueue.pop_front();
        any = true;
      }
      return any;
    };
    take();
    const COMMTIMEOUTS& t = timeouts;
    std::optional<std::int64_t> totalDeadline;
    std::optional<std::int64_t> interval;
    bool returnOnAny = false;
    bool wait = got < toRead;
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
      wait = false;  // return at once with what is there
    } else if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
               t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < kMaxDword) {
      returnOnAny = true;  // what is there, else wait up to the constant for the first byte
      totalDeadline = now + t.ReadTotalTimeoutConstant;
    } else {
      const std::uint64_t total =
          static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * toRead + t.ReadTotalTimeoutConstant;
      if (total > 0) totalDeadline = now + static_cast<std::int64_t>(std::min<std::uint64_t>(total, 1ull << 40));
      if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword) interval = t.ReadIntervalTimeout;
    }
    std::int64_t lastByte = now;
    while (wait && got < toRead && !(returnOnAny && got > 0)) {
      std::optional<std::int64_t> deadline = totalDeadline;
      if (interval && got > 0) {
        const std::int64_t gap = lastByte + *interval;
        deadline = deadline ? std::min(*deadline, gap) : gap;
      }
      std::optional<std::int64_t> next;
      if (!pending.empty()) next = pending.begin()->first;
      if (unplugAt) next = next ? std::min(*next, *unplugAt) : *unplugAt;
      if (!next || (deadline && *next > *deadline)) {
        // Nothing arrives in time. Without any time-out Win32 would block for ever; the
        // simulation cannot, so it returns with what it has.
        if (deadline) now = std::max(now, *deadline);
        break;
      }
      now = std::max(now, *next);
      CheckUnplug();
      if (dead) {
        *delivered = 0;
        return false;
      }
      Settle();
      if (take()) lastByte = now;
    }
    *delivered = got;
    return true;
  }
};

SimLine& SimLine::Instance() {
  static SimLine line;
  return line;
}

namespace {
// The comm services below are free functions; they reach the one line's state through this.
SimLine::State* g_state = nullptr;
}  // namespace

SimLine::SimLine() : state_(new State) { g_state = state_; }

void SimLine::Reset() { *state_ = State(); }

void SimLine::SetPortPresent(int portNumber, bool present) {
  if (portNumber >= 1 && portNumber <= kMaxPort) state_->present[portNumber] = present;
}

void SimLine::SetPortBusy(int portNumber, bool busy) {
  if (portNumber >= 1 && portNumber <= kMaxPort) state_->busy[portNumber] = busy;
}

bool SimLine::IsOpen() const { return state_->open; }
std::string SimLine::OpenName() const { return state_->openName; }
int SimLine::OpenCount() const { return state_->openCount; }
int SimLine::CloseCount() const { return state_->closeCount; }

void SimLine::SetLine(const LineSetup& setup) { state_->model = DeviceModel(setup); }

void SimLine::SetDevices(const std::vector<std::uint8_t>& addresses, std::uint32_t delayMs) {
  LineSetup setup = state_->model.Setup();
  setup.devices.clear();
  for (std::uint8_t address : addresses) {
    DeviceSetup device;
    device.address = address;
    device.delayMs = delayMs;
    setup.devices.push_back(device);
  }
  state_->model = DeviceModel(setup);
}

void SimLine::ScheduleInput(std::uint32_t atMs, const std::vector<std::uint8_t>& bytes) {
  const std::int64_t at = std::max(state_->now, state_->ToTime(atMs));
  for (std::uint8_t byte : bytes) state_->pending.emplace(at, State::Arrival{byte, std::nullopt});
}

void SimLine::UnplugAt(std::uint32_t atMs) { state_->unplugAt = std::max(state_->now, state_->ToTime(atMs)); }

void SimLine::SetReplyParity(std::optional<Parity> parity) { state_->replyParity = parity; }

void SimLine::SetClock(std::uint32_t ms) {
  // Only the reading changes: no time passes, and what is scheduled keeps its distance from now.
  state_->base += ms - state_->Clock();
}

std::uint32_t SimLine::Clock() const { return state_->Clock(); }

void SimLine::Advance(std::uint32_t ms) { state_->now += ms; }

void SimLine::SetTickStep(std::uint32_t ms) { state_->tickStep = ms; }

DCB SimLine::DriverDcb() const { return state_->dcb; }

void SimLine::SetDriverDcb(const DCB& dcb) {
  state_->CheckUnplug();
  state_->Settle();  // what already arrived was received under the old settings
  state_->dcb = dcb;
}

COMMTIMEOUTS SimLine::DriverTimeouts() const { return state_->timeouts; }

std::uint32_t SimLine::InputQueued() const {
  state_->CheckUnplug();
  state_->Settle();
  return static_cast<std::uint32_t>(state_->inQueue.size());
}

std::vector<SentByte> SimLine::Sent() const { return state_->sent; }

void SimLine::FailCall(const std::string& name, int nth, int times) {
  state_->faults.push_back(State::Fault{name, nth, times});
}

void SimLine::FailNext(const std::string& name, int times) {
  state_->faults.push_back(State::Fault{name, state_->counts[name] + 1, times});
}

void SimLine::EmptyRead(int nth) { state_->emptyReads.push_back(nth); }

void SimLine::ClearFaults() {
  state_->faults.clear();
  state_->emptyReads.clear();
}

const std::vector<Call>& SimLine::Calls() const { return state_->calls; }

void SimLine::ClearCalls() { state_->calls.clear(); }

int SimLine::CountCalls(const std::string& name) const {
  return static_cast<int>(std::count_if(state_->calls.begin(), state_->calls.end(),
                                        [&name](const Call& call) { return call.name == name; }));
}

void SimLine::SetCallHook(std::function<void(const Call&)> hook) {
  state_->hook = hook ? std::make_shared<std::function<void(const Call&)>>(std::move(hook)) : nullptr;
}

}  // namespace comm::sim

// --- the comm services on the simulated line ---

namespace comm {

namespace {

sim::SimLine::State& S() {
  sim::SimLine::Instance();
  return *sim::g_state;
}

}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* /*securityAttributes*/,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
  auto& s = S();
  sim::Call call = s.Begin("CreateFileA", {desiredAccess, shareMode, creationDisposition, flagsAndAttributes});
  call.text = fileName != nullptr ? fileName : "";
  const bool faulted = s.Faulted(call.name);
  int port = 0;
  // A serial port opens only for reading and writing, unshared, as an existing device; a second
  // open of the same port fails as on Windows (the first holder has it exclusively).
  const bool ok = !faulted && !s.open && sim::ParsePortName(fileName, &port) && s.present[port] && !s.busy[port] &&
                  desiredAccess == (GENERIC_READ | GENERIC_WRITE) && shareMode == 0 &&
                  creationDisposition == OPEN_EXISTING;
  if (ok) {
    s.open = true;
    s.dead = false;
    s.openPort = port;
    s.openName = call.text;
    ++s.openCount;
    // A new value per open, so a handle kept from an earlier open no longer works.
    s.handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x5100 + 0x10 * s.openCount));
  }
  s.End(std::move(call), ok);
  return ok ? s.handle : INVALID_HANDLE_VALUE;
}

bool SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  auto& s = S();
  sim::Call call = s.Begin("SetupComm", {inQueue, outQueue});
  const bool ok = s.Usable(file, call.name);
  if (ok && inQueue > 0) s.inQueueSize = inQueue;
  return s.End(std::move(call), ok);
}

bool GetCommState(HANDLE file, DCB* dcb) {
  auto& s = S();
  sim::Call call = s.Begin("GetCommState");
  const bool ok = s.Usable(file, call.name) && dcb != nullptr;
  if (ok) *dcb = s.dcb;  // on failure the caller's record stays as it was
  return s.End(std::move(call), ok);
}

bool SetCommState(HANDLE file, const DCB* dcb) {
  auto& s = S();
  sim::Call call = s.Begin("SetCommState");
  bool ok = s.Usable(file, call.name) && dcb != nullptr;
  if (dcb != nullptr) {
    // All fields in the record's order, so a test can compare the whole record.
    call.args = {dcb->DCBlength, dcb->BaudRate, dcb->Flags, dcb->wReserved, dcb->XonLim, dcb->XoffLim,
                 dcb->ByteSize, dcb->Parity,    dcb->StopBits, dcb->XonChar, dcb->XoffChar, dcb->ErrorChar,
                 dcb->EofChar,  dcb->EvtChar,   dcb->wReserved1};
    char text[64];
    std::snprintf(text, sizeof text, "%lu %u %s %s flags=0x%04lX", static_cast<unsigned long>(dcb->BaudRate),
                  static_cast<unsigned>(dcb->ByteSize), sim::ParityName(sim::ParityOf(dcb->Parity)),
                  sim::StopBitsName(dcb->StopBits), static_cast<unsigned long>(dcb->Flags));
    call.text = text;
    // Like a driver, refuse settings a UART can't have; the old settings stay.
    ok = ok && dcb->Parity <= SPACEPARITY && dcb->StopBits <= TWOSTOPBITS && dcb->ByteSize >= 4 &&
         dcb->ByteSize <= 8;
  }
  if (ok) s.dcb = *dcb;
  return s.End(std::move(call), ok);
}

bool GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
  auto& s = S();
  sim::Call call = s.Begin("GetCommTimeouts");
  const bool ok = s.Usable(file, call.name) && timeouts != nullptr;
  if (ok) *timeouts = s.timeouts;
  return s.End(std::move(call), ok);
}

bool SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  auto& s = S();
  sim::Call call = s.Begin("SetCommTimeouts");
  if (timeouts != nullptr) {
    call.args = {timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                 timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                 timeouts->WriteTotalTimeoutConstant};
  }
  const bool ok = s.Usable(file, call.name) && timeouts != nullptr;
  if (ok) s.timeouts = *timeouts;
  return s.End(std::move(call), ok);
}

bool PurgeComm(HANDLE file, DWORD flags) {
  auto& s = S();
  sim::Call call = s.Begin("PurgeComm", {flags});
  const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
  const bool ok = s.Usable(file, call.name) && (flags & ~known) == 0;
  // Only what has arrived is discarded; a reply still on its way arrives after the purge, as on
  // a real line. Writes leave at once, so there is never output to clear or abort.
  if (ok && (flags & PURGE_RXCLEAR) != 0) s.inQueue.clear();
  return s.End(std::move(call), ok);
}

bool EscapeCommFunction(HANDLE file, DWORD function) {
  auto& s = S();
  sim::Call call = s.Begin("EscapeCommFunction", {function});
  // SETXOFF (1) … CLRBREAK (9); the line state they set is not modelled.
  const bool ok = s.Usable(file, call.name) && function >= 1 && function <= 9;
  return s.End(std::move(call), ok);
}

bool ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
  auto& s = S();
  sim::Call call = s.Begin("ClearCommError");
  const bool ok = s.Usable(file, call.name);
  if (ok) {
    // On failure neither record is touched: the caller keeps its last count.
    if (errors != nullptr) *errors = s.latchedErrors;
    s.latchedErrors = 0;
    if (stat != nullptr) {
      *stat = COMSTAT{};
      stat->cbInQue = static_cast<DWORD>(s.inQueue.size());
    }
    call.text = "cbInQue=" + std::to_string(s.inQueue.size());
  }
  return s.End(std::move(call), ok);
}

bool ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, void* /*overlapped*/) {
  auto& s = S();
  sim::Call call = s.Begin("ReadFile", {toRead});
  if (read != nullptr) *read = 0;  // Win32 clears the count before anything else
  bool ok = s.Usable(file, call.name) && (buffer != nullptr || toRead == 0);
  DWORD delivered = 0;
  const bool empty = std::find(s.emptyReads.begin(), s.emptyReads.end(), s.counts[call.name]) != s.emptyReads.end();
  if (ok && !empty) ok = s.Read(static_cast<std::uint8_t*>(buffer), toRead, &delivered);
  if (ok) {
    if (read != nullptr) *read = delivered;
    call.text = sim::Hex(static_cast<const std::uint8_t*>(buffer), delivered);
  }
  return s.End(std::move(call), ok);
}

bool WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, void* /*overlapped*/) {
  auto& s = S();
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::vector<std::int64_t> args{toWrite};
  if (bytes != nullptr) args.insert(args.end(), bytes, bytes + toWrite);
  sim::Call call = s.Begin("WriteFile", std::move(args));
  if (written != nullptr) *written = 0;
  const bool ok = s.Usable(file, call.name) && (bytes != nullptr || toWrite == 0);
  const sim::Parity parity = sim::ParityOf(s.dcb.Parity);
  call.text = sim::ParityName(parity);
  if (ok) {
    // At 115200 baud a byte takes well under a millisecond: every byte leaves at `now`.
    for (DWORD i = 0; i < toWrite; ++i) {
      s.sent.push_back(sim::SentByte{bytes[i], parity, s.Clock()});
      const std::vector<sim::Reply> replies = s.model.OnByte(bytes[i], parity);
      for (std::size_t r = 0; r < replies.size(); ++r) {
        // The loop-back echo (always first) carries the byte's own parity; devices answer at
        // the parity the test set, if any.
        const bool echo = r == 0 && s.model.Setup().loopback;
        for (std::uint8_t byte : replies[r].bytes) {
          s.pending.emplace(s.now + replies[r].delayMs,
                            sim::SimLine::State::Arrival{byte, echo ? std::nullopt : s.replyParity});
        }
      }
    }
    if (written != nullptr) *written = toWrite;
  }
  return s.End(std::move(call), ok);
}

bool CloseHandle(HANDLE object) {
  auto& s = S();
  sim::Call call = s.Begin("CloseHandle");
  // A port whose adapter went away still closes: that is how a program lets go of it.
  const bool faulted = s.Faulted(call.name);
  const bool ok = s.open && object == s.handle && !faulted;
  if (ok) {
    s.open = false;
    s.dead = false;
    ++s.closeCount;
    s.inQueue.clear();
    s.latchedErrors = 0;
  }
  return s.End(std::move(call), ok);
}

DWORD GetTickCount() {
  auto& s = S();
  sim::Call call = s.Begin("GetTickCount");
  const DWORD now = s.Clock();
  s.now += s.tickStep;  // the step passes after the answer
  s.End(std::move(call), true);
  return now;
}

void WaitBegin() {
  auto& s = S();
  s.End(s.Begin("WaitBegin"), true);
}

void WaitIdle(HANDLE file, DWORD ms) {
  auto& s = S();
  sim::Call call = s.Begin("WaitIdle", {ms});
  // The idle is where a receive wait passes time; it passes even on a bad handle, so no wait
  // can stall the virtual clock. Like a port that wakes on input, it ends early when a byte
  // arrives on the open port.
  std::int64_t until = s.now + ms;
  if (s.open && !s.dead && file == s.handle) {
    const auto next = s.pending.upper_bound(s.now);
    if (next != s.pending.end() && next->first < until) until = next->first;
  }
  s.now = until;
  s.End(std::move(call), s.open && file == s.handle);
}

void WaitEnd() {
  auto& s = S();
  s.End(s.Begin("WaitEnd"), true);
}

}  // namespace comm
