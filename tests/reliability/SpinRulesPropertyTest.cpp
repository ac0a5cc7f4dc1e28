// tests/reliability/SpinRulesPropertyTest.cpp — a million seeded operator sessions with the port box: the search always gets a port from 1 to 99.
//
// BUSFINDER_SPIN_INPUTS sets the number of sessions (default 1,000,000) and BUSFINDER_SPIN_SEED
// the seed, so a failure can be replayed. The coverage-guided run of the same sessions is the fuzz
// target in fuzz/ (sanitizer build).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/reliability/SpinSession.h"

namespace {

TEST(SpinRulesProperty, EverySessionLeavesTheSearchAPortFrom1To99) {
  long long sessions = 1000000;
  std::uint64_t seed = 20240611;
  if (const char* text = std::getenv("BUSFINDER_SPIN_INPUTS")) sessions = std::max(1LL, std::atoll(text));
  if (const char* text = std::getenv("BUSFINDER_SPIN_SEED")) seed = std::strtoull(text, nullptr, 10);
  std::mt19937_64 random(seed);
  std::array<long long, reliability::kSpinMax + 1> ports{};
  std::vector<std::uint8_t> bytes;
  long long failures = 0;
  for (long long n = 0; n < sessions; ++n) {
    bytes.resize(random() % 24);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    std::string failure;
    int port = 0;
    if (!reliability::PlaySpinSession(bytes.data(), bytes.size(), &failure, &port)) {
      if (++failures <= 5) ADD_FAILURE() << "session " << n << " (seed " << seed << "): " << failure;
      continue;
    }
    ++ports[static_cast<std::size_t>(port)];
  }
  EXPECT_EQ(failures, 0);
  // Sessions that end on a typed port and on a clamp are both common; a table that never
  // reaches the upper part of the range would test little.
  EXPECT_GT(ports[1], 0);
  EXPECT_GT(ports[99], 0);
  EXPECT_GT(ports[42], 0);
  std::printf("RELIABILITY area=spin_rules inputs=%lld seed=%llu failures=%lld port1=%lld port99=%lld\n", sessions,
              static_cast<unsigned long long>(seed), failures, ports[1], ports[99]);
}

}  // namespace
