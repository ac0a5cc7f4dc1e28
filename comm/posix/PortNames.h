// comm/posix/PortNames.h — how a Windows port name (COM5, \\.\COM42) becomes a Linux device path.
#pragma once

#include <string>
#include <string_view>

namespace comm::posix {

constexpr int kMaxPort = 99;
constexpr int kMaxDefaultPort = 96;  // COM97–COM99 exist only as entries of the ports folder

// The port number of "COMn" or "\\.\COMn" (n = 1–99, decimal, no leading zero), or 0 for any
// other name. Only the exact upper-case spellings are accepted.
int ParsePortName(std::string_view name);

// The built-in device of a port: COM1–32 → /dev/ttyS0–31, COM33–64 → /dev/ttyUSB0–31,
// COM65–96 → /dev/ttyACM0–31; empty for any other number.
std::string DefaultDevicePath(int port);

// The ports folder for the given environment values (either may be null):
// $XDG_CONFIG_HOME/busfinder/ports when XDG_CONFIG_HOME is an absolute path (the XDG rules say
// to ignore a relative one), else <home>/.config/busfinder/ports; empty when neither is usable.
std::string PortsFolderFor(const char* xdgConfigHome, const char* home);

// The ports folder of this process: XDG_CONFIG_HOME and HOME from the environment, the user
// database's home folder when HOME is unset or empty.
std::string PortsFolder();

// The path to open for a port: the folder's entry "COMn" when `hasFolderEntry`, else the
// built-in device; empty when the port has neither.
std::string PortPath(int port, const std::string& portsFolder, bool hasFolderEntry);

// PortPath for a port name, looking in this process's ports folder; empty for a name that is not
// a port name or a port without a device.
std::string ResolvePortName(std::string_view name);

}  // namespace comm::posix
