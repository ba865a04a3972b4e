#!/usr/bin/env bash
# Builds Ferrowen with AddressSanitizer + UndefinedBehaviorSanitizer and runs every test: unit,
# fuzz smoke runs and interop tests against real peers on loopback. Also builds the libFuzzer
# targets with clang. Extra arguments go to ctest
# (for example: scripts/test.sh -L interop).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh
jobs=$(nproc)
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
# The libFuzzer targets (clang), with coverage counters in every library they link: they must
# build; the suite's fuzz tests run the same targets briefly through the asan build's driver.
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# The browser suites run at most half as many at once as there are processors (each is several
# busy processes), beside the other tests.
resources="$PWD/build/asan/test-resources.json"
printf '{"version":{"major":1,"minor":0},"local":[{"browser":[{"id":"0","slots":%d}]}]}\n' \
  $((jobs / 2 > 0 ? jobs / 2 : 1)) > "$resources"
rc=0
ctest --test-dir build/asan --output-on-failure -j "$jobs" --resource-spec-file "$resources" "$@" || rc=$?
[ "$rc" -eq 0 ] || bash scripts/failures.sh build/asan
exit "$rc"
