// serial/BusScan.cpp — a whole-bus probe over LibUnit, as the benchmark and end-to-end tools run it.
#include "serial/BusScan.h"

#include <cstdio>

#include "serial/LibUnit.h"

namespace libunit {

std::vector<std::uint8_t> ScanBus() {
  std::vector<std::uint8_t> found;
  for (const std::uint8_t address : BusAddresses()) {
    if (ProbeAddress(address)) found.push_back(address);
  }
  return found;
}

std::string AddressText(std::uint8_t address) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(address));
  return text;
}

std::string AddressList(const std::vector<std::uint8_t>& addresses) {
  std::string list;
  for (const std::uint8_t address : addresses) {
    if (!list.empty()) list += ',';
    list += AddressText(address);
  }
  return list;
}

}  // namespace libunit
