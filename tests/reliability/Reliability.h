// tests/reliability/Reliability.h — helpers shared by the reliability programs: result lines, descriptor counts, figure lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <sstream>
#include <string>
#include <vector>

#include "search/Main.h"
#include "serial/BusScan.h"
#include "tests/ui_qt/QtTestApp.h"  // the one application object, made before the first test
#include "ui/Forms.h"

namespace reliability {

// The figures of one area as one machine-readable line, collected by scripts/reliability-table.sh:
//   RELIABILITY area=faults faults=66 searches=132 false_devices=0 hangs=0 ...
class Figures {
 public:
  explicit Figures(const std::string& area) { text_ << "RELIABILITY area=" << area; }
  template <class T>
  Figures& operator()(const char* key, const T& value) {
    text_ << ' ' << key << '=' << value;
    return *this;
  }
  ~Figures() {
    std::printf("%s\n", text_.str().c_str());
    std::fflush(stdout);
  }

 private:
  std::ostringstream text_;
};

// Open descriptors of this process (entries of /proc/self/fd, the directory's own one excluded).
inline int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;
}

// What the result list says: the addresses of its device lines, and every line that is neither a
// device line of `port` nor the no-device line (there must never be one).
struct Listed {
  std::vector<std::uint8_t> devices;
  std::vector<std::string> strange;
  bool noDeviceLine = false;
};

inline Listed ReadList(const std::string& text, int port) {
  Listed listed;
  const std::string prefix = mainform::kLinePrefix + std::to_string(port) + mainform::kLineMiddle;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line == mainform::kNoDevices) {
      listed.noDeviceLine = true;
      continue;
    }
    unsigned value = 0;
    const bool device = line.size() == prefix.size() + 2 && line.compare(0, prefix.size(), prefix) == 0 &&
                        std::sscanf(line.c_str() + prefix.size(), "%2X", &value) == 1 &&
                        libunit::AddressText(static_cast<std::uint8_t>(value)) == line.substr(prefix.size());
    if (device) {
      listed.devices.push_back(static_cast<std::uint8_t>(value));
    } else {
      listed.strange.push_back(line);
    }
  }
  return listed;
}

inline std::string AddressList(const std::vector<std::uint8_t>& addresses) {
  const std::string text = libunit::AddressList(addresses);
  return text.empty() ? "-" : text;
}

}  // namespace reliability
