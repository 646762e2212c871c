#!/usr/bin/env python3
"""Checks the minifilter's installation INF: the sections a right-click or
InstallHinfSection install needs, a file-system-driver service in the
load-order group that matches the setup class, and a default instance whose
altitude lies in that group's range.

    inf_file.py PATH_TO_INF     exit 1 and name every problem
"""
import re
import sys

# Setup class -> (class GUID, load-order group, altitude range), from the
# public file-system filter class and altitude tables.
FILTER_CLASSES = {
    "activitymonitor": ("{b86dff51-a31e-4bac-b3cf-e8cfe75c9fc2}", "FSFilter Activity Monitor", 360000, 389999),
    "undelete": ("{fe8f1572-c67a-48c0-bbac-0b5c6d66cafb}", "FSFilter Undelete", 340000, 349999),
    "antivirus": ("{b1d1a169-c54f-4379-81db-bee7d88d7454}", "FSFilter Anti-Virus", 320000, 329999),
    "replication": ("{48d3ebc4-4cf8-48ff-b869-9c68ad42eb9f}", "FSFilter Replication", 300000, 309999),
    "continuousbackup": ("{71aa14f8-6fad-4622-ad77-92bb9d7e6947}", "FSFilter Continuous Backup", 280000, 289999),
    "contentscreener": ("{3e3f0674-c83c-4558-bb26-9820e1eba5c5}", "FSFilter Content Screener", 260000, 269999),
    "hsm": ("{d546500a-2aeb-45f6-9482-f4b1799c3177}", "FSFilter HSM", 180000, 189999),
}

SERVICE_FILE_SYSTEM_DRIVER = 2
SERVICE_DEMAND_START = 3
SERVICE_ERROR_NORMAL = 1
DIRID_DRIVERS = "12"
REQUIRED_SECTIONS = ["Version", "DestinationDirs", "DefaultInstall", "DefaultInstall.Services",
                     "DefaultUninstall", "DefaultUninstall.Services", "SourceDisksNames",
                     "SourceDisksFiles", "Strings"]


def parse(text):
    """{lower-case section name: [(key or None, value)]}; keys keep their case."""
    sections, current = {}, None
    for raw in text.splitlines():
        line = strip_comment(raw).strip()
        if not line:
            continue
        header = re.match(r"^\[([^\]]+)\]$", line)
        if header:
            current = sections.setdefault(header.group(1).strip().lower(), [])
            continue
        if current is None:
            continue
        if "=" in line:
            key, value = line.split("=", 1)
            current.append((key.strip(), value.strip()))
        else:
            current.append((None, line))
    return sections


def strip_comment(line):
    """The line up to a ';' that is not inside double quotes."""
    quoted = False
    for i, ch in enumerate(line):
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            return line[:i]
    return line


def unquote(value):
    value = value.strip()
    return value[1:-1] if len(value) >= 2 and value[0] == value[-1] == '"' else value


class Inf:
    def __init__(self, text):
        self.sections = parse(text)
        self.strings = {k.lower(): unquote(v) for k, v in self.sections.get("strings", []) if k}

    def expand(self, value):
        """Replaces %token% with its [Strings] value; %12% and the like stay."""
        return re.sub(r"%([^%]+)%", lambda m: self.strings.get(m.group(1).lower(), m.group(0)), value)

    def value(self, section, key):
        for k, v in self.sections.get(section.lower(), []):
            if k is not None and k.lower() == key.lower():
                return self.expand(v)
        return None

    def values(self, section, key):
        return [self.expand(v) for k, v in self.sections.get(section.lower(), [])
                if k is not None and k.lower() == key.lower()]

    def lines(self, section):
        return [self.expand(v) for k, v in self.sections.get(section.lower(), []) if k is None]


def as_int(text):
    try:
        return int(unquote(text or ""), 0)
    except ValueError:
        return None


