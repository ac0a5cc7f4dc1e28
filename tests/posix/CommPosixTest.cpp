// tests/posix/CommPosixTest.cpp — the termios comm layer and LibUnit against real pseudo-terminals with a peer on the master.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "comm/Comm.h"
#include "serial/LibUnit.h"

namespace {

using namespace comm;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

HANDLE Open(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// A pseudo-terminal: the master is the far end of the line, the slave the port under test. The
// test keeps one slave descriptor of its own so the line exists between the opens of the tests.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string slavePath;

  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slavePath = ptsname(master);
    slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() { Hangup(); }
  // The line vanishes: the master side closes, which hangs up every slave descriptor.
  void Hangup() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    master = slave = -1;
  }

  // The line settings as the far end sees them: on a pty, tcgetattr on the master reports the
  // slave's termios (the master has none of its own).
  termios MasterView() const {
    termios tio{};
    tcgetattr(master, &tio);
    return tio;
  }
  void Send(const std::string& bytes) const { ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Everything the port sent within `ms`.
  std::string Received(int ms = 200) const {
    std::string got;
    const auto start = Clock::now();
    while (MsSince(start) < ms) {
      pollfd pfd{master, POLLIN, 0};
      if (poll(&pfd, 1, 10) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, size_t(n));
    }
    return got;
  }
};

// A device on the master side: echoes the bytes listed in `answers`, but only when they arrive
// while the port is at mark parity (CMSPAR|PARODD in the master's view), like a bus device that
// takes only address bytes.
class EchoPeer {
 public:
  EchoPeer(int master, std::set<unsigned char> answers) : master_(master), answers_(std::move(answers)), thread_([this] { Run(); }) {}
  ~EchoPeer() {
    stop_ = true;
    thread_.join();
  }
  std::vector<unsigned char> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, 5) <= 0 || !(pfd.revents & POLLIN)) continue;
      unsigned char buffer[64];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      termios tio{};
      tcgetattr(master_, &tio);
      const bool mark = (tio.c_cflag & (CMSPAR | PARODD)) == (CMSPAR | PARODD);
      for (ssize_t i = 0; i < n; ++i) {
        {
          std::lock_guard lock(mutex_);
          seen_.push_back(buffer[i]);
        }
        if (mark && answers_.count(buffer[i])) (void)!write(master_, &buffer[i], 1);
      }
    }
  }
  int master_;
  std::set<unsigned char> answers_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<unsigned char> seen_;
  std::thread thread_;
};

// A private ports folder in a temporary XDG_CONFIG_HOME, and a pseudo-terminal to map in it.
class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(pty.slave, 0) << "no pseudo-terminal";
    for (const char* name : {"XDG_CONFIG_HOME", "HOME"}) {
      const char* value = std::getenv(name);
      savedEnv.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    char tmpl[] = "/tmp/busfinder-posix-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    ports = root / "busfinder" / "ports";
    fs::create_directories(ports);
    setenv("XDG_CONFIG_HOME", root.c_str(), 1);
  }
  void TearDown() override {
    for (HANDLE h : opened) CloseHandle(h);
    if (PortHandle != nullptr && PortHandle != INVALID_HANDLE_VALUE) ClosePort();
    for (const auto& [name, value] : savedEnv) value ? (void)setenv(name, value->c_str(), 1) : (void)unsetenv(name);
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Ports-folder entry COM<n> (or any entry name) → target.
  void Map(const std::string& entry, const fs::path& target, const fs::path& folder = {}) {
    fs::create_symlink(target, (folder.empty() ? ports : folder) / entry);
  }
  HANDLE OpenKept(const std::string& name) {
    HANDLE h = Open(name);
    if (h != INVALID_HANDLE_VALUE) opened.push_back(h);
    return h;
  }
  void Close(HANDLE h) {
    std::erase(opened, h);
    EXPECT_TRUE(CloseHandle(h));
  }
  // Waits (bounded) until the port's input queue holds `count` bytes; pty delivery is asynchronous.
  DWORD InQueue(HANDLE h, DWORD count) {
    COMSTAT stat;
    DWORD errors = 0;
    const auto start = Clock::now();
    while (ClearCommError(h, &errors, &stat) && stat.cbInQue < count && MsSince(start) < 2000)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return stat.cbInQue;
  }

  Pty pty;
  fs::path root, ports;
  std::vector<HANDLE> opened;
  std::vector<std::pair<const char*, std::optional<std::string>>> savedEnv;
};

