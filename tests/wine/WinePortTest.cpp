// tests/wine/WinePortTest.cpp — LibUnit on kernel32 under Wine, against the pseudo-terminals pty_peer.py maps as COM3 and COM10.
//
// Run by pty_peer.py, which plays one device on each line: the device on COM3 answers bus address
// 0x03, the one on COM10 answers 0x10, each only when the byte came at mark parity as the peer sees
// it on its side of the line. A query byte (kQuery) makes the peer answer with how it sees the line
// right now (parity, speed, stop bits), so these tests check what reached the line, not what
// kernel32 reports back.
//
// Not tested here: the exclusive open. Wine does not refuse a second open of a serial port with
// share mode 0 (it keeps no lock on the device), so such a test would only show Wine's behaviour;
// the exclusive open is tested against the Linux layer. Nor DTR: Wine's EscapeCommFunction(CLRDTR)
// fails on a pseudo-terminal, which has no modem lines, and OpenPort does not look at the result.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "serial/LibUnit.h"

namespace {

// Shared with pty_peer.py.
constexpr std::uint8_t kQuery = 0xA5;
constexpr int kViewCmspar = 0x01;  // "stick" parity: mark or space
constexpr int kViewParodd = 0x02;  // with CMSPAR: mark
constexpr int kView115200 = 0x04;
constexpr int kViewCstopb = 0x08;
constexpr int kMark = kViewCmspar | kViewParodd | kView115200;
constexpr int kSpace = kViewCmspar | kView115200;
constexpr int kNoParity = kView115200;  // a pty drops PARENB, so "no parity" shows as neither bit

// COM97 is never mapped by the peer (and Wine maps the host's own serial ports from COM1 upwards).
constexpr int kUnmappedPort = 97;

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The peer's view of the line, or -1 when it didn't answer the query.
int LineView() {
  comm::PurgeComm(PortHandle, comm::PURGE_RXCLEAR);
  comm::DWORD done = 0;
  if (!comm::WriteFile(PortHandle, &kQuery, 1, &done, nullptr) || done != 1) return -1;
  if (!WaitForInput(1, 2000)) return -1;
  std::uint8_t view = 0;
  if (!comm::ReadFile(PortHandle, &view, 1, &done, nullptr) || done != 1) return -1;
  return view & 0x7F;  // the peer sets the top bit so an answer is never a zero byte
}

struct MappedPort {
  int number;
  std::uint8_t device;  // the address the peer's device on that line answers
};

class WinePortByName : public testing::TestWithParam<MappedPort> {
 protected:
  void TearDown() override { EXPECT_TRUE(ClosePort()); }
};

// COM3 is opened as "COM3", COM10 only as "\\.\COM10": both names must reach their own line.
TEST_P(WinePortByName, OpensAndFindsTheDeviceOnItsLine) {
  const MappedPort port = GetParam();
  ASSERT_TRUE(OpenPort(port.number));
  EXPECT_TRUE(ProbeAddress(port.device)) << "the device echoes only an address sent at mark parity";
  EXPECT_EQ(LineView(), kSpace) << "after an answer the port is left at space parity";
}

INSTANTIATE_TEST_SUITE_P(Wine, WinePortByName, testing::Values(MappedPort{3, 0x03}, MappedPort{10, 0x10}),
                         [](const testing::TestParamInfo<MappedPort>& info) {
                           return "COM" + std::to_string(info.param.number);
                         });

class WinePort10 : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenPort(10)); }
  void TearDown() override { EXPECT_TRUE(ClosePort()); }
};

TEST_F(WinePort10, LineSettingsAndParitySwitchReachTheLine) {
  EXPECT_EQ(LineView(), kNoParity) << "115200 baud, one stop bit, no parity after OpenPort";
  SetParity(comm::MARKPARITY);
  EXPECT_EQ(LineView(), kMark);
  SetParity(comm::SPACEPARITY);
  EXPECT_EQ(LineView(), kSpace);
  SetParity(comm::MARKPARITY);
  EXPECT_EQ(LineView(), kMark) << "and back: each switch reads the settings afresh";

  // What kernel32 holds, read back through the seam into fresh records.
  comm::COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(comm::GetCommTimeouts(PortHandle, &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 10u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 20u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 100u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 100u);
  comm::DCB dcb{};
  ASSERT_TRUE(comm::GetCommState(PortHandle, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.StopBits, comm::ONESTOPBIT);
}

// The receive time-outs reached the driver: a read on a silent line ends after the total time-out
// (100 ms + 20 ms per byte) with nothing, instead of blocking as kernel32's all-zero default does.
TEST_F(WinePort10, ReadOnASilentLineEndsAfterTheTotalTimeout) {
  const auto start = Clock::now();
  std::uint8_t byte = 0;
  comm::DWORD read = 99;
  EXPECT_TRUE(comm::ReadFile(PortHandle, &byte, 1, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_GE(MillisecondsSince(start), 100);
}

// No device answers 0x55: the probe waits its whole 100 ms (the sleep between polls must not cut
// the wait short), says no device, and leaves the port at mark parity.
TEST_F(WinePort10, SilentAddressIsNotFoundAfterTheFullWait) {
  const auto start = Clock::now();
  EXPECT_FALSE(ProbeAddress(0x55));
  EXPECT_GE(MillisecondsSince(start), 100);
  EXPECT_EQ(LineView(), kMark);
}

TEST(WinePortUnmapped, FailsToOpenAndKeepsTheInvalidHandle) {
  EXPECT_FALSE(OpenPort(kUnmappedPort));
  EXPECT_EQ(PortHandle, comm::INVALID_HANDLE_VALUE);
}

}  // namespace
