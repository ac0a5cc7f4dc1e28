// tests/unit/LibUnitTest.cpp — LibUnit's port control, receive wait and address probe against the simulated line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "comm/sim/SimLine.h"
#include "serial/LibUnit.h"

using namespace comm;
using comm::sim::Call;
using comm::sim::DeviceSetup;
using comm::sim::LineSetup;
using comm::sim::Parity;
using comm::sim::SimLine;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

SimLine& Line() { return SimLine::Instance(); }

// Every field of a DCB, so a mismatch shows which field differs.
std::string Fields(const DCB& d) {
  return "DCBlength=" + std::to_string(d.DCBlength) + " BaudRate=" + std::to_string(d.BaudRate) +
         " Flags=" + std::to_string(d.Flags) + " wReserved=" + std::to_string(d.wReserved) +
         " XonLim=" + std::to_string(d.XonLim) + " XoffLim=" + std::to_string(d.XoffLim) +
         " ByteSize=" + std::to_string(d.ByteSize) + " Parity=" + std::to_string(d.Parity) +
         " StopBits=" + std::to_string(d.StopBits) + " XonChar=" + std::to_string(d.XonChar) +
         " XoffChar=" + std::to_string(d.XoffChar) + " ErrorChar=" + std::to_string(d.ErrorChar) +
         " EofChar=" + std::to_string(d.EofChar) + " EvtChar=" + std::to_string(d.EvtChar) +
         " wReserved1=" + std::to_string(d.wReserved1);
}

std::vector<std::int64_t> Fields(const COMMTIMEOUTS& t) {
  return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
          t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

std::vector<std::string> Names(const std::vector<Call>& calls) {
  std::vector<std::string> names;
  for (const Call& call : calls) names.push_back(call.name);
  return names;
}

// The calls that make up an exchange, without the polls and idles of the wait.
std::vector<Call> Exchange() {
  std::vector<Call> calls;
  for (const Call& call : Line().Calls()) {
    if (call.name == "ClearCommError" || call.name == "GetTickCount" || call.name.rfind("Wait", 0) == 0) continue;
    calls.push_back(call);
  }
  return calls;
}

// The two-digit packed-BCD addresses 00–99.
std::vector<std::uint8_t> BusAddresses() {
  std::vector<std::uint8_t> addresses;
  for (int i = 0; i < 100; ++i) addresses.push_back(static_cast<std::uint8_t>(((i / 10) << 4) | (i % 10)));
  return addresses;
}

class LibUnitTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }

  // A fresh line and LibUnit's records as at program start.
  static void Fresh() {
    Line().Reset();
    // A wait that never ends (a limit taken as unsigned, a clock that never moves) would make the
    // line log calls until memory runs out; end the test instead.
    Line().SetCallHook([calls = 0](const Call&) mutable {
      if (++calls > 2'000'000) throw std::runtime_error("runaway: over two million comm calls in one test");
    });
    PortHandle = nullptr;
    PortDcb = DCB{};
    PortTimeouts = COMMTIMEOUTS{};
    PortStatus = COMSTAT{};
  }

  static void Open() {
    ASSERT_TRUE(OpenPort(1));
    Line().ClearCalls();
  }
};

// ---------- OpenPort ----------

