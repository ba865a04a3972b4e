#!/usr/bin/env bash
# Prints, for each test of the last ctest run in build dir $1 that failed, the first lines of its
# output that say why (a node test's error and where it stood, a gtest expectation), so the end of
# a run's log names the reason and not only the test.
set -uo pipefail
dir=${1:-build/asan}
failed="$dir/Testing/Temporary/LastTestsFailed.log"
log="$dir/Testing/Temporary/LastTest.log"
[ -s "$failed" ] && [ -s "$log" ] || exit 0
echo "Why they failed:"
cut -d: -f2- "$failed" | while IFS= read -r name; do
  awk -v name="$name" '
    $0 ~ ("Testing: " name "$") { inside = 1; next }
    inside && /^<end of output>/ { exit }
    inside && (/^not ok|error:|Error:|timed out|Failure$|\[  FAILED  \]|Expected|Which is|Value of|actual|expected|Timeout|ERROR: AddressSanitizer|runtime error:|is not what lies/) {
      if (!/^ *(duration_ms|location|failureType|code|stack)/) { print "  " name ": " substr($0, 1, 300); if (++n == 8) exit }
    }' "$log"
done