// ---------------------------------------------------------------------------------------------
// Names and the ports folder

TEST_F(PtyTest, NamesReachOnlyTheirPortsFolderEntries) {
  for (const char* entry : {"COM5", "COM10", "COM97", "COM99"}) Map(entry, pty.slavePath);
  // Entries named like the garbage names, so a layer that looked up any name in the folder would
  // open them.
  for (const char* entry : {"COM05", "com5", "COM100", "COM0", "COM5 "}) Map(entry, pty.slavePath);

  struct Case {
    std::string name;
    bool opens;
  };
  const Case cases[] = {
      {"COM5", true},        {"\\\\.\\COM5", true}, {"\\\\.\\COM10", true}, {"COM10", true},
      {"COM97", true},       {"\\\\.\\COM99", true}, {"COM98", false},      {"COM05", false},
      {"com5", false},       {"COM5 ", false},       {"COM100", false},     {"COM0", false},
      {"", false},           {pty.slavePath, false}, {"\\\\.\\" + pty.slavePath, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE('"' + c.name + '"');
    HANDLE h = Open(c.name);
    ASSERT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    if (!c.opens) continue;
    // It is this line: a byte written through the handle reaches the master.
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "n", 1, &written, nullptr));
    EXPECT_EQ(pty.Received(100), "n");
    EXPECT_TRUE(CloseHandle(h));
  }
  EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
}

TEST_F(PtyTest, PortsFolderComesFromXdgConfigHomeElseHome) {
  // An entry overrides the built-in device (COM1 would be /dev/ttyS0).
  Map("COM1", pty.slavePath);
  Map("COM97", pty.slavePath);
  HANDLE h = Open("COM1");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));

  // Without XDG_CONFIG_HOME (or with a relative one) the folder is ~/.config/busfinder/ports.
  const fs::path homePorts = root / "home" / ".config" / "busfinder" / "ports";
  fs::create_directories(homePorts);
  Map("COM7", pty.slavePath, homePorts);
  setenv("HOME", (root / "home").c_str(), 1);
  for (const char* xdg : {static_cast<const char*>(nullptr), "relative/dir"}) {
    SCOPED_TRACE(xdg ? xdg : "unset");
    xdg ? (void)setenv("XDG_CONFIG_HOME", xdg, 1) : (void)unsetenv("XDG_CONFIG_HOME");
    h = Open("COM7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
    // COM97 has no built-in device, so only the (now unused) XDG folder's entry could open it.
    EXPECT_EQ(Open("COM97"), INVALID_HANDLE_VALUE);
  }
}

// ---------------------------------------------------------------------------------------------
// Opening

TEST_F(PtyTest, OpenIsExclusiveAcrossHandlesAndProcesses) {
  Map("COM5", pty.slavePath);
  HANDLE first = OpenKept("COM5");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("COM5"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("\\\\.\\COM5"), INVALID_HANDLE_VALUE);

  // Another process. These tests run as root too, which TIOCEXCL lets through; the lock must hold.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(Open("COM5") == INVALID_HANDLE_VALUE ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child opened a port held here";

  Close(first);
  HANDLE again = OpenKept("COM5");
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closing releases the port";
}

TEST_F(PtyTest, NonTerminalsAreRefusedAndLeftUntouched) {
  const fs::path file = root / "plain.txt";
  const std::string content = "must stay as it is\n";
  std::ofstream(file) << content;
  const fs::path dir = root / "dir";
  fs::create_directory(dir);
  const fs::path fifo = root / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Hold the FIFO's read end, so anything written into it would show.
  const int fifoReader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fifoReader, 0);

  const fs::path targets[] = {file, dir, fifo, root / "missing", "/dev/null"};
  int port = 20;
  for (const fs::path& target : targets) {
    SCOPED_TRACE(target.string());
    const std::string name = "COM" + std::to_string(++port);
    Map(name, target);
    EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
  }
  // A dangling entry also hides the built-in device rather than falling back to it.
  Map("COM2", root / "missing");
  EXPECT_EQ(Open("COM2"), INVALID_HANDLE_VALUE);

  std::stringstream after;
  after << std::ifstream(file).rdbuf();
  EXPECT_EQ(after.str(), content);
  char byte;
  EXPECT_LE(read(fifoReader, &byte, 1), 0) << "a byte was written into the FIFO";
  close(fifoReader);
}

