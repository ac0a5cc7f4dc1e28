// tests/reliability/fuzz/SpinRulesFuzz.cpp — libFuzzer target: any byte string, played as a session with the port box, leaves the search a port from 1 to 99.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tests/reliability/SpinSession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string failure;
  if (!reliability::PlaySpinSession(data, size, &failure)) {
    std::fprintf(stderr, "spin session broke an invariant: %s\n", failure.c_str());
    __builtin_trap();
  }
  return 0;
}
