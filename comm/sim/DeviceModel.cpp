// comm/sim/DeviceModel.cpp — the scripted devices of a simulated multidrop line and the address-list parser.
#include "comm/sim/DeviceModel.h"

#include <algorithm>
#include <utility>

namespace comm::sim {

const char* ParityName(Parity parity) {
  switch (parity) {
    case Parity::None: return "none";
    case Parity::Odd: return "odd";
    case Parity::Even: return "even";
    case Parity::Mark: return "mark";
    case Parity::Space: return "space";
  }
  return "?";
}

DeviceModel::DeviceModel(LineSetup setup) : setup_(std::move(setup)), random_(setup_.seed) {}

std::vector<Reply> DeviceModel::OnByte(std::uint8_t byte, Parity parity) {
  std::vector<Reply> replies;
  // A loop-back plug wires TX to RX: the byte itself comes straight back, whatever its parity.
  if (setup_.loopback) replies.push_back(Reply{0, {byte}});
  // The ninth bit set (mark) marks an address; at any other parity the byte is data and every
  // device stays silent.
  if (parity != Parity::Mark) return replies;
  for (const DeviceSetup& device : setup_.devices) {
    if (device.address != byte) continue;
    if (device.answerProbability < 1.0) {
      // Draw only for unreliable devices, so adding one does not shift the others' answers.
      // 53 random bits as a double in [0, 1): the same sequence on every standard library,
      // unlike std::uniform_real_distribution.
      const double draw = static_cast<double>(random_() >> 11) * 0x1.0p-53;
      if (!(draw < device.answerProbability)) continue;
    }
    replies.push_back(Reply{device.delayMs, device.reply.value_or(std::vector<std::uint8_t>{device.address})});
  }
  return replies;
}

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool ParseAddressList(const std::string& text, std::vector<std::uint8_t>* addresses, std::string* error) {
  auto fail = [error](std::string message) {
    if (error != nullptr) *error = std::move(message);
    return false;
  };
  std::vector<std::uint8_t> parsed;
  // An empty list is a line without devices.
  if (Trim(text).empty()) {
    if (addresses != nullptr) addresses->clear();
    return true;
  }
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string item = Trim(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (item.empty()) return fail("empty address in \"" + text + "\"");
    // Exactly two decimal digits: the address is packed BCD, so "5", "1a" and "100" are not
    // addresses of this bus.
    if (item.size() != 2 || !IsDigit(item[0]) || !IsDigit(item[1])) {
      return fail("bad address \"" + item + "\": expected two decimal digits 00-99");
    }
    const auto address = static_cast<std::uint8_t>(((item[0] - '0') << 4) | (item[1] - '0'));
    if (std::find(parsed.begin(), parsed.end(), address) != parsed.end()) {
      return fail("address \"" + item + "\" given twice");
    }
    parsed.push_back(address);
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  if (addresses != nullptr) *addresses = std::move(parsed);
  return true;
}

}  // namespace comm::sim