def problems_of(inf):
    found = ["missing section [%s]" % name for name in REQUIRED_SECTIONS
             if name.lower() not in inf.sections]

    if unquote(inf.value("Version", "Signature") or "").lower() != "$windows nt$":
        found.append('[Version] Signature is not "$WINDOWS NT$"')
    setup_class = unquote(inf.value("Version", "Class") or "")
    known = FILTER_CLASSES.get(setup_class.lower())
    if known is None:
        found.append("[Version] Class %r is not a file-system filter class" % setup_class)
    elif (inf.value("Version", "ClassGuid") or "").lower() != known[0]:
        found.append("[Version] ClassGuid does not belong to class %s (%s)" % (setup_class, known[0]))

    if inf.value("DestinationDirs", "DefaultDestDir") != DIRID_DRIVERS:
        found.append("[DestinationDirs] DefaultDestDir is not 12 (the drivers directory)")

    services = inf.values("DefaultInstall.Services", "AddService")
    if not services:
        return found + ["[DefaultInstall.Services] has no AddService"]
    fields = [f.strip() for f in services[0].split(",")]
    service_name = unquote(fields[0])
    service = fields[2] if len(fields) > 2 else ""
    if service.lower() not in inf.sections:
        return found + ["AddService names section [%s], which does not exist" % service]
    if "defaultuninstall.services" in inf.sections and not any(
            unquote(v.split(",")[0]) == service_name
            for v in inf.values("DefaultUninstall.Services", "DelService")):
        found.append("[DefaultUninstall.Services] does not delete service %s" % service_name)
    if not inf.values("DefaultInstall", "CopyFiles"):
        found.append("[DefaultInstall] copies no files")

    expected = {"ServiceType": SERVICE_FILE_SYSTEM_DRIVER, "StartType": SERVICE_DEMAND_START,
                "ErrorControl": SERVICE_ERROR_NORMAL}
    for key, number in expected.items():
        if as_int(inf.value(service, key)) != number:
            found.append("[%s] %s is %s, expected %d" % (service, key, inf.value(service, key), number))
    binary = inf.value(service, "ServiceBinary") or ""
    if not binary.lower().startswith("%12%\\") or not binary.lower().endswith(".sys"):
        found.append("[%s] ServiceBinary %r is not a .sys in %%12%%" % (service, binary))
    if "fltmgr" not in (inf.value(service, "Dependencies") or "").lower():
        found.append("[%s] does not depend on FltMgr" % service)
    group = unquote(inf.value(service, "LoadOrderGroup") or "")
    if known is not None and group != known[1]:
        found.append("[%s] LoadOrderGroup %r does not match class %s (%r)"
                     % (service, group, setup_class, known[1]))

    found += instance_problems(inf, service, known)
    return found


def registry_entries(inf, service):
    """{(subkey, value name): data} of the service's AddReg sections (HKR lines)."""
    entries = {}
    for section in inf.values(service, "AddReg"):
        for line in inf.lines(section.strip()):
            fields = [f.strip() for f in re.split(r',(?=(?:[^"]*"[^"]*")*[^"]*$)', line)]
            if len(fields) >= 5 and fields[0].upper() == "HKR":
                subkey = fields[1].replace('"', "")
                entries[(subkey.lower(), unquote(fields[2]).lower())] = unquote(fields[4])
    return entries


def instance_problems(inf, service, known):
    entries = registry_entries(inf, service)
    default = entries.get(("instances", "defaultinstance"))
    if not default:
        return ["no Instances\\DefaultInstance value in the service's AddReg"]
    found = []
    key = "instances\\" + default.lower()
    if not any(subkey == key for subkey, _ in entries):
        return ["default instance %r has no values under Instances" % default]
    altitude = entries.get((key, "altitude"))
    if altitude is None:
        found.append("instance %r has no Altitude" % default)
    elif not re.fullmatch(r"\d+(\.\d+)?", altitude):
        found.append("instance %r altitude %r is not a decimal number" % (default, altitude))
    elif known is not None and not known[2] <= float(altitude) <= known[3]:
        found.append("instance %r altitude %s is outside %s (%d-%d)"
                     % (default, altitude, known[1], known[2], known[3]))
    if as_int(entries.get((key, "flags"))) is None:
        found.append("instance %r has no numeric Flags" % default)
    return found


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8-sig") as f:
        found = problems_of(Inf(f.read()))
    for problem in found:
        print("%s: %s" % (argv[1], problem), file=sys.stderr)
    if not found:
        print("%s: minifilter INF complete" % argv[1])
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
