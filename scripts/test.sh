#!/usr/bin/env bash
# The test command: installs what is missing, builds the whole project under
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs every test; then
# cross-builds the native kernel driver (tavo.sys) and runs its checks.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset asan
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j "$(nproc)"

cmake --preset kernel
cmake --build --preset kernel -j "$(nproc)"
ctest --preset kernel
