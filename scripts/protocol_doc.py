#!/usr/bin/env python3
"""Writes docs/protocol.md, the port protocol reference for client writers,
from the headers in protocol/ (their comments, enums, constants and packed
structures, with every field's byte offset).

  python3 scripts/protocol_doc.py           rewrite docs/protocol.md
  python3 scripts/protocol_doc.py --check   fail when docs/protocol.md differs

The offsets are computed here from the field types under the headers'
2-byte packing and compared with the headers' own static_asserts, so a
header change that moves a field shows up as a difference, never as a
silently wrong table.
"""
import difflib
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADERS = ["port_messages.h", "request_payloads.h"]
OUTPUT = ROOT / "docs" / "protocol.md"
PACK = 2
SIZES = {"u8": 1, "u16": 2, "u32": 4, "i32": 4, "u64": 8, "i64": 8, "char16": 2}


class HeaderError(Exception):
    pass


def evaluate(expression, constants):
    text = expression
    for name in sorted(constants, key=len, reverse=True):
        text = re.sub(r"\b%s\b" % re.escape(name), str(constants[name]), text)
    if not re.fullmatch(r"[0-9+\-*/() ]+", text):
        raise HeaderError("cannot evaluate '%s'" % expression)
    return int(eval(text.replace("/", "//")))  # digits and operators only


def comment_text(lines):
    return " ".join(line.strip()[2:].strip() for line in lines)


def parse(path, constants, structs):
    """Yields the items of one header in source order."""
    lines = path.read_text().splitlines()
    intro, i = [], 0
    while i < len(lines) and lines[i].startswith("//"):
        intro.append(lines[i])
        i += 1
    paragraphs, current = [], []
    for line in intro + ["//"]:
        if line.strip() == "//":
            if current:
                paragraphs.append(comment_text(current))
            current = []
        else:
            current.append(line)
    yield ("intro", "\n\n".join(paragraphs))
    pending = []  # the comment lines just above the current item
    while i < len(lines):
        line = lines[i].strip()
        i += 1
        if line.startswith("//"):
            pending.append(line)
            continue
        about = comment_text(pending)
        pending = []
        match = re.match(r"inline constexpr const char16 (\w+)\[\] = L\"(.*)\";", line)
        if match:
            yield ("port", match.group(1), match.group(2).replace("\\\\", "\\"), about)
            continue
        match = re.match(r"inline constexpr (\w+) (\w+) = (.+?);\s*(?://\s*(.*))?$", line)
        if match:
            kind, name, value, note = match.groups()
            if value.startswith("L'"):
                shown = value
            else:
                shown = evaluate(value, constants)
                constants[name] = shown
            yield ("constant", name, kind, shown, " ".join(x for x in (about, note or "") if x))
            continue
        match = re.match(r"enum (\w+) : (\w+) \{", line)
        if match:
            values = []
            while not lines[i].strip().startswith("};"):
                entry = re.match(r"\s*(\w+) = ([0-9]+),?\s*(?://\s*(.*))?$", lines[i])
                if entry:
                    values.append((entry.group(1), int(entry.group(2)), entry.group(3) or ""))
                i += 1
            i += 1
            yield ("enum", match.group(1), match.group(2), about, values)
            continue
        match = re.match(r"struct (\w+) \{", line)
        if match:
            name, fields, tail, offset = match.group(1), [], [], 0
            while not lines[i].strip().startswith("};"):
                text = lines[i].strip()
                i += 1
                if text.startswith("//"):
                    tail.append(text[2:].strip())
                    continue
                field = re.match(r"(\w+) (\w+)(?:\[(.+)\])?;\s*(?://\s*(.*))?$", text)
                if not field:
                    raise HeaderError("%s: cannot read field '%s'" % (name, text))
                kind, fname, count, note = field.groups()
                if kind not in SIZES:
                    raise HeaderError("%s.%s: unknown type %s" % (name, fname, kind))
                size = SIZES[kind] * (evaluate(count, constants) if count else 1)
                offset += -offset % min(SIZES[kind], PACK)
                fields.append((offset, size, kind + ("[%s]" % count if count else ""), fname, note or ""))
                offset += size
            i += 1
            structs[name] = ({f[3]: f[0] for f in fields}, offset)
            yield ("struct", name, about, fields, offset, tail)
            continue
        match = re.match(r"static_assert\((.*)", line)
        if match:
            text = line
            while not text.rstrip().endswith(";"):
                text += " " + lines[i].strip()
                i += 1
            check_assert(text, constants, structs)