TEST_F(LibUnitTest, OpenPortMakesExactlyTheOpeningAndConfigurationCalls) {
  struct Case {
    int port;
    const char* name;
  };
  for (const Case& c : {Case{1, "COM1"}, Case{9, "COM9"}, Case{10, "\\\\.\\COM10"}, Case{99, "\\\\.\\COM99"}}) {
    SCOPED_TRACE(c.name);
    Fresh();
    ASSERT_TRUE(OpenPort(c.port));
    EXPECT_EQ(Line().OpenName(), c.name);
    EXPECT_NE(PortHandle, INVALID_HANDLE_VALUE);
    EXPECT_NE(PortHandle, nullptr);

    const std::vector<Call>& calls = Line().Calls();
    ASSERT_THAT(Names(calls), ElementsAre("CreateFileA", "SetupComm", "GetCommState", "SetCommState", "GetCommTimeouts",
                                          "SetCommTimeouts", "PurgeComm", "EscapeCommFunction"));
    for (const Call& call : calls) EXPECT_TRUE(call.result) << call.name;
    EXPECT_EQ(calls[0].text, c.name);
    EXPECT_THAT(calls[0].args, ElementsAre(GENERIC_READ | GENERIC_WRITE, 0 /* share */, OPEN_EXISTING, 0 /* flags */));
    EXPECT_THAT(calls[1].args, ElementsAre(1024, 1024));
    EXPECT_THAT(calls[6].args, ElementsAre(PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_THAT(calls[6].args, ElementsAre(12));
    EXPECT_THAT(calls[7].args, ElementsAre(CLRDTR));
  }
}

TEST_F(LibUnitTest, OpenPortWritesTheNamedSettingsAndKeepsTheDriversOthers) {
  // Driver settings before the open: the line's defaults (parity checking, flow control, 7E2 at
  // 9600), and the same with every flag bit set, so only a write of the whole flag word passes.
  const DCB defaults = Line().DriverDcb();
  DCB allFlags = defaults;
  allFlags.Flags = 0xFFFFFFFFu;
  DCB noFlags = defaults;
  noFlags.Flags = 0;
  for (const DCB& driver : {defaults, allFlags, noFlags}) {
    SCOPED_TRACE(Fields(driver));
    Fresh();
    Line().SetDriverDcb(driver);
    ASSERT_TRUE(OpenPort(1));

    DCB expected = driver;
    expected.BaudRate = 115200;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    expected.Flags = 0x2081;
    expected.XonLim = 1;
    expected.XoffLim = 1;
    EXPECT_EQ(Fields(Line().DriverDcb()), Fields(expected));
    EXPECT_EQ(Fields(PortDcb), Fields(expected));
    EXPECT_EQ(expected.Flags, dcbflag::fBinary | dcbflag::fTXContinueOnXoff |
                                  (RTS_CONTROL_HANDSHAKE << dcbflag::fRtsControlShift));

    EXPECT_THAT(Fields(Line().DriverTimeouts()), ElementsAre(10, 20, 100, 1, 100));
    EXPECT_THAT(Fields(PortTimeouts), ElementsAre(10, 20, 100, 1, 100));
  }
}

TEST_F(LibUnitTest, FailedOpenConfiguresNothing) {
  struct Case {
    const char* what;
    int port;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"no such port", 3, [] { Line().SetPortPresent(3, false); }},
      {"held by another program", 3, [] { Line().SetPortBusy(3, true); }},
      {"already open here", 3,
       [] {
         ASSERT_NE(CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                   INVALID_HANDLE_VALUE);
       }},
      {"no access", 12, [] { Line().FailCall("CreateFileA", 1); }},
      {"port 0", 0, [] {}},
      {"port 100", 100, [] {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    const DCB driverBefore = Line().DriverDcb();
    const std::int64_t callsBefore = static_cast<std::int64_t>(Line().Calls().size());

    EXPECT_FALSE(OpenPort(c.port));
    EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(static_cast<std::int64_t>(Line().Calls().size()), callsBefore + 1) << "a call after the failed open";
    EXPECT_EQ(Line().Calls().back().name, "CreateFileA");
    EXPECT_FALSE(Line().Calls().back().result);
    EXPECT_EQ(Fields(Line().DriverDcb()), Fields(driverBefore));
  }
}

// ---------- SetParity ----------

TEST_F(LibUnitTest, SetParityChangesOnlyParity) {
  Open();
  const DCB opened = Line().DriverDcb();
  for (std::uint8_t parity : {MARKPARITY, SPACEPARITY}) {
    SCOPED_TRACE(static_cast<int>(parity));
    Line().ClearCalls();
    SetParity(parity);
    EXPECT_THAT(Names(Line().Calls()), ElementsAre("GetCommState", "SetCommState"));
    DCB expected = opened;
    expected.Parity = parity;
    EXPECT_EQ(Fields(Line().DriverDcb()), Fields(expected));
  }
}

TEST_F(LibUnitTest, SetParityReadsTheDriverAfreshAndFallsBackToTheHeldSettings) {
  Open();
  const DCB held = PortDcb;
  // The driver's settings changed since the open (another baud rate behind LibUnit's back).
  DCB changed = Line().DriverDcb();
  changed.BaudRate = 57600;
  Line().SetDriverDcb(changed);

  // A good read: the driver's current settings with the new parity.
  SetParity(MARKPARITY);
  DCB expected = changed;
  expected.Parity = MARKPARITY;
  EXPECT_EQ(Fields(Line().DriverDcb()), Fields(expected));

  // A failed read: the settings PortDcb already held are written back with the new parity.
  PortDcb = held;
  Line().SetDriverDcb(changed);
  Line().FailNext("GetCommState");
  SetParity(SPACEPARITY);
  expected = held;
  expected.Parity = SPACEPARITY;
  EXPECT_EQ(Fields(Line().DriverDcb()), Fields(expected));
}

// ---------- WaitForInput ----------

TEST_F(LibUnitTest, WaitEndsWhenTheByteArrivesAndCountsTheLastPollPastTheLimit) {
  // Between two polls the wait idles until input arrives, at most until the tick of the poll that
  // finds the limit passed: the wait for 100 ms ends with the poll that finds 101 ms gone, and a
  // byte that poll sees still counts.
  struct Case {
    const char* what;
    int arrivalMs;  // -1: nothing arrives
    bool result;
    std::uint32_t elapsedMs;
    int polls;
  };
  const Case cases[] = {
      {"already waiting", 0, true, 0, 1},       {"within the limit", 50, true, 50, 2},
      {"at the limit", 100, true, 100, 2},      {"seen by the last poll, past the limit", 101, true, 101, 2},
      {"after the last poll", 102, false, 101, 2}, {"silence", -1, false, 101, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Open();
    const std::uint32_t start = Line().Clock();
    if (c.arrivalMs >= 0) Line().ScheduleInput(start + c.arrivalMs, {0x42});
    EXPECT_EQ(WaitForInput(1, 100), c.result);
    EXPECT_EQ(Line().Clock() - start, c.elapsedMs);
    EXPECT_EQ(Line().CountCalls("ClearCommError"), c.polls);
    EXPECT_EQ(Line().CountCalls("WaitIdle"), c.polls - 1) << "an idle between two polls, none after the last";
    for (const auto& call : Line().Calls()) {
      if (call.name == "WaitIdle") {
        EXPECT_THAT(call.args, ElementsAre(101)) << "never idles past the limit's tick";
      }
    }
    EXPECT_EQ(PortStatus.cbInQue, c.result ? 1u : 0u);
  }
}

TEST_F(LibUnitTest, WaitComparesCountAndLimitAsSignedValues) {
  struct Case {
    std::int32_t count;
    std::int32_t limit;
    bool byteWaiting;
    bool result;
    int polls;
  };
  const Case cases[] = {
      // A count of 0 or less is met at the first poll.
      {0, 100, false, true, 1},
      {-1, 100, false, true, 1},
      {INT32_MIN, 100, false, true, 1},
      {0, -1, false, true, 1},
      // A negative limit ends the wait after the first poll; what that poll saw decides.
      {1, -1, false, false, 1},
      {1, INT32_MIN, false, false, 1},
      {1, -1, true, true, 1},
      // A limit of 0: the first poll finds 0 ms gone, which is not past it.
      {1, 0, false, false, 2},
      // More bytes than arrive: the full wait.
      {2, 100, true, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("count " + std::to_string(c.count) + ", limit " + std::to_string(c.limit) +
                 (c.byteWaiting ? ", a byte waiting" : ""));
    Fresh();
    Open();
    if (c.byteWaiting) Line().ScheduleInput(Line().Clock(), {0x42});
    EXPECT_EQ(WaitForInput(c.count, c.limit), c.result);
    EXPECT_EQ(Line().CountCalls("ClearCommError"), c.polls);
  }
}

TEST_F(LibUnitTest, WaitLastsTheFullLimitAcrossTheTickCountersWrap) {
  for (std::uint32_t start : {0u, 0xFFFFFFFFu - 50, 0xFFFFFFFFu, 0xFFFFFFFFu - 100, 0xFFFFFFFFu - 101}) {
    SCOPED_TRACE(start);
    Fresh();
    Open();
    Line().SetClock(start);
    EXPECT_FALSE(WaitForInput(1, 100));
    EXPECT_EQ(Line().Clock() - start, 101u);
    EXPECT_EQ(Line().CountCalls("ClearCommError"), 2);

    // And a byte arriving just after the wrap is found in time.
    Line().ClearCalls();
    const std::uint32_t again = Line().Clock();
    Line().ScheduleInput(again + 60, {0x42});
    EXPECT_TRUE(WaitForInput(1, 100));
    EXPECT_EQ(Line().Clock() - again, 60u);
  }
}

TEST_F(LibUnitTest, WaitIdlesOnlyWhatIsLeftOfTheLimit) {
  // A clock that moves on by itself between polls (as a real one does while the driver answers):
  // each idle is bounded by what is left until the limit's tick, and the wait still ends with the
  // first poll that finds the limit passed.
  Open();
  Line().SetTickStep(30);
  const std::uint32_t start = Line().Clock();
  EXPECT_FALSE(WaitForInput(1, 100));
  std::vector<std::int64_t> idles;
  for (const auto& call : Line().Calls()) {
    if (call.name == "WaitIdle") idles.push_back(call.args.at(0));
  }
  // Ticks read 0 (start), 30 → idle 71 → 131: past the limit.
  EXPECT_THAT(idles, ElementsAre(71));
  EXPECT_EQ(Line().Clock() - start, 161u) << "the last reading, 131, and the step after it";
}

TEST_F(LibUnitTest, FailingPollKeepsTheLastCount) {
  // The wait goes on, or ends, on the count the last successful poll left.
  Open();
  Line().FailCall("ClearCommError", 1, -1);
  Line().ScheduleInput(Line().Clock(), {0x42});  // there, but no poll can see it
  const std::uint32_t start = Line().Clock();
  EXPECT_FALSE(WaitForInput(1, 100));
  EXPECT_EQ(Line().Clock() - start, 101u);
  EXPECT_EQ(PortStatus.cbInQue, 0u);

  Fresh();
  Open();
  Line().ScheduleInput(Line().Clock(), {0x42});
  ASSERT_TRUE(WaitForInput(1, 100));
  PurgeComm(PortHandle, PURGE_RXCLEAR);  // the byte is gone ...
  Line().FailNext("ClearCommError", -1);
  EXPECT_TRUE(WaitForInput(1, 100));  // ... but the stale count still says one
  EXPECT_EQ(PortStatus.cbInQue, 1u);
}

// ---------- ProbeAddress ----------

TEST_F(LibUnitTest, ProbeMakesTheExchangeAtMarkParity) {
  Open();
  Line().SetDevices({0x42}, 5);
  ASSERT_TRUE(ProbeAddress(0x42));

  const std::vector<Call> exchange = Exchange();
  ASSERT_THAT(Names(exchange), ElementsAre("GetCommState", "SetCommState", "PurgeComm", "WriteFile", "ReadFile",
                                           "GetCommState", "SetCommState"));
  EXPECT_EQ(exchange[1].args[7], MARKPARITY);  // Parity field of the record written
  EXPECT_THAT(exchange[2].args, ElementsAre(PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_THAT(exchange[3].args, ElementsAre(1, 0x42));
  EXPECT_EQ(exchange[3].text, "mark");
  EXPECT_THAT(exchange[4].args, ElementsAre(1));
  EXPECT_EQ(exchange[4].text, "42");
  EXPECT_EQ(exchange[6].args[7], SPACEPARITY);

  // The wait is counted from the write: the reply came 5 ms after it.
  EXPECT_EQ(exchange[4].atMs - exchange[3].atMs, 5u);
  ASSERT_EQ(Line().Sent().size(), 1u);
  EXPECT_EQ(Line().Sent()[0].parity, Parity::Mark);
}

TEST_F(LibUnitTest, ProbeOutcomes) {
  auto device = [](std::uint8_t address, std::uint32_t delayMs, std::vector<std::uint8_t> reply) {
    LineSetup setup;
    DeviceSetup d;
    d.address = address;
    d.delayMs = delayMs;
    d.reply = std::move(reply);
    setup.devices.push_back(d);
    Line().SetLine(setup);
  };
  struct Case {
    const char* what;
    std::function<void()> arrange;
    bool found;
    std::uint32_t leftInQueue;
    std::uint8_t address = 0x37;
  };
  const Case cases[] = {
      {"answers", [] { Line().SetDevices({0x37}, 1); }, true, 0},
      {"answers at once", [] { Line().SetDevices({0x37}, 0); }, true, 0},
      {"answers at 100 ms", [] { Line().SetDevices({0x37}, 100); }, true, 0},
      {"answer seen by the last poll", [] { Line().SetDevices({0x37}, 101); }, true, 0},
      {"answers too late", [] { Line().SetDevices({0x37}, 102); }, false, 0},
      {"only another device", [] { Line().SetDevices({0x36, 0x38}, 1); }, false, 0},
      {"another byte", [&device] { device(0x37, 1, {0x17}); }, false, 0},
      {"several bytes", [&device] { device(0x37, 1, {0x37, 0xAA, 0xBB}); }, true, 2},
      {"several bytes, first wrong", [&device] { device(0x37, 1, {0xAA, 0x37}); }, false, 1},
      {"empty reply", [&device] { device(0x37, 1, {}); }, false, 0},
      // The port does not check received parity (fParity 0), though the driver's did before the
      // open: a reply at the wrong parity is taken as it is.
      {"reply at the wrong parity",
       [] {
         Line().SetDevices({0x37}, 1);
         Line().SetReplyParity(Parity::Space);
       },
       true, 0},
      // At address 00, so a byte that was never read can't match by chance of a zeroed buffer.
      {"read delivers nothing",
       [] {
         Line().SetDevices({0x00}, 1);
         Line().EmptyRead(1);
       },
       false, 1, 0x00},
      {"read fails",
       [] {
         Line().SetDevices({0x00}, 1);
         Line().FailCall("ReadFile", 1);
       },
       false, 1, 0x00},
      {"write fails",
       [] {
         Line().SetDevices({0x37}, 1);
         Line().FailCall("WriteFile", 1);
       },
       false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Open();
    c.arrange();
    EXPECT_EQ(ProbeAddress(c.address), c.found);
    EXPECT_EQ(Line().DriverDcb().Parity, c.found ? SPACEPARITY : MARKPARITY);
    EXPECT_EQ(PortDcb.Parity, c.found ? SPACEPARITY : MARKPARITY);
    EXPECT_EQ(Line().InputQueued(), c.leftInQueue);
  }
}

TEST_F(LibUnitTest, LeftoversOfAnEarlierProbeAreDiscardedByTheNextPurge) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"late reply", [] { Line().SetDevices({0x05}, 150); }},
      {"surplus bytes",
       [] {
         LineSetup setup;
         DeviceSetup d;
         d.address = 0x05;
         d.reply = std::vector<std::uint8_t>{0x01, 0x05, 0x05};
         setup.devices.push_back(d);
         Line().SetLine(setup);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Open();
    c.arrange();
    EXPECT_FALSE(ProbeAddress(0x05));
    Line().Advance(100);  // the operator's pace: whatever was coming has come
    ASSERT_GE(Line().InputQueued(), 1u);
    Line().SetDevices({});
    // Without the purge the 0x05 left in the queue would pass for an answer.
    EXPECT_FALSE(ProbeAddress(0x05));
    EXPECT_EQ(Line().InputQueued(), 0u);
  }
}

TEST_F(LibUnitTest, LoopBackMakesEveryAddressAnswer) {
  Open();
  LineSetup loop;
  loop.loopback = true;
  Line().SetLine(loop);
  for (std::uint8_t address : BusAddresses()) EXPECT_TRUE(ProbeAddress(address)) << static_cast<int>(address);
  ASSERT_EQ(Line().Sent().size(), 100u);
  for (const auto& sent : Line().Sent()) EXPECT_EQ(sent.parity, Parity::Mark);
}

TEST_F(LibUnitTest, ScanOfAllAddressesFindsExactlyTheDevices) {
  Open();
  Line().SetDevices({0x00, 0x42, 0x99}, 20);
  std::vector<std::uint8_t> found;
  const std::uint32_t start = Line().Clock();
  for (std::uint8_t address : BusAddresses()) {
    if (ProbeAddress(address)) found.push_back(address);
  }
  EXPECT_THAT(found, ElementsAre(0x00, 0x42, 0x99));
  // 97 silent addresses at 101 ms and three answers at 20 ms each.
  EXPECT_EQ(Line().Clock() - start, 97u * 101 + 3 * 20);
  std::vector<std::uint8_t> sent;
  for (const auto& s : Line().Sent()) sent.push_back(s.byte);
  EXPECT_THAT(sent, ElementsAreArray(BusAddresses()));
}

// ---------- ClosePort ----------

TEST_F(LibUnitTest, ClosePortPurgesClosesAndForgetsTheHandle) {
  Open();
  EXPECT_TRUE(ClosePort());
  const std::vector<Call>& calls = Line().Calls();
  ASSERT_THAT(Names(calls), ElementsAre("PurgeComm", "CloseHandle"));
  EXPECT_THAT(calls[0].args, ElementsAre(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  EXPECT_THAT(calls[0].args, ElementsAre(15));
  EXPECT_TRUE(calls[1].result);
  EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Line().IsOpen());
  EXPECT_EQ(Line().CloseCount(), 1);

  // The port can be opened again.
  EXPECT_TRUE(OpenPort(1));
  EXPECT_TRUE(ClosePort());
}

TEST_F(LibUnitTest, FailedCloseKeepsTheHandle) {
  Open();
  const HANDLE open = PortHandle;
  Line().FailCall("CloseHandle", 1);
  EXPECT_FALSE(ClosePort());
  EXPECT_EQ(PortHandle, open);
  EXPECT_TRUE(Line().IsOpen());
  // The kept handle still closes the port.
  EXPECT_TRUE(ClosePort());
  EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Line().IsOpen());
}

TEST_F(LibUnitTest, UnpluggedAdapterSilencesProbesAndStillCloses) {
  Open();
  Line().SetDevices({0x05}, 1);
  Line().UnplugAt(Line().Clock() + 50);
  EXPECT_TRUE(ProbeAddress(0x05));
  Line().Advance(50);
  EXPECT_FALSE(ProbeAddress(0x05));
  EXPECT_TRUE(ClosePort());
  EXPECT_EQ(PortHandle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(OpenPort(1));  // the port has gone with the adapter
}

}  // namespace