// ---------------------------------------------------------------------------------------------
// Line settings

TEST_F(PtyTest, OpenPortSetsTheLineAsTheFarEndSeesIt) {
  Map("COM5", pty.slavePath);
  ASSERT_TRUE(OpenPort(5));
  const termios tio = pty.MasterView();
  EXPECT_EQ(cfgetospeed(&tio), speed_t(B115200));
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD | CRTSCTS | CSTOPB), tcflag_t(CLOCAL | CREAD)) << "no CTS flow control";
  EXPECT_EQ(tio.c_iflag & (INPCK | IXON | IXOFF), 0u) << "received parity not tested, no XON/XOFF";
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);

  DCB dcb;
  ASSERT_TRUE(GetCommState(PortHandle, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.Flags, libunit::kFlags);
  EXPECT_EQ(dcb.XonLim, 1);
  EXPECT_EQ(dcb.XoffLim, 1);
  COMMTIMEOUTS timeouts;
  ASSERT_TRUE(GetCommTimeouts(PortHandle, &timeouts));
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
  // A pseudo-terminal has no modem lines: the DTR request is refused, and nothing else suffers.
  EXPECT_FALSE(EscapeCommFunction(PortHandle, CLRDTR));
  EXPECT_TRUE(ClosePort());
  EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
}

TEST_F(PtyTest, ParityShowsOnTheMasterAndOnlyParityChanges) {
  Map("COM5", pty.slavePath);
  ASSERT_TRUE(OpenPort(5));
  DCB opened;
  ASSERT_TRUE(GetCommState(PortHandle, &opened));

  // A pty clears PARENB on every set (it frames nothing), but keeps CMSPAR and PARODD; the
  // layer still reports the parity that was set, so SetParity's read-modify-write works.
  struct Case {
    BYTE parity;
    tcflag_t bits;  // CMSPAR|PARODD as the master sees them
  };
  const Case cases[] = {
      {MARKPARITY, CMSPAR | PARODD}, {SPACEPARITY, CMSPAR}, {MARKPARITY, CMSPAR | PARODD},
      {ODDPARITY, PARODD},           {EVENPARITY, 0},       {NOPARITY, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.parity));
    SetParity(c.parity);
    EXPECT_EQ(pty.MasterView().c_cflag & (CMSPAR | PARODD), c.bits);
    DCB now;
    ASSERT_TRUE(GetCommState(PortHandle, &now));
    EXPECT_EQ(now.Parity, c.parity);
    now.Parity = opened.Parity;
    EXPECT_EQ(std::memcmp(&now, &opened, sizeof now), 0) << "a field other than Parity changed";
  }
}

