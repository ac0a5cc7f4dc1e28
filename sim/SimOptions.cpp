// sim/SimOptions.cpp — parses busfinder-sim's options into the line setup and the run settings.
#include "sim/SimOptions.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace busfinder_sim {

namespace {

using comm::sim::DeviceSetup;

// One device as the command line describes it; fields left unset take the line-wide defaults.
struct DeviceArgs {
  std::uint8_t address = 0;
  std::optional<std::uint32_t> delayMs;
  std::optional<std::vector<std::uint8_t>> reply;
  std::optional<double> probability;
};

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const std::uint64_t parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

// "07,07,07" or "4A": byte values as two hex digits each (a reply may be any byte, not only BCD).
bool ParseByteList(const std::string& text, std::vector<std::uint8_t>* bytes) {
  bytes->clear();
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string item = text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
    if (item.size() != 2 || !std::isxdigit(static_cast<unsigned char>(item[0])) ||
        !std::isxdigit(static_cast<unsigned char>(item[1]))) {
      return false;
    }
    bytes->push_back(static_cast<std::uint8_t>(std::strtoul(item.c_str(), nullptr, 16)));
    if (comma == std::string::npos) return true;
    begin = comma + 1;
  }
}

bool ParseAddress(const std::string& text, std::uint8_t* address, std::string* why) {
  std::vector<std::uint8_t> one;
  if (text.find(',') != std::string::npos || !comm::sim::ParseAddressList(text, &one, why) || one.size() != 1) {
    if (why->empty()) *why = "bad address \"" + text + "\": expected two decimal digits 00-99";
    return false;
  }
  *address = one.front();
  return true;
}

// "42", "42:delay=120", "07:reply=07,07,07:prob=0.5".
bool ParseDevice(const std::string& text, DeviceArgs* device, std::string* why) {
  const std::size_t colon = text.find(':');
  if (!ParseAddress(text.substr(0, colon), &device->address, why)) return false;
  std::size_t begin = colon;
  while (begin != std::string::npos) {
    const std::size_t next = text.find(':', begin + 1);
    const std::string field = text.substr(begin + 1, next == std::string::npos ? std::string::npos : next - begin - 1);
    begin = next;
    const std::size_t equals = field.find('=');
    const std::string key = field.substr(0, equals);
    const std::string value = equals == std::string::npos ? std::string() : field.substr(equals + 1);
    if (equals == std::string::npos || value.empty()) {
      *why = "\"" + field + "\" is not key=value (keys: delay, reply, prob)";
      return false;
    }
    if (key == "delay") {
      std::uint64_t ms = 0;
      if (!ParseUnsigned(value, 3'600'000, &ms)) {
        *why = "delay=\"" + value + "\": expected milliseconds 0-3600000";
        return false;
      }
      device->delayMs = static_cast<std::uint32_t>(ms);
    } else if (key == "reply") {
      std::vector<std::uint8_t> bytes;
      if (!ParseByteList(value, &bytes)) {
        *why = "reply=\"" + value + "\": expected bytes as two hex digits, comma-separated";
        return false;
      }
      device->reply = bytes;
    } else if (key == "prob") {
      double p = 0;
      if (!ParseNumber(value, &p) || p < 0 || p > 1) {
        *why = "prob=\"" + value + "\": expected a probability from 0 to 1";
        return false;
      }
      device->probability = p;
    } else {
      *why = "unknown key \"" + key + "\" (keys: delay, reply, prob)";
      return false;
    }
  }
  return true;
}

bool ParsePort(const std::string& text, int* port) {
  std::uint64_t n = 0;
  if (!ParseUnsigned(text, 99, &n) || n < 1 || text[0] == '0') return false;
  *port = static_cast<int>(n);
  return true;
}

}  // namespace

const char* UsageText() {
  return "usage: busfinder-sim [options]\n"
         "Plays a multidrop line of devices on a pseudo-terminal. Prints `ready <slave-path>` once the\n"
         "line is up, runs until SIGINT/SIGTERM (or a vanish fault), undoes --link/--com/--wine-com and\n"
         "prints a summary on stderr.\n"
         "\n"
         "Devices (an address is two decimal digits; a device echoes its address byte when the byte\n"
         "arrives at mark parity):\n"
         "  --devices 05,42,...      devices with the default reply\n"
         "  --device AA[:key=value]...  one device, added or refined; keys:\n"
         "        delay=MS             reply delay (default: --delay)\n"
         "        reply=HH[,HH...]     reply bytes as hex instead of the address (several = several bytes)\n"
         "        prob=P               answer only with probability P (0-1), drawn from --seed\n"
         "  --delay MS               reply delay of every device without its own (default 1)\n"
         "  --seed N                 seed of prob= draws and of the noise (default 1)\n"
         "Faults of the line:\n"
         "  --loopback               every byte sent comes straight back\n"
         "  --noise RATE             random bytes to the port, RATE per second on average\n"
         "  --vanish-after SECONDS   close the line (like an unplugged adapter) after this time\n"
         "  --vanish-after-bytes N   close the line when the N-th byte arrives\n"
         "Where the port shows up:\n"
         "  --link PATH              a symlink to the slave\n"
         "  --com N                  COMn of the Linux build: $XDG_CONFIG_HOME/busfinder/ports/COMn\n"
         "  --wine-com N             COMn of Wine in $WINEPREFIX (Ports value and dosdevices link)\n"
         "  --log FILE               JSON lines: every byte in, its parity, the answer; every byte out\n"
         "  --exit-with-parent       stop cleanly when the starting process ends (for scripts and tests)\n"
         "  --help\n"
         "Bad options exit with code 2; a set-up failure (e.g. a link path already taken) with 1.\n";
}

