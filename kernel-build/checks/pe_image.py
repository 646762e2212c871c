#!/usr/bin/env python3
"""Reads a PE32+ image and checks that it is a loadable x64 kernel driver.

    pe_image.py check IMAGE --exports FLTMGR_EXPORTS   exit 1 and name every problem
    pe_image.py set-checksum IMAGE                      write the PE checksum

The checks are the ones the Windows loader, Driver Verifier or memory
integrity (HVCI) would otherwise find on a test machine, plus the project's
own rule that the driver pulls in no C or C++ runtime.
"""
import struct
import sys

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_NATIVE = 1
DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
DLLCHARACTERISTICS_NX_COMPAT = 0x0100
SECTION_MEM_EXECUTE = 0x20000000
SECTION_MEM_WRITE = 0x80000000
PAGE_SIZE = 0x1000

DIRECTORY_IMPORT = 1
DIRECTORY_EXCEPTION = 3
DIRECTORY_BASERELOC = 5
DIRECTORY_TLS = 9

# Kernel-mode modules a minifilter may import from (lower-case).
ALLOWED_MODULES = {"ntoskrnl.exe": "ntoskrnl.exe", "hal.dll": "HAL.dll", "fltmgr.sys": "FLTMGR.SYS"}

# Sections that only a C/C++ runtime start-up walks (constructors, destructors,
# TLS callbacks). Nothing walks them in a driver, so their code never runs.
# Long names are kept whole when the image has a string table, cut to eight
# characters when it does not.
RUNTIME_SECTION_PREFIXES = (".CRT", ".ctors", ".dtors", ".init_ar", ".fini_ar", ".tls")

# Imported names that mean a C or C++ runtime was pulled in.
RUNTIME_NAME_PREFIXES = ("__cxa_", "__gxx_", "_Unwind_", "_initterm", "__dllonexit", "_onexit",
                         "atexit", "__main", "_Znw", "_Zdl", "_Zna", "_Zda", "__stack_chk")


# The routine that touches clients' buffers, and what its unwind data must
# hold: an exception handler (UNW_FLAG_EHANDLER) that is ntoskrnl.exe's
# __C_specific_handler, with a scope whose filter is EXCEPTION_EXECUTE_HANDLER
# (1), that covers the instruction touching the buffers (rep movsb: a fault
# outside every scope is a bug check), and whose jump target lies in the
# routine outside the scope.
GUARDED_COPY = "TavoGuardedCopy"
REP_MOVSB = b"\xf3\xa4"
UNW_FLAG_EHANDLER = 1
EXCEPTION_EXECUTE_HANDLER = 1


class PeFormatError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_address, virtual_size, raw_pointer, raw_size, characteristics):
        self.name = name
        self.virtual_address = virtual_address
        self.virtual_size = virtual_size
        self.raw_pointer = raw_pointer
        self.raw_size = raw_size
        self.characteristics = characteristics

    def contains(self, rva):
        return self.virtual_address <= rva < self.virtual_address + max(self.virtual_size, self.raw_size)


