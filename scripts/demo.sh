#!/usr/bin/env bash
# The demo command: installs what is missing, builds the tavo tool and runs
# its demo on a simulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tavo -j "$(nproc)"
./build/release/tools/tavo/tavo demo "$@"
