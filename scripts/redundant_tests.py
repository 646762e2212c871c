#!/usr/bin/env python3
"""Tests whose product coverage other tests already give.

Runs every test of a coverage build on its own (each with its own gcov
output folder), records the lines and branches of driver/, client/, sim/
and tools/ each one reaches, and then, taking the longest tests first, sets
aside every plain test (not a table row) whose every line and branch is
still reached by the tests not set aside. What it lists is a candidate for
folding or deleting, not a verdict: coverage says a line ran, not that a
check looked at its outcome. Confirm each with the mutation run
(scripts/mutate.py) and by reading what it checks.

    bash scripts/coverage.sh          # or just build the coverage preset
    python3 scripts/redundant_tests.py [--build-dir build/coverage] [--under tests/driver/]

Takes a few minutes for the tests and about ten more for gcov on two cores.
"""
import argparse
import collections
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT = ("driver", "client", "sim", "tools")
TEST_LINE = re.compile(r"TEST(_F|_P)?\((\w+),\s*(\w+)\)")


def list_tests(build):
    listing = subprocess.run(["ctest", "--test-dir", build, "-N"], capture_output=True,
                             text=True, check=True).stdout
    return {int(m.group(1)): m.group(2)
            for m in re.finditer(r"Test\s+#(\d+): (\S+)", listing)}


def run_test(build, number, folder):
    """Runs test `number` with its .gcda files under `folder`; True if it passed."""
    env = dict(os.environ, GCOV_PREFIX=folder, GCOV_PREFIX_STRIP="0")
    command = ["ctest", "--test-dir", build, "-I", f"{number},{number}"]
    # Once more after a failure: a long test can outlast its time-out on a
    # loaded machine. (Counters add up, so the second run's lines are the same.)
    return any(subprocess.run(command, env=env, capture_output=True).returncode == 0
               for _ in range(2))


def reached(build, folder):
    """(lines, branches) of product files reached by the run under `folder`."""
    build = os.path.abspath(build)
    counts = []
    for directory, _, names in os.walk(folder):
        for name in names:
            if not name.endswith(".gcda"):
                continue
            data = os.path.join(directory, name)
            original = data[len(folder):]
            if not any(original.startswith(f"{build}/{p}/") for p in PRODUCT):
                continue
            # gcov wants the notes file beside the data file.
            notes = data[:-len(".gcda")] + ".gcno"
            if not os.path.exists(notes):
                os.symlink(original[:-len(".gcda")] + ".gcno", notes)
            counts.append(data)
    lines, branches = set(), set()
    if not counts:
        return lines, branches
    out = subprocess.run(["gcov", "--json-format", "--stdout", "--branch-probabilities"] + counts,
                         capture_output=True, text=True, cwd=folder).stdout
    decoder, position = json.JSONDecoder(), 0
    while True:
        while position < len(out) and out[position].isspace():
            position += 1
        if position >= len(out):
            break
        document, position = decoder.raw_decode(out, position)
        base = document.get("current_working_directory", "")
        for entry in document["files"]:
            path = os.path.relpath(os.path.normpath(os.path.join(base, entry["file"])), ROOT)
            if path.split(os.sep)[0] not in PRODUCT:
                continue
            for line in entry["lines"]:
                if line["count"] > 0:
                    lines.add((path, line["line_number"]))
                for index, branch in enumerate(line["branches"]):
                    if branch["count"] > 0:
                        branches.add((path, line["line_number"], index))
    return lines, branches


def test_bodies():
    """{Suite.Name: (file, line, counted lines, is a table)} for every test in tests/."""
    files = subprocess.run(["git", "-C", ROOT, "ls-files", "tests"], capture_output=True,
                           text=True, check=True).stdout.split()
    bodies = {}
    for path in (f for f in files if f.endswith((".cpp", ".h"))):
        with open(os.path.join(ROOT, path), encoding="utf-8") as source:
            text = source.read().split("\n")
        starts = [(k, TEST_LINE.match(line)) for k, line in enumerate(text)]
        starts = [(k, m) for k, m in starts if m]
        for j, (k, match) in enumerate(starts):
            end = starts[j + 1][0] if j + 1 < len(starts) else len(text)
            counted = sum(1 for line in text[k:end]
                          if line.strip() and not line.strip().startswith("//"))
            bodies[f"{match.group(2)}.{match.group(3)}"] = (path, k + 1, counted,
                                                            match.group(1) == "_P")
    return bodies


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "coverage"))
    parser.add_argument("--under", default="tests/", help="list only tests of this folder")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()

    tests = list_tests(args.build_dir)
    with tempfile.TemporaryDirectory(prefix="tavo-redundant-") as scratch:
        folders = {n: os.path.join(scratch, str(n)) for n in tests}
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            passed = dict(zip(tests, pool.map(
                lambda n: run_test(args.build_dir, n, folders[n]), tests)))
            failed = [tests[n] for n in tests if not passed[n]]
            if failed:
                sys.exit("failing tests (coverage would be incomplete): " + ", ".join(failed))
            coverage = dict(zip(tests, pool.map(
                lambda n: reached(args.build_dir, folders[n]), tests)))

    line_count, branch_count = collections.Counter(), collections.Counter()
    for lines, branches in coverage.values():
        line_count.update(lines)
        branch_count.update(branches)
    bodies = test_bodies()
    candidates = []
    for number, name in tests.items():
        body = bodies.get(re.sub(r"/\w+$", "", re.sub(r"^\w+/", "", name)))
        if body and not body[3] and body[0].startswith(args.under):
            candidates.append((body[2], number, name, body))
    aside = []
    for size, number, name, body in sorted(candidates, reverse=True):
        lines, branches = coverage[number]
        if all(line_count[x] > 1 for x in lines) and all(branch_count[x] > 1 for x in branches):
            line_count.subtract(lines)
            branch_count.subtract(branches)
            aside.append((body, name))
    by_file = collections.defaultdict(list)
    for body, name in aside:
        by_file[body[0]].append((body, name))
    print(f"{len(aside)} of {len(candidates)} tests under {args.under} reach nothing the others "
          f"do not ({sum(b[2] for b, _ in aside)} counted lines)")
    for path, entries in sorted(by_file.items(), key=lambda kv: -sum(b[2] for b, _ in kv[1])):
        print(f"{sum(b[2] for b, _ in entries):5} {path}")
        for body, name in entries:
            print(f"      {body[2]:4}  line {body[1]}: {name}")


if __name__ == "__main__":
    main()
