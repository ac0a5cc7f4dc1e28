// tests/unit/SimLineTest.cpp — the simulated line's own rules: device model, address lists, port names, read time-outs, faults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "comm/sim/DeviceModel.h"
#include "comm/sim/SimLine.h"

using namespace comm;
using comm::sim::Call;
using comm::sim::DeviceModel;
using comm::sim::DeviceSetup;
using comm::sim::LineSetup;
using comm::sim::Parity;
using comm::sim::ParseAddressList;
using comm::sim::Reply;
using comm::sim::SimLine;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

SimLine& Line() { return SimLine::Instance(); }

DeviceSetup Device(std::uint8_t address, std::uint32_t delayMs = 1) {
  DeviceSetup device;
  device.address = address;
  device.delayMs = delayMs;
  return device;
}

std::string Show(const std::vector<Reply>& replies) {
  std::string text;
  for (const Reply& reply : replies) {
    text += "+" + std::to_string(reply.delayMs) + ":";
    for (std::uint8_t byte : reply.bytes) text += " " + std::to_string(byte);
    text += ";";
  }
  return text;
}

HANDLE OpenCom(const char* name = "COM1") {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class SimLineTest : public ::testing::Test {
 protected:
  void SetUp() override { Line().Reset(); }
};

// ---------- DeviceModel ----------

TEST(DeviceModelTest, AnswersOnlyItsAddressAtMarkParity) {
  DeviceSetup custom = Device(0x42, 30);
  custom.reply = std::vector<std::uint8_t>{0x15, 0x16};
  DeviceSetup silent = Device(0x07);
  silent.answerProbability = 0.0;
  LineSetup one;
  one.devices = {Device(0x05)};
  LineSetup several;
  several.devices = {Device(0x05), custom, Device(0x05, 7), silent};
  LineSetup loop;
  loop.loopback = true;
  LineSetup loopWithDevice = loop;
  loopWithDevice.devices = {Device(0x05, 3)};

  struct Case {
    const char* what;
    LineSetup setup;
    std::uint8_t byte;
    Parity parity;
    std::string replies;
  };
  const Case cases[] = {
      {"its address at mark", one, 0x05, Parity::Mark, "+1: 5;"},
      {"its address at space", one, 0x05, Parity::Space, ""},
      {"its address without parity", one, 0x05, Parity::None, ""},
      {"its address at even parity", one, 0x05, Parity::Even, ""},
      {"another address", one, 0x06, Parity::Mark, ""},
      {"two devices on one address", several, 0x05, Parity::Mark, "+1: 5;+7: 5;"},
      {"scripted reply and delay", several, 0x42, Parity::Mark, "+30: 21 22;"},
      {"never answers", several, 0x07, Parity::Mark, ""},
      {"loop-back at space", loop, 0x05, Parity::Space, "+0: 5;"},
      {"loop-back and a device", loopWithDevice, 0x05, Parity::Mark, "+0: 5;+3: 5;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceModel model(c.setup);
    EXPECT_EQ(Show(model.OnByte(c.byte, c.parity)), c.replies);
  }
}

TEST(DeviceModelTest, UnreliableDeviceFollowsItsSeed) {
  auto answers = [](std::uint64_t seed) {
    LineSetup setup;
    DeviceSetup flaky = Device(0x10);
    flaky.answerProbability = 0.5;
    setup.devices = {flaky, Device(0x20)};
    setup.seed = seed;
    DeviceModel model(setup);
    std::vector<bool> result;
    for (int i = 0; i < 400; ++i) {
      result.push_back(!model.OnByte(0x10, Parity::Mark).empty());
      EXPECT_EQ(model.OnByte(0x20, Parity::Mark).size(), 1u);  // the reliable one always answers
    }
    return result;
  };
  const std::vector<bool> first = answers(7);
  EXPECT_EQ(answers(7), first);
  EXPECT_NE(answers(8), first);
  const auto yes = std::count(first.begin(), first.end(), true);
  EXPECT_GT(yes, 120);
  EXPECT_LT(yes, 280);
}

TEST(ParseAddressListTest, Table) {
  struct Good {
    const char* text;
    std::vector<std::uint8_t> addresses;
  };
  for (const Good& c : {Good{"05,42", {0x05, 0x42}}, Good{"00", {0x00}}, Good{"99,00,10", {0x99, 0x00, 0x10}},
                        Good{" 05 , 42 ", {0x05, 0x42}}, Good{"", {}}}) {
    SCOPED_TRACE(c.text);
    std::vector<std::uint8_t> addresses{0xEE};
    std::string error;
    EXPECT_TRUE(ParseAddressList(c.text, &addresses, &error)) << error;
    EXPECT_EQ(addresses, c.addresses);
  }

  struct Bad {
    const char* text;
    const char* named;  // what the error text must name
  };
  for (const Bad& c : {Bad{"5", "\"5\""}, Bad{"1a", "\"1a\""}, Bad{"100", "\"100\""}, Bad{"05,-1", "\"-1\""},
                       Bad{"0x5", "\"0x5\""}, Bad{"05,05", "\"05\""}, Bad{"05,,42", "empty"}, Bad{"05,", "empty"},
                       Bad{",05", "empty"}}) {
    SCOPED_TRACE(c.text);
    std::vector<std::uint8_t> addresses{0xEE};
    std::string error;
    EXPECT_FALSE(ParseAddressList(c.text, &addresses, &error));
    EXPECT_THAT(error, HasSubstr(c.named));
    EXPECT_THAT(addresses, ElementsAre(0xEE)) << "left as it was";
  }
}

// ---------- the port ----------

TEST_F(SimLineTest, OpensOnlyPortNamesWithTheExclusiveReadWriteOpen) {
  struct Case {
    const char* name;
    bool opens;
  };
  for (const Case& c : {Case{"COM1", true}, Case{"COM99", true}, Case{"\\\\.\\COM1", true}, Case{"\\\\.\\COM42", true},
                        Case{"COM0", false}, Case{"COM01", false}, Case{"COM100", false}, Case{"com1", false},
                        Case{"COM", false}, Case{"\\\\.\\COM", false}, Case{"\\\\?\\COM1", false},
                        Case{"COM1 ", false}, Case{"/dev/ttyS0", false}, Case{"", false}}) {
    SCOPED_TRACE(c.name);
    Line().Reset();
    const HANDLE h = OpenCom(c.name);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
    EXPECT_EQ(Line().IsOpen(), c.opens);
    if (c.opens) {
      EXPECT_NE(h, nullptr);
    }
  }

  struct Mode {
    const char* what;
    DWORD access, share, disposition;
  };
  for (const Mode& m : {Mode{"read only", GENERIC_READ, 0, OPEN_EXISTING},
                        Mode{"shared", GENERIC_READ | GENERIC_WRITE, 3, OPEN_EXISTING},
                        Mode{"create", GENERIC_READ | GENERIC_WRITE, 0, 2}}) {
    SCOPED_TRACE(m.what);
    Line().Reset();
    EXPECT_EQ(CreateFileA("COM1", m.access, m.share, nullptr, m.disposition, 0, nullptr), INVALID_HANDLE_VALUE);
  }
}

TEST_F(SimLineTest, PortIsExclusiveAndAnOldHandleDiesWithItsClose) {
  const HANDLE first = OpenCom("COM3");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenCom("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenCom("COM4"), INVALID_HANDLE_VALUE) << "the line has one port open at a time";
  ASSERT_TRUE(CloseHandle(first));
  EXPECT_FALSE(CloseHandle(first));

  const HANDLE second = OpenCom("COM3");
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);
  DCB dcb;
  EXPECT_FALSE(GetCommState(first, &dcb));
  EXPECT_TRUE(GetCommState(second, &dcb));
  EXPECT_EQ(Line().OpenCount(), 2);
  EXPECT_EQ(Line().CloseCount(), 1);
}

TEST_F(SimLineTest, FailedCallsLeaveTheCallersRecordsAlone) {
  const HANDLE h = OpenCom();
  Line().FailCall("GetCommState", 2, 2);  // the 2nd and 3rd
  DCB dcb;
  EXPECT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 1234;
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_FALSE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.BaudRate, 1234u);
  EXPECT_TRUE(GetCommState(h, &dcb));

  Line().ScheduleInput(Line().Clock(), {1, 2});
  Line().FailCall("ClearCommError", 1);
  COMSTAT stat;
  stat.cbInQue = 77;
  DWORD errors = 55;
  EXPECT_FALSE(ClearCommError(h, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 77u);
  EXPECT_EQ(errors, 55u);
  EXPECT_TRUE(ClearCommError(h, &errors, &stat));
  EXPECT_EQ(stat.cbInQue, 2u);

  Line().FailCall("ReadFile", 1);
  std::uint8_t buffer[2] = {};
  DWORD read = 9;
  EXPECT_FALSE(ReadFile(h, buffer, 2, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(Line().InputQueued(), 2u) << "a failed read takes nothing";

  EXPECT_EQ(Line().CountCalls("GetCommState"), 4);
  EXPECT_FALSE(Line().Calls().back().result);
}

// ---------- time ----------

TEST_F(SimLineTest, ReadFileHonoursTheTimeoutsInVirtualTime) {
  constexpr DWORD kMax = 0xFFFFFFFFu;
  struct Case {
    const char* what;
    COMMTIMEOUTS timeouts;
    std::vector<std::uint32_t> arrivals;  // ms after the call, one byte each
    DWORD toRead;
    DWORD read;
    std::uint32_t elapsedMs;
  };
  const Case cases[] = {
      {"total time-out, silence", {0, 20, 100, 0, 0}, {}, 1, 0, 120},
      {"total time-out, byte in time", {0, 20, 100, 0, 0}, {30}, 1, 1, 30},
      {"total time-out, byte too late", {0, 0, 100, 0, 0}, {101}, 1, 0, 100},
      {"total time-out for several bytes", {0, 10, 0, 0, 0}, {5, 15, 35}, 3, 2, 30},
      {"interval ends the read", {10, 0, 0, 0, 0}, {5, 12, 40}, 3, 2, 22},
      {"interval and total", {10, 20, 100, 0, 0}, {}, 1, 0, 120},
      {"return at once", {kMax, 0, 0, 0, 0}, {1}, 1, 0, 0},
      {"first byte or constant", {kMax, kMax, 50, 0, 0}, {20, 21}, 4, 1, 20},
      {"first byte or constant, silence", {kMax, kMax, 50, 0, 0}, {}, 4, 0, 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Line().Reset();
    const HANDLE h = OpenCom();
    ASSERT_TRUE(SetCommTimeouts(h, &c.timeouts));
    const std::uint32_t start = Line().Clock();
    for (std::uint32_t at : c.arrivals) Line().ScheduleInput(start + at, {0x55});
    std::uint8_t buffer[8] = {};
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(h, buffer, c.toRead, &read, nullptr));
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(Line().Clock() - start, c.elapsedMs);
  }
}

TEST_F(SimLineTest, PurgeDropsWhatHasArrivedAndNotWhatIsOnItsWay) {
  const HANDLE h = OpenCom();
  const std::uint32_t start = Line().Clock();
  Line().ScheduleInput(start, {1, 2});
  Line().ScheduleInput(start + 10, {3});
  EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_EQ(Line().InputQueued(), 0u);
  Line().Advance(10);
  EXPECT_EQ(Line().InputQueued(), 1u);
  EXPECT_FALSE(PurgeComm(h, 0x10)) << "unknown purge flag";
}

TEST_F(SimLineTest, ClockWrapsAndStepsWithEveryTickCount) {
  Line().SetClock(0xFFFFFFFEu);
  Line().SetTickStep(3);
  EXPECT_EQ(GetTickCount(), 0xFFFFFFFEu);
  EXPECT_EQ(GetTickCount(), 1u);
  const HANDLE h = OpenCom();
  Line().ScheduleInput(10, {7});  // 6 ms from now, across the wrap
  WaitIdle(h, 5);
  EXPECT_EQ(Line().InputQueued(), 0u);
  WaitIdle(h, 1);
  EXPECT_EQ(Line().InputQueued(), 1u);
  EXPECT_EQ(Line().Clock(), 10u);
}

// ---------- the line ----------

TEST_F(SimLineTest, WrittenBytesCarryTheParityInForceAndReachTheDevices) {
  const HANDLE h = OpenCom();
  Line().SetDevices({0x05}, 4);
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  DWORD written = 0;
  const std::uint8_t address = 0x05;
  for (std::uint8_t parity : {SPACEPARITY, NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY}) {
    dcb.Parity = parity;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(WriteFile(h, &address, 1, &written, nullptr));
    EXPECT_EQ(written, 1u);
  }
  std::vector<Parity> parities;
  for (const auto& sent : Line().Sent()) parities.push_back(sent.parity);
  EXPECT_THAT(parities, ElementsAre(Parity::Space, Parity::None, Parity::Odd, Parity::Even, Parity::Mark));
  EXPECT_EQ(Line().InputQueued(), 0u);
  Line().Advance(4);
  EXPECT_EQ(Line().InputQueued(), 1u) << "only the byte at mark parity was an address";

  dcb.Parity = 5;
  EXPECT_FALSE(SetCommState(h, &dcb)) << "no such parity";
  EXPECT_EQ(Line().DriverDcb().Parity, MARKPARITY);
}

TEST_F(SimLineTest, ReplyAtTheWrongParityIsAnErrorOnlyWhereParityIsChecked) {
  struct Case {
    DWORD flags;
    std::uint8_t received;
    DWORD errors;
  };
  for (const Case& c : {Case{0, 0x05, 0}, Case{dcbflag::fParity, 0x05, CE_RXPARITY},
                        Case{dcbflag::fParity | dcbflag::fErrorChar, 0x3F, CE_RXPARITY}}) {
    SCOPED_TRACE(c.flags);
    Line().Reset();
    const HANDLE h = OpenCom();
    DCB dcb = Line().DriverDcb();
    dcb.Flags = c.flags;
    dcb.Parity = MARKPARITY;
    dcb.ErrorChar = 0x3F;
    ASSERT_TRUE(SetCommState(h, &dcb));
    Line().SetDevices({0x05}, 0);
    Line().SetReplyParity(Parity::Space);
    const std::uint8_t address = 0x05;
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(h, &address, 1, &count, nullptr));
    DWORD errors = 0;
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, c.errors);
    std::uint8_t byte = 0;
    ASSERT_TRUE(ReadFile(h, &byte, 1, &count, nullptr));
    EXPECT_EQ(byte, c.received);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u) << "cleared by the previous poll";
  }
}

TEST_F(SimLineTest, UnpluggedPortFailsEverythingButTheClose) {
  const HANDLE h = OpenCom("COM7");
  Line().ScheduleInput(Line().Clock() + 30, {1});
  Line().UnplugAt(Line().Clock() + 20);
  DCB dcb;
  EXPECT_TRUE(GetCommState(h, &dcb));
  Line().Advance(20);
  EXPECT_FALSE(GetCommState(h, &dcb));
  COMSTAT stat;
  EXPECT_FALSE(ClearCommError(h, nullptr, &stat));
  const std::uint8_t byte = 0x05;
  DWORD count = 0;
  EXPECT_FALSE(WriteFile(h, &byte, 1, &count, nullptr));
  Line().Advance(20);
  EXPECT_EQ(Line().InputQueued(), 0u) << "nothing arrives any more";
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(OpenCom("COM7"), INVALID_HANDLE_VALUE);
  EXPECT_NE(OpenCom("COM8"), INVALID_HANDLE_VALUE);
}

TEST_F(SimLineTest, UnplugDuringABlockingReadFailsTheRead) {
  const HANDLE h = OpenCom();
  const COMMTIMEOUTS timeouts{0, 0, 100, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
  Line().ScheduleInput(Line().Clock() + 60, {1});
  Line().UnplugAt(Line().Clock() + 40);
  std::uint8_t byte = 0;
  DWORD read = 0;
  EXPECT_FALSE(ReadFile(h, &byte, 1, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(Line().Clock(), 40u);
}

TEST_F(SimLineTest, LogRecordsEveryCallAndTheHookMayActBetweenCalls) {
  std::vector<std::string> seen;
  Line().SetCallHook([&seen](const Call& call) {
    seen.push_back(call.name);
    // Acting from inside the hook: a byte arrives right after the write.
    if (call.name == "WriteFile") Line().ScheduleInput(Line().Clock() + 2, {0x99});
  });
  const HANDLE h = OpenCom();
  const std::uint8_t byte = 0x10;
  DWORD count = 0;
  WriteFile(h, &byte, 1, &count, nullptr);
  WaitBegin();
  WaitIdle(h, 2);
  WaitEnd();
  COMSTAT stat;
  ClearCommError(h, nullptr, &stat);
  EXPECT_EQ(stat.cbInQue, 1u);
  SetupComm(reinterpret_cast<HANDLE>(0x1234), 1, 1);

  EXPECT_THAT(seen, ElementsAre("CreateFileA", "WriteFile", "WaitBegin", "WaitIdle", "WaitEnd", "ClearCommError",
                                "SetupComm"));
  const std::vector<Call>& calls = Line().Calls();
  ASSERT_EQ(calls.size(), 7u);
  EXPECT_EQ(calls[3].atMs, 0u);
  EXPECT_THAT(calls[3].args, ElementsAre(2));
  EXPECT_EQ(calls[5].atMs, 2u);
  EXPECT_EQ(calls[5].text, "cbInQue=1");
  EXPECT_FALSE(calls[6].result) << "another handle value";
  EXPECT_EQ(Line().CountCalls("WaitIdle"), 1);

  Line().SetCallHook(nullptr);
  Line().ClearCalls();
  EXPECT_THAT(Line().Calls(), IsEmpty());
}

}  // namespace
