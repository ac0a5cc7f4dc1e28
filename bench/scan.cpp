// bench/scan.cpp — busfinder-scan: one timed search over the 100 bus addresses on a real port, wall and CPU time.
//
// Usage: busfinder-scan --port N [--repeat K]
// Each run opens COM<N>, probes the addresses 00–99 in packed-BCD order, closes the port and prints
// one line (its format is read by other scripts; keep it stable):
//   scan port=N run=I found=05,42 wall_s=9.812 cpu_s=0.031
// found= is empty when no device answered; cpu_s is user + system time of this process during the
// run. An open failure prints "scan port=N run=I error=open" and ends with exit status 1.
#include "serial/BusScan.h"
#include "serial/LibUnit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

// User + system CPU seconds of this process so far.
double CpuSeconds() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
  auto ticks = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
#endif
}

bool ParseInt(const char* text, int min, int max, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < min || parsed > max) return false;
  value = static_cast<int>(parsed);
  return true;
}

int Usage() {
  std::fprintf(stderr, "usage: busfinder-scan --port N [--repeat K]   (N = 1..99, K >= 1)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  int repeat = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      if (!ParseInt(argv[++i], 1, 99, port)) return Usage();
    } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      if (!ParseInt(argv[++i], 1, 1000000, repeat)) return Usage();
    } else {
      return Usage();
    }
  }
  if (port == 0) return Usage();

  for (int run = 1; run <= repeat; ++run) {
    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    if (!OpenPort(port)) {
      std::printf("scan port=%d run=%d error=open\n", port, run);
      return 1;
    }
    const std::string found = libunit::AddressList(libunit::ScanBus());
    ClosePort();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("scan port=%d run=%d found=%s wall_s=%.3f cpu_s=%.3f\n", port, run, found.c_str(), wall, cpu);
    std::fflush(stdout);
  }
  return 0;
}
