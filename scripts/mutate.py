#!/usr/bin/env python3
"""Mutation run: plants small realistic faults one at a time and reports
which ones the tests catch.

A mutant is a textual edit of one source file, listed in tests/mutants.txt:

    @ driver/channel/request_exchange.cpp        the file (optionally "#n":
    - if (answerLength > capacity) {             the n-th occurrence, from 1;
                                                 "!tsan": also run under TSan)
    + if (answerLength >= capacity) {            the replacement ("+" alone
    ? the answer may fill the buffer exactly     deletes the line); a note

The original text must occur in the file (exactly once unless an occurrence
is given); a mutant whose text no longer occurs is reported as stale, not
run. For each mutant the file is edited and the test programs that cover
its folder run until the first failure, each relinked just before it runs
(ninja recompiles one file). A simulation mutant faces every suite, the
simulation's own first: the driver's suites run the simulation too. The
file is restored whatever happens. A mutant
marked "!tsan" (a lock not taken: a race that AddressSanitizer rarely sees)
runs under ThreadSanitizer too, in build/mutate-tsan.

Outcomes: killed (a test failed or a program crashed), timeout (counted as
killed: a hang is a caught fault), survived, stillborn (did not compile),
stale. The kill rate is killed / (killed + survived), per folder and overall.

    scripts/mutate.sh                       # every mutant of the list
    scripts/mutate.sh --only driver/tables  # mutants whose file matches
    scripts/mutate.sh --check               # which mutants no longer apply
    scripts/mutate.sh --generate driver client/agent --count 40 --seed 7
        # prints candidate operator mutants to review and paste into the list
"""
import argparse
import pathlib
import random
import re
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "mutate"
TSAN_BUILD = ROOT / "build" / "mutate-tsan"


class Mutant:
    def __init__(self, path, occurrence, original, replacement, note, line, tsan=False):
        self.path, self.occurrence, self.tsan = path, occurrence, tsan
        self.original, self.replacement = original, replacement
        self.note, self.line = note, line

    def label(self):
        return f"{self.path}:{self.line}"


def parse_list(text):
    mutants, current = [], None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.rstrip("\n")
        if not line.strip() or line.startswith("#"):
            continue
        tag, body = line[:1], line[2:] if len(line) > 1 else ""
        if tag == "@":
            words = body.split()
            occ = next((int(w[1:]) for w in words[1:] if w.startswith("#")), 0)
            current = {"path": words[0], "occ": occ, "line": number, "tsan": "!tsan" in words}
        elif tag == "-" and current is not None:
            current["original"] = body
        elif tag == "+" and current is not None and "original" in current:
            mutants.append(Mutant(current["path"], current["occ"], current["original"], body,
                                  "", current["line"], current["tsan"]))
            current = {k: current[k] for k in ("path", "occ", "line", "tsan")}
        elif tag == "?" and mutants:
            mutants[-1].note = body
        else:
            sys.exit(f"tests/mutants.txt:{number}: cannot read {line!r}")
    return mutants


def apply(mutant, source):
    """The mutated source, or None when the original text is not where the list says."""
    needle = mutant.original.strip()
    starts = [m.start() for m in re.finditer(re.escape(needle), source)]
    if mutant.occurrence:
        if len(starts) < mutant.occurrence:
            return None
        at = starts[mutant.occurrence - 1]
    elif len(starts) == 1:
        at = starts[0]
    else:
        return None
    return source[:at] + mutant.replacement.strip() + source[at + len(needle):]


