#!/usr/bin/env bash
# The editor's page timed in Debian's Chromium, beside the browser's own text box holding the same
# text (bench/renderer/editor_text_timing.mjs). Builds the program and the renderer's sample window
# in a release build (build/bench-renderer) first; the browser suite's Playwright must be
# installed (scripts/setup.sh). Not part of the test suite: nothing here is asserted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench-renderer"
echo "building the release build in $build..." >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$build" -j 4 --target ferrowen renderer_sample > /dev/null
FERROWEN_PROGRAM="$build/ferrowen" RENDERER_SAMPLE="$build/tests/renderer/renderer_sample" \
  RENDERER_ARTEFACTS="$build/artefacts/renderer" \
  node --test "$root/bench/renderer/editor_text_timing.mjs"