TEST_F(PtyTest, SettingsTermiosCantHoldAreRefusedWithoutChange) {
  Map("COM5", pty.slavePath);
  HANDLE h = OpenKept("COM5");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB base;
  ASSERT_TRUE(GetCommState(h, &base));
  base.BaudRate = 115200;
  base.Parity = MARKPARITY;
  ASSERT_TRUE(SetCommState(h, &base));
  const termios before = pty.MasterView();

  struct Case {
    const char* what;
    void (*change)(DCB&);
  };
  const Case refused[] = {
      {"baud 12345", [](DCB& d) { d.BaudRate = 12345; }},
      {"baud 0", [](DCB& d) { d.BaudRate = 0; }},
      {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
      {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
      {"1.5 stop bits", [](DCB& d) { d.StopBits = ONE5STOPBITS; }},
      {"parity 5", [](DCB& d) { d.Parity = 5; }},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.what);
    DCB dcb = base;
    dcb.Parity = SPACEPARITY;  // would show if the refused set were half applied
    c.change(dcb);
    EXPECT_FALSE(SetCommState(h, &dcb));
    const termios after = pty.MasterView();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    DCB now;
    ASSERT_TRUE(GetCommState(h, &now));
    EXPECT_EQ(std::memcmp(&now, &base, sizeof now), 0);
  }

  const struct {
    const char* what;
    void (*change)(DCB&);
    bool (*seen)(const termios&);
  } accepted[] = {
      {"9600 baud", [](DCB& d) { d.BaudRate = 9600; }, [](const termios& t) { return cfgetospeed(&t) == B9600; }},
      {"two stop bits", [](DCB& d) { d.StopBits = TWOSTOPBITS; }, [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
      {"parity checked", [](DCB& d) { d.Flags |= dcbflag::fParity; }, [](const termios& t) { return (t.c_iflag & INPCK) != 0; }},
      {"CTS flow", [](DCB& d) { d.Flags |= dcbflag::fOutxCtsFlow; }, [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
  };
  for (const auto& c : accepted) {
    SCOPED_TRACE(c.what);
    DCB dcb = base;
    c.change(dcb);
    EXPECT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(c.seen(pty.MasterView()));
    DCB now;
    ASSERT_TRUE(GetCommState(h, &now));
    EXPECT_EQ(std::memcmp(&now, &dcb, sizeof now), 0) << "reads back as set";
  }
}

// A setting changed behind the layer's back (another program) is reported as the port holds it.
TEST_F(PtyTest, StateReportsChangesMadeByOthers) {
  Map("COM5", pty.slavePath);
  HANDLE h = OpenKept("COM5");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 115200;
  dcb.Parity = MARKPARITY;
  ASSERT_TRUE(SetCommState(h, &dcb));

  termios tio = pty.MasterView();
  cfsetospeed(&tio, B9600);
  cfsetispeed(&tio, B9600);
  tio.c_cflag |= CSTOPB;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &tio), 0);
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  EXPECT_EQ(dcb.Parity, MARKPARITY) << "still as set: the pty can't show it either way";
}

// ---------------------------------------------------------------------------------------------
// The exchange

TEST_F(PtyTest, ProbeExchangeFindsTheDevicesThatEchoAtMarkParity) {
  Map("COM5", pty.slavePath);
  EchoPeer peer(pty.master, {0x05, 0x42});
  ASSERT_TRUE(OpenPort(5));
  struct Case {
    unsigned char address;
    bool found;
  };
  const Case cases[] = {{0x05, true}, {0x17, false}, {0x42, true}, {0x99, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.address));
    EXPECT_EQ(ProbeAddress(c.address), c.found);
    // A found device leaves the port at space parity, a silent one at mark.
    EXPECT_EQ(pty.MasterView().c_cflag & (CMSPAR | PARODD), c.found ? tcflag_t(CMSPAR) : tcflag_t(CMSPAR | PARODD));
  }
  EXPECT_TRUE(ClosePort());
  const std::vector<unsigned char> sent = {0x05, 0x17, 0x42, 0x99};
  EXPECT_EQ(peer.Seen(), sent) << "one address byte per probe, nothing else";
}

TEST_F(PtyTest, InputCountAndPurge) {
  Map("COM5", pty.slavePath);
  HANDLE h = OpenKept("COM5");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS atOnce{kMaxDword, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &atOnce));

  pty.Send("abcd");
  EXPECT_EQ(InQueue(h, 4), 4u);
  char byte = 0;
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h, &byte, 1, &read, nullptr));
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(byte, 'a');
  EXPECT_EQ(InQueue(h, 3), 3u);

  EXPECT_TRUE(PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_EQ(InQueue(h, 0), 0u);
  char rest[8];
  ASSERT_TRUE(ReadFile(h, rest, sizeof rest, &read, nullptr));
  EXPECT_EQ(read, 0u);

  EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_FALSE(PurgeComm(h, 0x10)) << "unknown purge flag";
}

TEST_F(PtyTest, ReadTimeoutsAreHonoured) {
  Map("COM5", pty.slavePath);
  HANDLE h = OpenKept("COM5");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // Bounds are generous: at least the time-out, and well under what a missing time-out would take
  // (the 5 s constants) — no claim about speed.
  struct Case {
    const char* what;
    COMMTIMEOUTS timeouts;
    std::string arriving;
    DWORD toRead;
    DWORD got;
    long atLeastMs;
  };
  const Case cases[] = {
      {"total constant, silent line", {0, 0, 150, 0, 0}, "", 1, 0, 150},
      {"multiplier per byte, silent line", {0, 50, 0, 0, 0}, "", 4, 0, 200},
      {"the program's time-outs, byte waiting", {10, 20, 100, 1, 100}, "q", 1, 1, 0},
      {"interval ends a short reply", {50, 0, 5000, 0, 0}, "xy", 10, 2, 50},
      {"MAXDWORD interval returns at once", {kMaxDword, 0, 0, 0, 0}, "pq", 10, 2, 0},
      {"MAXDWORD interval and multiplier: first bytes end it", {kMaxDword, kMaxDword, 5000, 0, 0}, "k", 10, 1, 0},
      {"MAXDWORD interval and multiplier, silent line", {kMaxDword, kMaxDword, 100, 0, 0}, "", 10, 0, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(SetCommTimeouts(h, &c.timeouts));
    if (!c.arriving.empty()) {
      pty.Send(c.arriving);
      ASSERT_EQ(InQueue(h, DWORD(c.arriving.size())), c.arriving.size());
    }
    char buffer[16] = {};
    DWORD read = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(h, buffer, c.toRead, &read, nullptr));
    const long ms = MsSince(start);
    EXPECT_EQ(read, c.got);
    EXPECT_EQ(std::string(buffer, read), c.arriving.substr(0, read));
    EXPECT_GE(ms, c.atLeastMs);
    EXPECT_LT(ms, 2000);
  }
}

