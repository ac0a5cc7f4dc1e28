// comm/sim/DeviceModel.h — who on a simulated multidrop line answers what, and when; shared by the test line and busfinder-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace comm::sim {

// The parity a byte went out at, as the line sees it.
enum class Parity { None, Odd, Even, Mark, Space };
const char* ParityName(Parity parity);  // "none", "odd", "even", "mark", "space"

struct DeviceSetup {
  std::uint8_t address = 0;                  // packed BCD, 0x00–0x99
  std::uint32_t delayMs = 1;                 // reply delay after the address byte
  std::optional<std::vector<std::uint8_t>> reply;  // what it answers; unset: its own address
  double answerProbability = 1.0;            // 1 = always; below 1 = only sometimes (seeded)
};

struct LineSetup {
  std::vector<DeviceSetup> devices;
  bool loopback = false;  // every byte sent comes back at once, whatever its parity
  std::uint64_t seed = 1;
};

// One reply on the line: bytes that arrive `delayMs` after the byte that caused them.
struct Reply {
  std::uint32_t delayMs = 0;
  std::vector<std::uint8_t> bytes;
};

class DeviceModel {
 public:
  DeviceModel() = default;
  explicit DeviceModel(LineSetup setup);

  // What the line sends back when `byte` goes out at `parity`. Only a byte at mark parity is an
  // address; a byte at space or no parity is data and no device answers it.
  std::vector<Reply> OnByte(std::uint8_t byte, Parity parity);

  const LineSetup& Setup() const { return setup_; }

 private:
  LineSetup setup_;
  std::mt19937_64 random_{1};
};

// "05,42" → two devices with the default reply. False (and `error` set) on a malformed list.
bool ParseAddressList(const std::string& text, std::vector<std::uint8_t>* addresses, std::string* error);

}  // namespace comm::sim
