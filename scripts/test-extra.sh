#!/usr/bin/env bash
# scripts/test-extra.sh — run by scripts/test.sh at its end: the sanitizer build (ASan, UBSan, LSan) of the unit, termios and reliability tests with the 1,000-search run and a short fuzz run, then the reliability table.
#
# About six minutes on two cores. BUSFINDER_FUZZ_SECONDS (default 60) sets the fuzz budget and
# BUSFINDER_LONG_SEARCHES (default 1000) the searches of the long simulated run;
# BUSFINDER_SANITIZE_DIR the build folder (default build/sanitize, the `sanitize` preset's). The long
# fuzz run, by hand:
#   build/sanitize/tests/reliability/fuzz/reliability_spin_fuzz -max_total_time=3600 -seed=1 -max_len=64
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

jobs="${BUSFINDER_JOBS:-$(nproc)}"
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export BUSFINDER_LONG_SEARCHES="${BUSFINDER_LONG_SEARCHES:-1000}"
status=0

echo "== Sanitizer build (clang: ASan, UBSan, LSan) =="
# The settings of the `sanitize` preset, in a folder that can be chosen.
dir="${BUSFINDER_SANITIZE_DIR:-build/sanitize}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DBUSFINDER_SANITIZE=ON -DBUSFINDER_FUZZ_SECONDS="${BUSFINDER_FUZZ_SECONDS:-60}" >/dev/null
# The programs that run here, those of them this tree has: the simulated line and LibUnit, the
# termios layer on pseudo-terminals, and the reliability programs (the real-time one excepted: the
# Linux run has it). The whole tree under the sanitizers would take far longer for little more.
wanted=(unit_libunit unit_simline ui_spinrules_test posix_port_names posix_comm
        reliability_spin_rules reliability_sim_search reliability_spin_fuzz)
available="$(cmake --build "$dir" --target help | sed -n 's/^\([A-Za-z0-9_.-]*\): .*/\1/p')"
targets=()
for t in "${wanted[@]}"; do
  if grep -qx "$t" <<<"$available"; then targets+=("$t"); fi
done
cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
regex="^($(IFS='|'; echo "${targets[*]}"))\$"
ctest --test-dir "$dir" --output-on-failure -R "$regex" </dev/null || status=1

echo "== Reliability table =="
bash scripts/reliability-table.sh build/linux build/windows "$dir" || true
exit $status
