// comm/posix/PortNames.cpp — port names to device paths: the built-in mapping and the ports folder.
#include "comm/posix/PortNames.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace comm::posix {

int ParsePortName(std::string_view name) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (name.starts_with(kDevicePrefix)) name.remove_prefix(kDevicePrefix.size());
  if (!name.starts_with("COM")) return 0;
  name.remove_prefix(3);
  if (name.empty() || name.size() > 2 || name.front() == '0') return 0;
  int port = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return 0;
    port = port * 10 + (c - '0');
  }
  return port;  // 1–99 by construction
}

std::string DefaultDevicePath(int port) {
  if (port < 1 || port > kMaxDefaultPort) return {};
  static constexpr const char* kFamilies[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
  const int index = port - 1;
  return std::string(kFamilies[index / 32]) + std::to_string(index % 32);
}

std::string PortsFolderFor(const char* xdgConfigHome, const char* home) {
  if (xdgConfigHome && xdgConfigHome[0] == '/') return std::string(xdgConfigHome) + "/busfinder/ports";
  if (home && home[0] != '\0') return std::string(home) + "/.config/busfinder/ports";
  return {};
}

std::string PortsFolder() {
  const char* home = std::getenv("HOME");
  if (!home || home[0] == '\0') {
    // getpwuid is not reentrant; a port is opened from one thread at a time.
    const passwd* user = getpwuid(getuid());
    home = user ? user->pw_dir : nullptr;
  }
  return PortsFolderFor(std::getenv("XDG_CONFIG_HOME"), home);
}

std::string PortPath(int port, const std::string& portsFolder, bool hasFolderEntry) {
  if (port < 1 || port > kMaxPort) return {};
  if (hasFolderEntry && !portsFolder.empty()) return portsFolder + "/COM" + std::to_string(port);
  return DefaultDevicePath(port);
}

std::string ResolvePortName(std::string_view name) {
  const int port = ParsePortName(name);
  if (port == 0) return {};
  const std::string folder = PortsFolder();
  bool hasEntry = false;
  if (!folder.empty()) {
    // lstat, not stat: an entry that is a dangling link still overrides the built-in device, so
    // the open fails instead of quietly reaching some other port.
    struct stat entry {};
    hasEntry = lstat((folder + "/COM" + std::to_string(port)).c_str(), &entry) == 0;
  }
  return PortPath(port, folder, hasEntry);
}

}  // namespace comm::posix