class PeImage:
    """The parts of a PE32+ image the checks look at."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeFormatError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeFormatError("no PE signature")
        (self.machine, section_count, _, symbol_table, symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        string_table = symbol_table + 18 * symbol_count if symbol_table else None
        self.symbol_table, self.symbol_count, self.string_table = symbol_table, symbol_count, string_table
        optional = pe + 24
        self.pe_offset, self.optional_offset = pe, optional
        self.section_table_offset = optional + optional_size
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != PE32_PLUS_MAGIC:
            # Only the magic is meaningful for a PE32 image; the rest is laid out differently.
            self.subsystem = self.dll_characteristics = self.checksum = None
            self.sections, self.directories = [], []
            return
        self.entry_rva = struct.unpack_from("<I", data, optional + 16)[0]
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", data, optional + 32)
        self.checksum_offset = optional + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        directory_count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            raw_name, vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            characteristics = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            name = raw_name.rstrip(b"\0").decode("latin-1")
            if name.startswith("/") and name[1:].isdigit() and string_table is not None:
                start = string_table + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode("latin-1")
            self.sections.append(Section(name, vaddr, vsize, raw_ptr, raw_size, characteristics))

    def symbol_rva(self, wanted):
        """RVA of a defined symbol from the COFF symbol table, or None (also
        when the image was stripped)."""
        if not self.symbol_table:
            return None
        index = 0
        while index < self.symbol_count:
            offset = self.symbol_table + 18 * index
            raw, value, section, _, _, aux = struct.unpack_from("<8sIhHBB", self.data, offset)
            if raw[:4] == b"\0\0\0\0":
                start = self.string_table + struct.unpack_from("<I", raw, 4)[0]
                name = self.data[start:self.data.index(b"\0", start)]
            else:
                name = raw.rstrip(b"\0")
            if name == wanted.encode() and 0 < section <= len(self.sections):
                return self.sections[section - 1].virtual_address + value
            index += 1 + aux
        return None

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset_of(self, rva):
        for section in self.sections:
            if section.contains(rva):
                return section.raw_pointer + (rva - section.virtual_address)
        raise PeFormatError("RVA 0x%x is in no section" % rva)

    def c_string(self, rva):
        start = self.offset_of(rva)
        end = self.data.index(b"\0", start)
        return self.data[start:end].decode("latin-1")

    def import_entries(self):
        """(module, IAT slot RVA, name or '#n' for an ordinal) of every import."""
        rva, size = self.directory(DIRECTORY_IMPORT)
        if not rva or not size:
            return
        offset = self.offset_of(rva)
        while True:
            lookup, _, _, name_rva, first_thunk = struct.unpack_from("<IIIII", self.data, offset)
            if not (lookup or name_rva or first_thunk):
                break
            module = self.c_string(name_rva)
            thunk = self.offset_of(lookup or first_thunk)
            index = 0
            while True:
                entry = struct.unpack_from("<Q", self.data, thunk + 8 * index)[0]
                if entry == 0:
                    break
                if entry & (1 << 63):
                    name = "#%d" % (entry & 0xFFFF)
                else:
                    name = self.c_string((entry & 0x7FFFFFFF) + 2)  # skip the hint
                yield module, first_thunk + 8 * index, name
                index += 1
            offset += 20

    def imports(self):
        """{module name as written: [imported names, '#n' for ordinals]}"""
        result = {}
        for module, _, name in self.import_entries():
            result.setdefault(module, []).append(name)
        return result

    def import_slots(self):
        """{IAT slot RVA: (module, name)}"""
        return {slot: (module, name) for module, slot, name in self.import_entries()}

    def function_entries(self):
        """(begin, end, unwind info RVA) of every .pdata entry."""
        rva, size = self.directory(DIRECTORY_EXCEPTION)
        if not rva or not size:
            return []
        offset = self.offset_of(rva)
        return [struct.unpack_from("<III", self.data, offset + 12 * i) for i in range(size // 12)]


def guarded_copy_problems(image):
    """What keeps a fault inside the guarded copy from becoming a failure
    status: missing unwind data, no C-specific handler, no usable scope."""
    rva = image.symbol_rva(GUARDED_COPY)
    if rva is None:
        # A stripped image cannot be searched for the routine.
        return ["%s is not in the image" % GUARDED_COPY] if image.symbol_table else []
    entry = next((e for e in image.function_entries() if e[0] <= rva < e[1]), None)
    if entry is None:
        return ["%s has no unwind data (.pdata entry)" % GUARDED_COPY]
    begin, end, info = entry
    offset = image.offset_of(info)
    flags = image.data[offset] >> 3
    if not flags & UNW_FLAG_EHANDLER:
        return ["%s's unwind data has no exception handler" % GUARDED_COPY]
    codes = image.data[offset + 2]
    handler_offset = offset + 4 + 2 * ((codes + 1) & ~1)
    handler = struct.unpack_from("<I", image.data, handler_offset)[0]
    # The handler is the import thunk: jmp qword ptr [rip + slot].
    thunk = image.offset_of(handler)
    target = None
    if image.data[thunk:thunk + 2] == b"\xff\x25":
        slot = handler + 6 + struct.unpack_from("<i", image.data, thunk + 2)[0]
        target = image.import_slots().get(slot)
    # Which module it comes from is the import checks' business (ntoskrnl.exe).
    if target is None or target[1] != "__C_specific_handler":
        return ["%s's exception handler is not the imported __C_specific_handler" % GUARDED_COPY]
    code = image.data[image.offset_of(begin):image.offset_of(begin) + (end - begin)]
    if code.count(REP_MOVSB) != 1:
        return ["%s does not copy with exactly one rep movsb" % GUARDED_COPY]
    copy = begin + code.index(REP_MOVSB)
    count = struct.unpack_from("<I", image.data, handler_offset + 4)[0]
    for i in range(count):
        scope_begin, scope_end, filter_rva, jump = struct.unpack_from(
            "<IIII", image.data, handler_offset + 8 + 16 * i)
        if (filter_rva == EXCEPTION_EXECUTE_HANDLER and scope_begin <= copy < scope_end
                and begin <= jump < end and not scope_begin <= jump < scope_end):
            return []
    return ["%s's scope table has no scope that executes a handler over its copy and resumes "
            "inside the routine" % GUARDED_COPY]


def pe_checksum(data, checksum_offset):
    """The image checksum the loader verifies: a folded 16-bit sum of the file
    (with the checksum field taken as zero) plus the file length."""
    padded = data + b"\0" * (len(data) & 1)
    words = struct.unpack_from("<%dH" % (len(padded) // 2), padded)
    total = sum(words) - sum(struct.unpack_from("<HH", padded, checksum_offset))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def read_export_list(path):
    """Names of a committed export list: one a line, '#' starts a comment."""
    names = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                names.add(line)
    return names


def problems_of(image, fltmgr_exports):
    """Every way the image falls short of a loadable, runtime-free minifilter."""
    found = []
    if image.machine != IMAGE_FILE_MACHINE_AMD64:
        found.append("machine is 0x%04x, expected AMD64 (0x8664)" % image.machine)
    if image.magic != PE32_PLUS_MAGIC:
        return found + ["optional header magic is 0x%x, expected PE32+ (0x20b)" % image.magic]
    if image.subsystem != SUBSYSTEM_NATIVE:
        found.append("subsystem is %d, expected native (1)" % image.subsystem)
    if image.section_alignment != PAGE_SIZE:
        found.append("section alignment is 0x%x, expected one page (0x1000)" % image.section_alignment)
    if not image.dll_characteristics & DLLCHARACTERISTICS_NX_COMPAT:
        found.append("image is not marked NX-compatible")
    if not image.dll_characteristics & DLLCHARACTERISTICS_DYNAMIC_BASE or \
            not image.directory(DIRECTORY_BASERELOC)[1]:
        found.append("image has no base relocations; the kernel loads drivers at any address")
    if image.directory(DIRECTORY_TLS)[1]:
        found.append("image has a TLS directory")

    for section in image.sections:
        if section.name.startswith(RUNTIME_SECTION_PREFIXES):
            found.append("section %s holds static initialisers or TLS that nothing runs in a driver"
                         % section.name)
        if section.characteristics & SECTION_MEM_WRITE and section.characteristics & SECTION_MEM_EXECUTE:
            found.append("section %s is writable and executable (refused under memory integrity)"
                         % section.name)
    entry = next((s for s in image.sections if s.contains(image.entry_rva)), None)
    if image.entry_rva == 0 or entry is None or not entry.characteristics & SECTION_MEM_EXECUTE:
        found.append("entry point 0x%x is not in an executable section" % image.entry_rva)
    else:
        driver_entry = image.symbol_rva("DriverEntry")
        if image.symbol_table and driver_entry != image.entry_rva:
            found.append("entry point 0x%x is not DriverEntry (%s)" % (
                image.entry_rva, "absent" if driver_entry is None else "0x%x" % driver_entry))

    for module, names in sorted(image.imports().items()):
        if module.lower() not in ALLOWED_MODULES:
            found.append("imports from %s (%s); a driver imports only from ntoskrnl.exe, HAL.dll "
                         "and FLTMGR.SYS" % (module, ", ".join(names[:5])))
        for name in names:
            if name.startswith(RUNTIME_NAME_PREFIXES):
                found.append("imports %s from %s: a C/C++ runtime routine" % (name, module))
            if name.startswith("#"):
                found.append("imports %s from %s by ordinal" % (name, module))
        if module.lower() == "fltmgr.sys":
            for name in names:
                if name not in fltmgr_exports:
                    found.append("imports %s from FLTMGR.SYS, which is not a documented Filter "
                                 "Manager export (kernel-build/fltmgr_exports.txt)" % name)

    found.extend(guarded_copy_problems(image))

    expected = pe_checksum(image.data, image.checksum_offset)
    if image.checksum != expected:
        found.append("PE checksum is 0x%08x, expected 0x%08x" % (image.checksum, expected))
    return found


def check(path, exports_path):
    with open(path, "rb") as f:
        image = PeImage(f.read())
    found = problems_of(image, read_export_list(exports_path))
    for problem in found:
        print("%s: %s" % (path, problem))
    if found:
        return 1
    imports = image.imports()
    print("%s: PE32+ x64 native driver, checksum 0x%08x; imports %s" % (
        path, image.checksum,
        ", ".join("%d from %s" % (len(v), k) for k, v in sorted(imports.items()))))
    return 0


def set_checksum(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    image = PeImage(bytes(data))
    struct.pack_into("<I", data, image.checksum_offset, pe_checksum(bytes(data), image.checksum_offset))
    with open(path, "wb") as f:
        f.write(data)
    return 0


def main(argv):
    if len(argv) == 5 and argv[1] == "check" and argv[3] == "--exports":
        return check(argv[2], argv[4])
    if len(argv) == 3 and argv[1] == "set-checksum":
        return set_checksum(argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
