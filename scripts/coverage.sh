#!/usr/bin/env bash
# Line, branch and routine coverage of the test suite, per folder of driver/
# and client/. Builds the `coverage` preset (gcov instrumentation), runs every
# test, and prints one line per folder, then the driver routines no test
# reached. The lcov report stays in build/coverage/coverage.info.
#   bash scripts/coverage.sh            # build, run the tests, report
#   bash scripts/coverage.sh --report   # report from the last run only
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v lcov >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends lcov
fi

build=build/coverage
rc=(--rc lcov_branch_coverage=1)
if [[ "${1:-}" != "--report" ]]; then
  bash scripts/install-deps.sh
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage -j "$(nproc)"
  lcov "${rc[@]}" --quiet --zerocounters --directory "$build"
  ctest --preset coverage -j "$(nproc)" >"$build/ctest.log" || {
    tail -n 20 "$build/ctest.log"
    exit 1
  }
  tail -n 3 "$build/ctest.log"
fi

lcov "${rc[@]}" --quiet --capture --directory "$build" --output-file "$build/all.info" 2>/dev/null
lcov "${rc[@]}" --quiet --extract "$build/all.info" "$PWD/driver/*" "$PWD/client/*" \
  --output-file "$build/coverage.info"
python3 scripts/coverage_summary.py "$build/coverage.info" "$PWD"
