#!/usr/bin/env python3
"""What a change to the tests stopped covering.

Compares two lcov tracefiles (each from `bash scripts/coverage.sh`, which
leaves build/coverage/all.info) and lists, per product file, the lines and
branches the first run reached and the second did not. Paths are compared
relative to each run's checkout, so two worktrees can be compared.

    python3 scripts/coverage_diff.py BEFORE.info AFTER.info [--under driver/ client/ sim/]
"""
import argparse
import collections
import sys


def load(path):
    """{relative file: (covered lines, taken branches)}; each run's root is
    found from the first path that holds one of the product folders."""
    files = collections.defaultdict(lambda: (set(), set()))
    current = None
    with open(path, encoding="utf-8", errors="replace") as tracefile:
        for line in tracefile:
            line = line.rstrip("\n")
            if line.startswith("SF:"):
                current = relative(line[3:])
            elif current is None:
                continue
            elif line.startswith("DA:"):
                number, count = line[3:].split(",")[:2]
                if int(count) > 0:
                    files[current][0].add(int(number))
            elif line.startswith("BRDA:"):
                number, block, branch, taken = line[5:].split(",")
                if taken not in ("-", "0"):
                    files[current][1].add((int(number), block, branch))
            elif line == "end_of_record":
                current = None
    return files


def relative(path):
    for folder in ("/driver/", "/client/", "/sim/", "/tools/", "/protocol/", "/platform/"):
        at = path.rfind(folder)
        if at >= 0:
            # The tests' own sources (tests/sim/...) are not product code.
            return None if path[:at].endswith(("/tests", "/fuzz")) else path[at + 1:]
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--under", nargs="*", default=["driver/", "client/", "sim/"])
    args = parser.parse_args()
    before, after = load(args.before), load(args.after)
    lost_lines = lost_branches = 0
    for name in sorted(before):
        if not name or not name.startswith(tuple(args.under)):
            continue
        lines = sorted(before[name][0] - after.get(name, (set(), set()))[0])
        branches = sorted(before[name][1] - after.get(name, (set(), set()))[1])
        if lines or branches:
            shown = ",".join(str(n) for n in lines[:20]) + (" ..." if len(lines) > 20 else "")
            print(f"{name}: {len(lines)} lines ({shown}), {len(branches)} branches"
                  + (f" (at lines {','.join(sorted({str(b[0]) for b in branches}))})" if branches else ""))
        lost_lines += len(lines)
        lost_branches += len(branches)
    print(f"lost: {lost_lines} lines, {lost_branches} branches")
    return 1 if lost_lines or lost_branches else 0


if __name__ == "__main__":
    sys.exit(main())