bool ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  *options = Options{};
  std::vector<DeviceArgs> devices;  // in the order first named
  std::uint32_t defaultDelay = 1;
  auto device = [&devices](std::uint8_t address) -> DeviceArgs& {
    for (DeviceArgs& d : devices) {
      if (d.address == address) return d;
    }
    devices.push_back(DeviceArgs{address, {}, {}, {}});
    return devices.back();
  };

  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::optional<std::string> inlineValue;
    if (name.rfind("--", 0) == 0) {
      const std::size_t equals = name.find('=');
      if (equals != std::string::npos) {
        inlineValue = name.substr(equals + 1);
        name.resize(equals);
      }
    }
    auto fail = [&](const std::string& why) {
      *error = name + ": " + why;
      return false;
    };
    auto isFlag = [&](const char* flag) { return name == flag; };
    if (isFlag("--help") || isFlag("-h")) {
      options->help = true;
      continue;
    }
    if (isFlag("--exit-with-parent")) {
      if (inlineValue) return fail("takes no value");
      options->exitWithParent = true;
      continue;
    }
    if (isFlag("--loopback")) {
      if (inlineValue) return fail("takes no value");
      options->line.loopback = true;
      continue;
    }
    static const char* const kWithValue[] = {"--devices", "--device", "--delay", "--seed", "--noise",
                                             "--vanish-after", "--vanish-after-bytes", "--link", "--com",
                                             "--wine-com", "--log"};
    if (std::none_of(std::begin(kWithValue), std::end(kWithValue), isFlag)) {
      *error = name + ": unknown option (see --help)";
      return false;
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      return fail("needs a value");
    }

    std::string why;
    if (isFlag("--devices")) {
      std::vector<std::uint8_t> addresses;
      if (!comm::sim::ParseAddressList(value, &addresses, &why)) return fail(why);
      for (std::uint8_t a : addresses) device(a);
    } else if (isFlag("--device")) {
      DeviceArgs parsed;
      if (!ParseDevice(value, &parsed, &why)) return fail(why);
      DeviceArgs& d = device(parsed.address);
      if (parsed.delayMs) d.delayMs = parsed.delayMs;
      if (parsed.reply) d.reply = parsed.reply;
      if (parsed.probability) d.probability = parsed.probability;
    } else if (isFlag("--delay")) {
      std::uint64_t ms = 0;
      if (!ParseUnsigned(value, 3'600'000, &ms)) return fail("\"" + value + "\": expected milliseconds 0-3600000");
      defaultDelay = static_cast<std::uint32_t>(ms);
    } else if (isFlag("--seed")) {
      std::uint64_t seed = 0;
      if (!ParseUnsigned(value, UINT64_MAX, &seed)) return fail("\"" + value + "\": expected a whole number");
      options->line.seed = seed;
    } else if (isFlag("--noise")) {
      double rate = 0;
      if (!ParseNumber(value, &rate) || rate < 0 || rate > 100000) {
        return fail("\"" + value + "\": expected bytes per second, 0-100000");
      }
      options->noisePerSecond = rate;
    } else if (isFlag("--vanish-after")) {
      double seconds = 0;
      if (!ParseNumber(value, &seconds) || seconds < 0 || seconds > 1e6) {
        return fail("\"" + value + "\": expected seconds, e.g. 4.5");
      }
      options->vanishAfterSeconds = seconds;
    } else if (isFlag("--vanish-after-bytes")) {
      std::uint64_t n = 0;
      if (!ParseUnsigned(value, UINT64_MAX, &n) || n == 0) return fail("\"" + value + "\": expected a count from 1");
      options->vanishAfterBytes = n;
    } else if (isFlag("--link")) {
      options->linkPath = value;
      if (value.empty()) return fail("needs a path");
    } else if (isFlag("--com")) {
      if (!ParsePort(value, &options->comPort)) return fail("\"" + value + "\": expected a port number 1-99");
    } else if (isFlag("--wine-com")) {
      if (!ParsePort(value, &options->wineComPort)) return fail("\"" + value + "\": expected a port number 1-99");
    } else if (isFlag("--log")) {
      options->logPath = value;
      if (value.empty()) return fail("needs a file name");
    }
  }

  for (const DeviceArgs& d : devices) {
    DeviceSetup setup;
    setup.address = d.address;
    setup.delayMs = d.delayMs.value_or(defaultDelay);
    setup.reply = d.reply;
    setup.answerProbability = d.probability.value_or(1.0);
    options->line.devices.push_back(setup);
  }
  return true;
}

}  // namespace busfinder_sim
