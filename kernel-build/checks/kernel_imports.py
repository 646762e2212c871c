#!/usr/bin/env python3
"""The driver's Filter Manager imports against kernel-build/fltmgr.def and the
committed list of documented FLTMGR.SYS exports.

    kernel_imports.py prelink --nm NM --def DEF --exports LIST OBJECT...
        Before tavo.sys is linked: every Flt* routine the objects use must be
        in the .def (else the link would stop at a bare "undefined reference"),
        and no object may need a C or C++ runtime symbol.
    kernel_imports.py check-def --def DEF --exports LIST
        The .def names FLTMGR.SYS and lists only documented exports, once each.
    kernel_imports.py check-objdump --objdump OBJDUMP --exports LIST IMAGE
        Reads the image's import tables through objdump -p (independently of
        pe_image.py) and checks the modules and the FLTMGR.SYS names.
"""
import argparse
import re
import subprocess
import sys

FILTER_MANAGER_ROUTINE = re.compile(r"^Flt[A-Z]\w*$")

# Undefined symbols that only a C/C++ runtime or libgcc would satisfy, with
# what usually brings them in.
RUNTIME_SYMBOLS = [
    (re.compile(r"^___?chkstk(_ms)?$"), "a function has more than 4 KiB of locals (stack probe)"),
    (re.compile(r"^__cxa_(atexit|guard_acquire|guard_release|guard_abort)$"),
     "a global or function-local static object with a constructor or destructor"),
    (re.compile(r"^__cxa_pure_virtual$"), "a pure virtual function"),
    (re.compile(r"^(__cxa_|__gxx_personality|_Unwind_)"), "exception handling"),
    (re.compile(r"^(_Znw|_Zna)"), "an ordinary operator new (use the pool-tagged placement form)"),
    (re.compile(r"^(_Zdl|_Zda)"), "an ordinary operator delete"),
    (re.compile(r"^(atexit|_onexit|__dso_handle|_initterm|__main)$"), "static initialisation"),
    (re.compile(r"^__stack_chk_"), "the stack protector"),
    (re.compile(r"^_ZTV|^_ZTI|^_ZTS"), "RTTI or a vtable defined elsewhere"),
]

EXPECTED_MODULES = {"ntoskrnl.exe", "hal.dll", "fltmgr.sys"}


def read_export_list(path):
    names = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.append(line)
    return names


def read_def(path):
    """(LIBRARY name, [export names]) of a module-definition file."""
    library, exports, in_exports = None, [], False
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split(";", 1)[0].strip()
            if not line:
                continue
            words = line.split()
            keyword = words[0].upper()
            if keyword == "LIBRARY":
                library = words[1].strip('"') if len(words) > 1 else ""
                in_exports = False
            elif keyword == "EXPORTS":
                in_exports = True
            elif in_exports:
                exports.append(words[0].split("=", 1)[0].split("@", 1)[0])
    return library, exports


def def_problems(library, def_names, documented):
    found = []
    if library is None or library.upper() != "FLTMGR.SYS":
        found.append("LIBRARY is %s, expected FLTMGR.SYS" % library)
    seen = set()
    for name in def_names:
        if name in seen:
            found.append("%s is listed twice" % name)
        seen.add(name)
        if name not in documented:
            found.append("%s is not in fltmgr_exports.txt, the documented FLTMGR.SYS exports; "
                         "check the name against the Filter Manager reference" % name)
    return found


def undefined_symbols(nm, objects):
    output = subprocess.run([nm, "--undefined-only", "--format=posix"] + objects, check=True,
                            capture_output=True, text=True).stdout
    symbols = set()
    for line in output.splitlines():
        words = line.split()
        if len(words) >= 2 and words[1] == "U":
            symbols.add(words[0][len("__imp_"):] if words[0].startswith("__imp_") else words[0])
    return symbols


def prelink_problems(symbols, def_names):
    found = []
    listed = set(def_names)
    for name in sorted(symbols):
        if FILTER_MANAGER_ROUTINE.match(name) and name not in listed:
            found.append("the driver calls %s, which kernel-build/fltmgr.def does not list: add it "
                         "there (and to kernel-build/fltmgr_exports.txt if the Filter Manager "
                         "reference documents it)" % name)
        for pattern, reason in RUNTIME_SYMBOLS:
            if pattern.search(name):
                found.append("the driver needs %s from a C/C++ runtime, which a driver does not "
                             "have: %s" % (name, reason))
                break
    return found


def objdump_imports(objdump, image):
    """{module: [names]} from objdump -p."""
    output = subprocess.run([objdump, "-p", image], check=True, capture_output=True,
                            text=True).stdout
    imports, module = {}, None
    for line in output.splitlines():
        match = re.match(r"^\s*DLL Name:\s*(\S+)", line)
        if match:
            module = match.group(1)
            imports.setdefault(module, [])
            continue
        if module is None:
            continue
        if not line.strip() or line.startswith(("The ", "There ")) or "Export" in line:
            module = None if not line.strip() else module
            continue
        match = re.match(r"^\s+[0-9a-fA-F]+\s+([0-9]+|<none>)\s+(\S+)\s*$", line)
        if match:
            imports[module].append(match.group(2))
    return imports


def objdump_problems(imports, documented):
    found = []
    if not imports:
        found.append("objdump shows no import table")
    for module, names in sorted(imports.items()):
        if module.lower() not in EXPECTED_MODULES:
            found.append("imports from %s" % module)
        if module.lower() == "fltmgr.sys":
            found += ["imports %s from FLTMGR.SYS, not a documented export" % n
                      for n in names if n not in documented]
    return found


def report(found, prefix):
    for problem in found:
        print("%s: %s" % (prefix, problem), file=sys.stderr)
    return 1 if found else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    prelink = commands.add_parser("prelink")
    prelink.add_argument("--nm", required=True)
    prelink.add_argument("--def", dest="def_file", required=True)
    prelink.add_argument("--exports", required=True)
    prelink.add_argument("objects", nargs="+")
    check_def = commands.add_parser("check-def")
    check_def.add_argument("--def", dest="def_file", required=True)
    check_def.add_argument("--exports", required=True)
    check_objdump = commands.add_parser("check-objdump")
    check_objdump.add_argument("--objdump", required=True)
    check_objdump.add_argument("--exports", required=True)
    check_objdump.add_argument("image")
    args = parser.parse_args(argv[1:])

    documented = set(read_export_list(args.exports))
    if args.command == "check-objdump":
        return report(objdump_problems(objdump_imports(args.objdump, args.image), documented),
                      args.image)
    library, def_names = read_def(args.def_file)
    found = def_problems(library, def_names, documented)
    if args.command == "prelink":
        found += prelink_problems(undefined_symbols(args.nm, args.objects), def_names)
    return report(found, args.def_file if args.command == "check-def" else "tavo.sys")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