TEST_F(PtyTest, WriteTimeoutEndsAWriteTheFarEndNeverTakes) {
  Map("COM5", pty.slavePath);
  HANDLE h = OpenKept("COM5");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 200};
  ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
  // The master never reads, so the pty's buffers fill and the rest of the write must time out.
  const std::vector<char> big(1 << 20, 'w');
  DWORD written = 0;
  const auto start = Clock::now();
  EXPECT_TRUE(WriteFile(h, big.data(), DWORD(big.size()), &written, nullptr));
  const long ms = MsSince(start);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_GE(ms, 200);
  EXPECT_LT(ms, 5000);
}

TEST_F(PtyTest, VanishedLineFailsWithoutHanging) {
  Map("COM5", pty.slavePath);
  ASSERT_TRUE(OpenPort(5));
  HANDLE h = PortHandle;
  pty.Hangup();

  COMSTAT stat;
  stat.Flags = 7;
  stat.cbInQue = 8;
  stat.cbOutQue = 9;
  DWORD errors = 5;
  EXPECT_FALSE(ClearCommError(h, &errors, &stat));
  EXPECT_EQ(stat.Flags, 7u);
  EXPECT_EQ(stat.cbInQue, 8u);
  EXPECT_EQ(stat.cbOutQue, 9u);

  char byte = 'v';
  DWORD count = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(ReadFile(h, &byte, 1, &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(WriteFile(h, &byte, 1, &count, nullptr));
  EXPECT_EQ(count, 0u);
  WaitIdle(h, 20);
  PortStatus = COMSTAT{};
  EXPECT_FALSE(WaitForInput(1, 100));
  EXPECT_FALSE(ProbeAddress(0x05));
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_TRUE(ClosePort());
}

// ---------------------------------------------------------------------------------------------
// Handles and the clock

TEST_F(PtyTest, InvalidHandlesAreRefused) {
  Map("COM5", pty.slavePath);
  HANDLE closed = Open("COM5");
  ASSERT_NE(closed, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(closed));
  int notAPort = 0;

  for (HANDLE h : {HANDLE(nullptr), INVALID_HANDLE_VALUE, closed, HANDLE(&notAPort)}) {
    SCOPED_TRACE(h);
    DCB dcb;
    COMMTIMEOUTS timeouts;
    COMSTAT stat;
    DWORD errors = 0, count = 0;
    char byte = 0;
    EXPECT_FALSE(SetupComm(h, 1024, 1024));
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_FALSE(GetCommTimeouts(h, &timeouts));
    EXPECT_FALSE(SetCommTimeouts(h, &timeouts));
    EXPECT_FALSE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_FALSE(EscapeCommFunction(h, CLRDTR));
    EXPECT_FALSE(ClearCommError(h, &errors, &stat));
    EXPECT_FALSE(ReadFile(h, &byte, 1, &count, nullptr));
    EXPECT_FALSE(WriteFile(h, &byte, 1, &count, nullptr));
    WaitIdle(h, 1);
    EXPECT_FALSE(CloseHandle(h));
  }
  EXPECT_EQ(notAPort, 0);
}

TEST(CommPosixClock, TickCountIsMonotonicMilliseconds) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto expected = static_cast<DWORD>(std::uint64_t(now.tv_sec) * 1000u + std::uint64_t(now.tv_nsec) / 1000000u);
  EXPECT_LE(DWORD(GetTickCount() - expected), 50u);
}

}  // namespace
