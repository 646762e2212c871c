"""Checks tavo-agent.exe: a PE32+ x64 console program that imports only
from DLLs every Windows installation has (no mingw runtime DLL to ship)."""
import argparse
import re
import subprocess
import sys

# Windows' own DLLs the agent may import from (case-insensitive).
SYSTEM_DLLS = {"kernel32.dll", "ntdll.dll", "fltlib.dll", "msvcrt.dll", "advapi32.dll",
               "user32.dll", "ws2_32.dll", "shell32.dll", "ole32.dll", "bcrypt.dll"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("image")
    args = parser.parse_args()
    dump = subprocess.run([args.objdump, "-p", args.image], check=True, capture_output=True,
                          text=True).stdout
    problems = []
    if "file format pei-x86-64" not in dump:
        problems.append("not a PE32+ x86-64 image")
    subsystem = re.search(r"^Subsystem\s+([0-9a-fA-F]+)", dump, re.M)
    if not subsystem or int(subsystem.group(1), 16) != 3:
        problems.append("subsystem is not the Windows console (3)")
    dlls = {name.lower() for name in re.findall(r"DLL Name:\s*(\S+)", dump)}
    if "fltlib.dll" not in dlls:
        problems.append("does not import FLTLIB.DLL (the Filter Manager's user-mode library)")
    for dll in sorted(dlls - SYSTEM_DLLS):
        if not dll.startswith("api-ms-win-"):
            problems.append("imports from %s, which Windows does not ship" % dll)
    for problem in problems:
        print("tavo-agent.exe: " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
