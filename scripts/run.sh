#!/usr/bin/env bash
# Builds Ferrowen (normal build) and starts it with its browser front end; it prints the address
# to open. Arguments go to the program (try --help).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target ferrowen
# The browser front end is on unless FERROWEN_RENDERER=0: the program prints the address to open.
exec build/default/ferrowen "$@"
