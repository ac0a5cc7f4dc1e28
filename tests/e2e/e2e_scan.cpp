// tests/e2e/e2e_scan.cpp — the scan of the end-to-end tests: LibUnit over the platform's serial layer, as the search runs it.
//
//   e2e-scan N              OpenPort(N), ProbeAddress for 00..99 in order, ClosePort; prints
//                           `found=05,42 close=1 wall_s=9.812`
//   e2e-scan N --data       sends 05 at space parity and at no parity (each must stay unanswered:
//                           data, not an address), then probes 05; prints `space=0 none=0 mark=1`
// Exit code 0 when the port opened, 1 when it didn't (`open=0`), 2 on bad arguments.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial/BusScan.h"
#include "serial/LibUnit.h"

namespace {

// One byte at the given parity, answered or not within 150 ms (the device's 100 ms and margin).
int Answered(std::uint8_t parity, std::uint8_t byte) {
  SetParity(parity);
  comm::PurgeComm(PortHandle, comm::PURGE_TXCLEAR | comm::PURGE_RXCLEAR);
  comm::DWORD written = 0;
  comm::WriteFile(PortHandle, &byte, 1, &written, nullptr);
  return WaitForInput(1, 150) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: e2e-scan PORT [--data]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const bool data = argc > 2 && std::strcmp(argv[2], "--data") == 0;
  const auto start = std::chrono::steady_clock::now();
  if (!OpenPort(port)) {
    std::printf("open=0\n");
    return 1;
  }
  if (data) {
    const int space = Answered(comm::SPACEPARITY, 0x05);
    const int none = Answered(comm::NOPARITY, 0x05);
    const int mark = ProbeAddress(0x05) ? 1 : 0;
    const bool closed = ClosePort();
    std::printf("space=%d none=%d mark=%d close=%d\n", space, none, mark, closed ? 1 : 0);
    return 0;
  }
  const std::string found = libunit::AddressList(libunit::ScanBus());
  const bool closed = ClosePort();
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("found=%s close=%d wall_s=%.3f\n", found.c_str(), closed ? 1 : 0, wall);
  std::fflush(stdout);
  return 0;
}
