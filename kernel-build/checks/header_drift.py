#!/usr/bin/env python3
"""Compares every numeric constant the simulation's ntifs.h defines with the
same name in mingw-w64's DDK ntifs.h, so a wrong value added to sim/include
is found even before tests/checks/windows_constants.txt names it.

    header_drift.py --host-cxx G++ --mingw-cxx MINGW-G++ --sim-include DIR --ddk-include DIR

Both compilers evaluate `(long long)(NAME)` for each object-like macro and
enumerator both headers define; the values are read back from the generated
assembly. Exit 1 and list every name whose values differ.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

# Names whose value depends on the header version rather than on Windows
# itself: the "maximum" sentinels grow as classes are added.
VERSION_DEPENDENT = {
    "FileMaximumInformation", "FileFsMaximumInformation", "MaximumWaitReason",
    "MaxPoolType", "MaxKeyValueInfoClass", "MaximumWorkQueue", "MaximumMode",
    "OBJ_VALID_ATTRIBUTES",
}

ENUM_BLOCK = re.compile(r"\benum\b[^{;]*\{([^}]*)\}", re.S)
ENUMERATOR = re.compile(r"^\s*([A-Za-z_]\w*)\s*(?:=[^,]*)?,?\s*$")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def macro_names(compiler, flags, source):
    output = run([compiler] + flags + ["-dM", "-E", source], check=True).stdout
    return {m.group(1) for m in re.finditer(r"^#define ([A-Za-z_]\w*) \S", output, re.M)}


def enumerator_names(include_dir):
    names = set()
    for root, _, files in os.walk(include_dir):
        for name in files:
            if not name.endswith(".h"):
                continue
            with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                text = re.sub(r"//[^\n]*|/\*.*?\*/", "", f.read(), flags=re.S)
            for block in ENUM_BLOCK.finditer(text):
                for item in block.group(1).split(","):
                    match = ENUMERATOR.match(item.strip() + ",") if item.strip() else None
                    if match:
                        names.add(match.group(1))
    return names


def evaluate(compiler, flags, names, workdir, tag):
    """{name: value} for those names that are integer constant expressions."""
    remaining = sorted(names)
    for _ in range(6):
        source = os.path.join(workdir, tag + ".cpp")
        with open(source, "w") as f:
            f.write("#include <ntifs.h>\n")
            for name in remaining:
                f.write('extern "C" const long long tv_%s = (long long)(%s);\n' % (name, name))
        result = run([compiler] + flags + ["-w", "-fmax-errors=0", "-S", source, "-o", source + ".s"])
        bad_lines = {int(n) for n in re.findall(r"%s\.cpp:(\d+):" % tag, result.stderr)}
        if result.returncode == 0:
            break
        if not bad_lines:
            raise RuntimeError(result.stderr)
        remaining = [n for i, n in enumerate(remaining) if i + 2 not in bad_lines]
    else:
        return {}
    values, current = {}, None
    with open(source + ".s") as f:
        for line in f:
            label = re.match(r"^tv_(\w+):", line)
            if label:
                current = label.group(1)
                continue
            if current is None:
                continue
            quad = re.match(r"\s+\.quad\s+(-?\d+)", line)
            zero = re.match(r"\s+\.(zero|space)\s+8", line)
            if quad or zero:
                values[current] = int(quad.group(1)) & (2**64 - 1) if quad else 0
                current = None
    return values


def differences(sim_values, ddk_values):
    return [(name, sim_values[name], ddk_values[name])
            for name in sorted(set(sim_values) & set(ddk_values))
            if sim_values[name] != ddk_values[name] and name not in VERSION_DEPENDENT]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--host-cxx", required=True)
    parser.add_argument("--mingw-cxx", required=True)
    parser.add_argument("--sim-include", required=True)
    parser.add_argument("--ddk-include", required=True)
    args = parser.parse_args(argv[1:])

    sim_flags = ["-std=c++17", "-nostdinc", "-nostdinc++", "-fshort-wchar", "-I", args.sim_include]
    ddk_flags = ["-std=c++17", "-ffreestanding", "-I", args.ddk_include,
                 "-D__INTRINSIC_DEFINED_InterlockedBitTestAndSet",
                 "-D__INTRINSIC_DEFINED_InterlockedBitTestAndReset"]
    with tempfile.TemporaryDirectory() as workdir:
        probe = os.path.join(workdir, "probe.cpp")
        with open(probe, "w") as f:
            f.write("#include <ntifs.h>\n")
        names = macro_names(args.host_cxx, sim_flags, probe) | enumerator_names(args.sim_include)
        names = {n for n in names if not n.startswith("_")}
        # Names the DDK lacks, or that are not integer constants, drop out of
        # the evaluation on the side that cannot compile them.
        sim_values = evaluate(args.host_cxx, sim_flags, names, workdir, "sim")
        ddk_values = evaluate(args.mingw_cxx, ddk_flags, names, workdir, "ddk")

    found = differences(sim_values, ddk_values)
    for name, sim, ddk in found:
        print("%s: simulation 0x%x, mingw-w64 DDK 0x%x" % (name, sim, ddk), file=sys.stderr)
    compared = len(set(sim_values) & set(ddk_values))
    if not compared:
        print("no constant could be compared", file=sys.stderr)
        return 1
    print("%d constants compared, %d differ" % (compared, len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