def check_assert(text, constants, structs):
    offsets = re.findall(r"__builtin_offsetof\((\w+), (\w+)\)", text)
    match = re.search(r"==\s*([\w ]+?)\s*,", text)
    if not match:
        return
    expected = evaluate(match.group(1), constants)
    if offsets:
        left = sum(structs[s][0][f] for s, f in offsets)
        extra = re.search(r"\)\s*\+\s*(\w+)\s*==", text)
        if extra:
            left += evaluate(extra.group(1), constants)
    else:
        size = re.search(r"sizeof\((\w+)\)", text)
        if not size or size.group(1) not in structs:
            return
        left = structs[size.group(1)][1]
    if left != expected:
        raise HeaderError("the header asserts %s, the layout computed here gives %d" % (text, left))


def render():
    constants, structs = {}, {}
    out = ["# The port protocol", "",
           "Generated by `scripts/protocol_doc.py` from the headers in `protocol/`; do not edit by hand",
           "(the test command fails when this file and the headers differ).", "",
           "Offsets are in bytes from the start of the structure, little-endian; structures are packed",
           "to 2 bytes. Names are UTF-16 code units.", ""]
    for header in HEADERS:
        out += ["## `protocol/%s`" % header, ""]
        previous = None
        for item in parse(ROOT / "protocol" / header, constants, structs):
            kind = item[0]
            if previous in ("port", "constant") and kind != previous:
                out.append("")
            previous = kind
            if kind == "intro":
                out += [item[1], ""]
            elif kind == "port":
                if out[-1] == "":
                    out += ["### Ports", "", "| Constant | Port name |", "|---|---|"]
                out.append("| `%s` | `%s` |" % (item[1], item[2]))
            elif kind == "constant":
                _, name, ctype, value, about = item
                out.append("- `%s` = %s (%s)%s" % (name, value, ctype, ": " + about if about else ""))
            elif kind == "enum":
                _, name, base, about, values = item
                out += ["### enum `%s` (%s)" % (name, base), ""]
                if about:
                    out += [about, ""]
                out += ["| Name | Value | Meaning |", "|---|---|---|"]
                out += ["| `%s` | %d | %s |" % v for v in values]
                out.append("")
            elif kind == "struct":
                _, name, about, fields, size, tail = item
                out += ["### struct `%s` (%d bytes)" % (name, size), ""]
                if about:
                    out += [about, ""]
                out += ["| Offset | Size | Type | Field | Meaning |", "|---|---|---|---|---|"]
                out += ["| %d | %d | `%s` | `%s` | %s |" % f for f in fields]
                out.append("")
                if tail:
                    out += ["Then: " + " ".join(tail), ""]
    return "\n".join(out).rstrip() + "\n"


def main():
    try:
        text = render()
    except HeaderError as error:
        print("protocol_doc: %s" % error, file=sys.stderr)
        return 1
    if "--check" in sys.argv[1:]:
        current = OUTPUT.read_text() if OUTPUT.exists() else ""
        if current != text:
            sys.stdout.writelines(difflib.unified_diff(
                current.splitlines(True), text.splitlines(True), "docs/protocol.md", "generated"))
            print("protocol_doc: docs/protocol.md is out of date; run python3 scripts/protocol_doc.py",
                  file=sys.stderr)
            return 1
        return 0
    OUTPUT.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
