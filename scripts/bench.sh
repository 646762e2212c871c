#!/usr/bin/env bash
# Builds the benchmark programs of the release preset, runs every one of
# them (medians of 5 repetitions, the machine as Windows runs it without
# Driver Verifier) and ends with one table: each ratio of bench/goals.txt,
# its goal and whether it is met. Exits 1 when a goal is missed.
#
#   bash scripts/bench.sh                  all programs
#   bash scripts/bench.sh bench_create     only the programs named
#   BENCH_WITH_VERIFIER=1 bash scripts/bench.sh
#                                          also with the verifier's
#                                          bookkeeping on, in a second column
#   BENCH_REPETITIONS=1 bash scripts/bench.sh   a quick look
set -euo pipefail
cd "$(dirname "$0")/.."

programs=("$@")
if [ ${#programs[@]} -eq 0 ]; then
  mapfile -t programs < <(sed -n 's/^tavo_add_bench_folder(\([a-z_0-9]*\).*/\1/p' bench/*/CMakeLists.txt)
fi

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target "${programs[@]}"

results=build/release/bench-results
rm -rf "$results" "$results-verifier"
mkdir -p "$results" "$results-verifier"

run() {  # program, output folder, verifier mode
  local binary
  binary=$(find build/release/bench -type f -name "$1" -perm -u+x | head -n 1)
  echo "== $1 (verifier bookkeeping $3)"
  TAVO_BENCH_VERIFIER=$3 "$binary" \
    --benchmark_repetitions="${BENCH_REPETITIONS:-5}" --benchmark_report_aggregates_only=true \
    --benchmark_out="$2/$1.json" --benchmark_out_format=json
}

for program in "${programs[@]}"; do
  run "$program" "$results" off
  if [ -n "${BENCH_WITH_VERIFIER:-}" ]; then run "$program" "$results-verifier" on; fi
done

echo
if [ -n "${BENCH_WITH_VERIFIER:-}" ]; then
  python3 scripts/bench_table.py bench/goals.txt "$results" "$results-verifier"
else
  python3 scripts/bench_table.py bench/goals.txt "$results"
fi
