"""Summarises an lcov tracefile per folder: lines, branches and routines
reached, then lists the driver's routines that no test reached."""
import collections
import subprocess
import sys


def main(tracefile, root):
    totals = collections.defaultdict(lambda: [0, 0, 0, 0, 0, 0])  # LH LF BRH BRF FNH FNF
    unreached = []
    folder = None
    source = None
    with open(tracefile) as f:
        for line in f:
            line = line.strip()
            key, _, value = line.partition(":")
            if key == "SF":
                source = value[len(root) + 1:] if value.startswith(root) else value
                folder = "/".join(source.split("/")[:2])
            elif key in ("LH", "LF", "BRH", "BRF", "FNH", "FNF"):
                index = ("LH", "LF", "BRH", "BRF", "FNH", "FNF").index(key)
                totals[folder][index] += int(value)
            elif key == "FNDA" and source.startswith("driver/"):
                count, name = value.split(",", 1)
                if int(count) == 0:
                    unreached.append((source, name))

    def percent(hit, found):
        return f"{100.0 * hit / found:5.1f}%" if found else "    -"

    print(f"{'folder':<22} {'lines':>16} {'branches':>16} {'routines':>14}")
    for group in ("driver", "client"):
        rows = {k: v for k, v in totals.items() if k.startswith(group)}
        whole = [sum(v[i] for v in rows.values()) for i in range(6)]
        for name, v in sorted(rows.items()) + [(group + " (all)", whole)]:
            print(f"{name:<22} {percent(v[0], v[1])} {v[0]:>5}/{v[1]:<5}"
                  f" {percent(v[2], v[3])} {v[2]:>5}/{v[3]:<5}"
                  f" {percent(v[4], v[5])} {v[4]:>3}/{v[5]:<3}")
    if unreached:
        names = subprocess.run(["c++filt"], input="\n".join(n for _, n in unreached),
                               capture_output=True, text=True).stdout.splitlines()
        print(f"\ndriver routines no test reached ({len(unreached)}):")
        for (source, _), name in zip(unreached, names):
            print(f"  {source}: {name}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
