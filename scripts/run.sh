#!/usr/bin/env bash
# Builds Ferrowen (normal build) and starts it. Arguments go to the program (try --help).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target ferrowen
exec build/default/ferrowen "$@"
