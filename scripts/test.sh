#!/usr/bin/env bash
# The test command: installs what is missing, builds the whole project under
# AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, then
# again under ThreadSanitizer (races show there and almost nowhere else);
# then builds the fuzz targets with clang and runs each over its committed
# corpus once; then cross-builds the native kernel driver (tavo.sys) and
# runs its checks, and finally runs the scenario suites again with the
# simulation loading that tavo.sys instead of the linked-in driver.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset asan
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j "$(nproc)"

cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)"
ctest --preset tsan -j "$(nproc)"

cmake --preset fuzz
cmake --build --preset fuzz -j "$(nproc)"
ctest --preset fuzz -j "$(nproc)"

cmake --preset kernel
cmake --build --preset kernel -j "$(nproc)"
ctest --preset kernel

cmake --preset asan -DTAVO_DRIVER_IMAGE="$PWD/build/kernel/kernel-build/tavo.sys"
ctest --preset asan -L image
