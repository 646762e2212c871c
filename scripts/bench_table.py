#!/usr/bin/env python3
"""Prints the goal table of scripts/bench.sh.

Usage: bench_table.py GOALS RESULTS_DIR [RESULTS_DIR_WITH_VERIFIER]

RESULTS_DIR holds one <program>.json per benchmark program (Google
Benchmark's JSON output, medians of repetitions). With a second directory
(the same programs run with the verifier's bookkeeping on) its ratios are
shown beside. Exits 1 when a goal is missed or a ratio could not be
computed.
"""
import json
import os
import sys


def load(directory, program, cache):
    key = (directory, program)
    if key not in cache:
        path = os.path.join(directory, program + ".json")
        runs = {}
        if os.path.exists(path):
            with open(path) as f:
                for run in json.load(f).get("benchmarks", []):
                    if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
                        continue
                    # A median, or a lone run when there were no repetitions.
                    if run.get("run_type") == "aggregate" or run["run_name"] not in runs:
                        runs[run["run_name"]] = run
        cache[key] = runs
    return cache[key]


def cost(run):
    if "items_per_second" in run and run["items_per_second"] > 0:
        return 1.0 / run["items_per_second"]
    return run.get("real_time")


def ratio(directory, program, expression, cache):
    runs = load(directory, program, cache)
    if "/ " in expression or " /" in expression:
        slow, fast = (part.strip() for part in expression.split(" / "))
        if slow not in runs or fast not in runs:
            return None
        a, b = cost(runs[slow]), cost(runs[fast])
        return a / b if a and b else None
    name, _, counter = expression.rpartition(":")
    run = runs.get(name)
    return run.get(counter) if run else None


def main():
    goals_path, results = sys.argv[1], sys.argv[2]
    with_verifier = sys.argv[3] if len(sys.argv) > 3 else None
    rows = []
    with open(goals_path) as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            program, rest = line.split(None, 1)
            expression, goal = rest.rsplit(None, 1)
            rows.append((program, expression.strip(), goal))

    cache = {}
    failed = False
    header = f"{'program':<13} {'ratio':<88} {'now':>7} {'goal':>6}  met?"
    if with_verifier:
        header += "  with verifier"
    print(header)
    skipped = set()
    for program, expression, goal in rows:
        if not os.path.exists(os.path.join(results, program + ".json")):
            skipped.add(program)
            continue
        value = ratio(results, program, expression, cache)
        shown = f"{value:.2f}x" if value is not None else "n/a"
        if goal == "-":
            met = "-"
        elif value is None:
            met, failed = "NO", True
        elif value <= float(goal):
            met = "yes"
        else:
            met, failed = "NO", True
        line = f"{program:<13} {expression:<88} {shown:>7} {goal:>6}  {met:<4}"
        if with_verifier:
            other = ratio(with_verifier, program, expression, cache)
            line += f"  {other:.2f}x" if other is not None else "  n/a"
        print(line)
    if skipped:
        print("not run: " + " ".join(sorted(skipped)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