def test_programs(path):
    """The test programs that cover a source file, by its folder."""
    names = {}
    for lists in (ROOT / "tests").rglob("CMakeLists.txt"):
        found = re.search(r"^(?:tavo_add_test_folder|add_executable)\((test_\w+)",
                          lists.read_text(), re.M)
        if found:
            names[lists.parent] = found.group(1)
    tests = sorted(names)
    top = path.split("/")[0]
    if top == "sim":
        # The simulation's own suites first; the driver and end-to-end suites
        # run it too, so a fault they catch is caught (they follow).
        chosen = sorted(tests, key=lambda d: "sim" not in d.parts)
    elif path.startswith("client/"):
        chosen = [d for d in tests if d.name in ("agent", "e2e")]
    elif top == "driver":
        chosen = [d for d in tests if "driver" in d.parts or d.name == "e2e"]
    else:
        chosen = tests
    # The folder's own tests first: most mutants die there.
    home = pathlib.PurePosixPath(path).parent.name
    chosen.sort(key=lambda d: d.name != home)  # stable: keeps the order above
    return [names[d] for d in chosen]


def run(command, timeout=None):
    try:
        done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout)
        return done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return None, ""


def configure(build, preset):
    if not (build / "build.ninja").exists():
        code, out = run(["cmake", "--preset", preset, "-B", str(build)])
        if code != 0:
            sys.exit(out)
    code, out = run(["cmake", "--build", str(build), "-j2"])
    if code != 0:
        sys.exit("the unmutated tree does not build:\n" + out[-3000:])


def run_programs(build, programs, timeout):
    """None when every program passed, else the outcome. Each program is
    relinked just before it runs, so a mutant its first suite kills costs
    one link, not one per suite."""
    for program in programs:
        code, _ = run(["cmake", "--build", str(build), "-j2", "--target", program])
        if code != 0:
            return "stillborn"
        exe = next(build.joinpath("tests").rglob(program), None)
        code, _ = run([str(exe), "--gtest_brief=1"], timeout=timeout)
        if code is None:
            return "timeout"
        if code != 0:
            return "killed"
    return None


def try_mutant(mutant, timeout):
    file = ROOT / mutant.path
    if not file.exists():
        return "stale"
    source = file.read_text()
    mutated = apply(mutant, source)
    if mutated is None:
        return "stale"
    programs = test_programs(mutant.path)
    try:
        file.write_text(mutated)
        outcome = run_programs(BUILD, programs, timeout)
        if outcome is None and mutant.tsan:
            outcome = run_programs(TSAN_BUILD, programs, timeout)
        return outcome or "survived"
    finally:
        file.write_text(source)


def folder_of(path):
    parts = path.split("/")
    return "/".join(parts[:2]) if len(parts) > 2 else parts[0]


def report(results):
    by_folder = {}
    for mutant, outcome in results:
        by_folder.setdefault(folder_of(mutant.path), []).append(outcome)
    print("\nfolder                     killed  survived  stillborn  stale  kill rate")
    total = {"killed": 0, "survived": 0}
    for folder in sorted(by_folder):
        outcomes = by_folder[folder]
        killed = sum(o in ("killed", "timeout") for o in outcomes)
        survived = outcomes.count("survived")
        total["killed"] += killed
        total["survived"] += survived
        rate = f"{100 * killed / (killed + survived):.0f}%" if killed + survived else "-"
        print(f"{folder:26} {killed:6} {survived:9} {outcomes.count('stillborn'):10} "
              f"{outcomes.count('stale'):6}  {rate}")
    counted = total["killed"] + total["survived"]
    if counted:
        print(f"{'overall':26} {total['killed']:6} {total['survived']:9}"
              f"{'':19}  {100 * total['killed'] / counted:.0f}%")
    survivors = [m for m, o in results if o == "survived"]
    if survivors:
        print("\nsurvivors:")
        for m in survivors:
            print(f"  {m.label()}  {m.original.strip()!r} -> {m.replacement.strip()!r}  {m.note}")


