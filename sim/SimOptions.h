// sim/SimOptions.h — busfinder-sim's command line: the line it plays, its faults and where it shows the port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "comm/sim/DeviceModel.h"

namespace busfinder_sim {

struct Options {
  comm::sim::LineSetup line;           // devices, loop-back, seed
  double noisePerSecond = 0;          // random bytes sent to the port per second; 0 = quiet line
  std::optional<double> vanishAfterSeconds;        // counted from the `ready` line
  std::optional<std::uint64_t> vanishAfterBytes;   // the line goes away as byte N arrives
  std::string linkPath;               // --link
  int comPort = 0;                    // --com (0 = none)
  int wineComPort = 0;                // --wine-com (0 = none)
  std::string logPath;                // --log
  bool exitWithParent = false;      // stop (cleanly) when the process that started us ends
  bool help = false;
};

// Parses argv. On a bad option returns false with `error` naming it ("--delay: ...").
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

const char* UsageText();

}  // namespace busfinder_sim
