// serial/BusScan.h — the 100 packed-BCD bus addresses in search order, and a whole-bus probe for the tools that need no window.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace libunit {

// 0x00–0x09, 0x10–0x19, … 0x90–0x99: tens in the high four bits, units in the low four.
constexpr std::array<std::uint8_t, 100> BusAddresses() {
  std::array<std::uint8_t, 100> addresses{};
  for (int i = 0; i < 100; ++i) addresses[i] = static_cast<std::uint8_t>((i / 10) << 4 | (i % 10));
  return addresses;
}

// Probes every bus address in order on the open port; the addresses that answered, ascending.
std::vector<std::uint8_t> ScanBus();

// An address as exactly two uppercase hexadecimal digits: 0x07 → "07", 0x42 → "42" (for packed-BCD
// values, the address's two decimal digits).
std::string AddressText(std::uint8_t address);

// "05,42": the addresses as two-digit texts, comma-separated; empty for none.
std::string AddressList(const std::vector<std::uint8_t>& addresses);

}  // namespace libunit