# Candidate generation: operator edits a reviewer keeps or drops. Each rule is
# (what it stands for, pattern, replacement).
RULES = [
    ("boundary", r" < ", " <= "), ("boundary", r" <= ", " < "),
    ("boundary", r" > ", " >= "), ("boundary", r" >= ", " > "),
    ("flipped condition", r" == ", " != "), ("flipped condition", r" != ", " == "),
    ("flipped condition", r"!NT_SUCCESS\(", "NT_SUCCESS("),
    ("logic", r" && ", " || "), ("logic", r" \|\| ", " && "),
    ("off by one", r" \+ 1\b", ""), ("off by one", r" - 1\b", ""),
    ("wrong status", r"STATUS_INVALID_PARAMETER\b", "STATUS_SUCCESS"),
    ("wrong status", r"return STATUS_SUCCESS;", "return STATUS_UNSUCCESSFUL;"),
    ("flipped result", r"return true;", "return false;"),
    ("flipped result", r"return TRUE;", "return FALSE;"),
]


def generate(folders, count, seed):
    candidates = []
    for folder in folders:
        for file in sorted((ROOT / folder).rglob("*.cpp")):
            if file.stem.endswith("_windows") or file.stem.startswith("nt_"):
                continue  # built only for Windows: no test here runs it
            text = file.read_text()
            lines = text.splitlines()
            for line in lines:
                code = line.split("//")[0]
                if not code.strip() or code.strip().startswith(("#", "*")):
                    continue
                for _, pattern, replacement in RULES:
                    for match in re.finditer(pattern, code):
                        original = code.strip()
                        if text.count(original) != 1:
                            continue
                        start = match.start() - (len(code) - len(code.lstrip()))
                        mutated = original[:start] + re.sub(pattern, replacement,
                                                            original[start:], count=1)
                        candidates.append((str(file.relative_to(ROOT)), original, mutated))
    random.Random(seed).shuffle(candidates)
    for path, original, mutated in candidates[:count]:
        print(f"@ {path}\n- {original}\n+ {mutated}\n")


def main():
    global BUILD
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", default=str(ROOT / "tests" / "mutants.txt"))
    parser.add_argument("--only", default="", help="run mutants whose file path matches")
    parser.add_argument("--timeout", type=int, default=300, help="seconds per test program")
    parser.add_argument("--generate", nargs="*", help="print candidates for these folders")
    parser.add_argument("--count", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--build-dir", default=str(ROOT / "build" / "mutate"),
                        help="an asan build tree to reuse (default build/mutate)")
    parser.add_argument("--check", action="store_true", help="only list stale mutants")
    args = parser.parse_args()
    if args.generate is not None:
        generate(args.generate or ["driver"], args.count, args.seed)
        return
    mutants = [m for m in parse_list(pathlib.Path(args.list).read_text())
               if re.search(args.only, m.path)]
    if args.check:
        stale = [m for m in mutants if not (ROOT / m.path).exists()
                 or apply(m, (ROOT / m.path).read_text()) is None]
        for m in stale:
            print(f"stale: {m.label()} {m.original.strip()!r}")
        print(f"{len(mutants)} mutants, {len(stale)} stale")
        return
    if subprocess.run(["git", "diff", "--quiet"], cwd=ROOT).returncode != 0:
        sys.exit("the working tree has changes: commit or stash them first")
    BUILD = pathlib.Path(args.build_dir).resolve()
    configure(BUILD, "asan")
    if any(m.tsan for m in mutants):
        configure(TSAN_BUILD, "tsan")
    results, began = [], time.time()
    for index, mutant in enumerate(mutants, 1):
        outcome = try_mutant(mutant, args.timeout)
        results.append((mutant, outcome))
        print(f"[{index}/{len(mutants)}] {outcome:9} {mutant.label()} {mutant.note}", flush=True)
    report(results)
    print(f"\n{len(mutants)} mutants in {time.time() - began:.0f} s")
    # The trees still hold the last mutant's objects: build them back from
    # the restored sources, so that the next test run tests the real code.
    for tree in [BUILD] + ([TSAN_BUILD] if any(m.tsan for m in mutants) else []):
        subprocess.run(["cmake", "--build", str(tree)], cwd=ROOT, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
