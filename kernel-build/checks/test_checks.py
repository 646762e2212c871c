"""The kernel build's checkers against damaged copies of the real artefacts:
tavo.sys, kernel-build/fltmgr.def and driver/tavo.inf. Each damage is one a
broken toolchain flag, a stray runtime dependency or a careless edit would
cause, and the checker must name it (and nothing else).

Run by ctest in the kernel build, which passes the artefacts' and tools'
paths in TAVO_SYS, TAVO_INF, TAVO_FLTMGR_DEF, TAVO_FLTMGR_EXPORTS,
TAVO_OBJDUMP, TAVO_HOST_CXX, TAVO_MINGW_CXX and TAVO_DDK_INCLUDE.
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import header_drift
import inf_file
import kernel_imports
import pe_image


def artefact(name):
    path = os.environ.get(name)
    if not path:
        raise unittest.SkipTest("%s is not set (run through ctest)" % name)
    return path


def replace_once(data, old, new, start=0, end=None):
    """data with the single occurrence of old in data[start:end] replaced."""
    end = len(data) if end is None else end
    assert len(old) == len(new), (old, new)
    assert data.count(old, start, end) == 1, "%r occurs %d times" % (old, data.count(old, start, end))
    at = data.index(old, start, end)
    return data[:at] + new + data[at + len(old):]


class ImageCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(artefact("TAVO_SYS"), "rb") as f:
            cls.original = f.read()
        cls.image = pe_image.PeImage(cls.original)
        cls.exports = pe_image.read_export_list(artefact("TAVO_FLTMGR_EXPORTS"))

    def section(self, name):
        index = next(i for i, s in enumerate(self.image.sections) if s.name == name)
        return self.image.section_table_offset + 40 * index

    def problems_after(self, damage, fix_checksum=True):
        data = bytearray(damage(bytearray(self.original)))
        image = pe_image.PeImage(bytes(data))
        if fix_checksum and image.magic == pe_image.PE32_PLUS_MAGIC:
            struct.pack_into("<I", data, image.checksum_offset,
                             pe_image.pe_checksum(bytes(data), image.checksum_offset))
        return pe_image.problems_of(pe_image.PeImage(bytes(data)), self.exports)

    def test_built_driver_passes(self):
        self.assertEqual(pe_image.problems_of(self.image, self.exports), [])

    def test_each_damage_is_named(self):
        optional = self.image.optional_offset

        def put(offset, fmt, value):
            def damage(data):
                struct.pack_into(fmt, data, offset, value)
                return data
            return damage

        def rename_section(old, new):
            return put(self.section(old), "8s", new)

        def add_section_flags(name, flags):
            offset = self.section(name) + 36
            return lambda d: put(offset, "<I", struct.unpack_from("<I", d, offset)[0] | flags)(d)

        rdata = next(s for s in self.image.sections if s.name == ".rdata")
        idata = next(s for s in self.image.sections if s.name == ".idata")

        def rename_import(old, new):
            # Only inside the import tables: the symbol table may hold the same string.
            return lambda d: replace_once(d, old, new, idata.raw_pointer, idata.raw_pointer + idata.raw_size)

        # The guarded copy's unwind data: its flags byte and its one scope.
        copy_rva = self.image.symbol_rva(pe_image.GUARDED_COPY)
        copy_entry = next(e for e in self.image.function_entries() if e[0] <= copy_rva < e[1])
        unwind = self.image.offset_of(copy_entry[2])
        scope = unwind + 4 + 2 * ((self.original[unwind + 2] + 1) & ~1) + 8
        code_at = self.image.offset_of(copy_entry[0])
        rep_movsb = copy_entry[0] + self.original.index(b"\xf3\xa4", code_at) - code_at

        cases = [
            ("guard without exception handler", put(unwind, "B", self.original[unwind] & 0x07),
             "TavoGuardedCopy's unwind data has no exception handler"),
            ("guard scope that only runs a filter", put(scope + 8, "<I", 2),
             "TavoGuardedCopy's scope table has no scope that executes a handler"),
            ("guard scope that ends before the copy",
             lambda d: put(scope + 4, "<I", rep_movsb)(put(scope, "<I", copy_entry[0] + 2)(d)),
             "TavoGuardedCopy's scope table has no scope that executes a handler"),
            ("console subsystem", put(optional + 68, "<H", 3), "subsystem is 3, expected native (1)"),
            ("x86 machine", put(self.image.pe_offset + 4, "<H", 0x14C), "machine is 0x014c"),
            ("PE32 optional header", put(optional, "<H", 0x10B), "optional header magic is 0x10b"),
            ("static constructors", rename_section(".rdata", b".ctors"),
             "section .ctors holds static initialisers"),
            ("initialiser array", rename_section(".rdata", b".init_ar"),
             "section .init_ar holds static initialisers"),
            ("TLS data", rename_section(".rdata", b".tls"), "section .tls holds"),
            ("writable code", add_section_flags(".text", pe_image.SECTION_MEM_WRITE),
             "section .text is writable and executable"),
            ("no relocations flag",
             lambda d: put(optional + 70, "<H", self.image.dll_characteristics
                           & ~pe_image.DLLCHARACTERISTICS_DYNAMIC_BASE)(d),
             "image has no base relocations"),
            ("not NX-compatible",
             lambda d: put(optional + 70, "<H", self.image.dll_characteristics
                           & ~pe_image.DLLCHARACTERISTICS_NX_COMPAT)(d),
             "not marked NX-compatible"),
            ("entry point in data", put(optional + 16, "<I", rdata.virtual_address),
             "entry point 0x%x is not in an executable section" % rdata.virtual_address),
            ("entry point elsewhere in code", put(optional + 16, "<I", self.image.entry_rva + 16),
             "entry point 0x%x is not DriverEntry (0x%x)" % (self.image.entry_rva + 16,
                                                             self.image.entry_rva)),
            ("user-mode C runtime", rename_import(b"ntoskrnl.exe\0", b"msvcrt.dll\0\0\0"),
             "imports from msvcrt.dll"),
            ("runtime start-up routine", rename_import(b"\0DbgPrintEx\0", b"\0_initterm\0\0"),
             "imports _initterm from ntoskrnl.exe: a C/C++ runtime routine"),
            ("undocumented Filter Manager routine",
             rename_import(b"\0FltClose\0", b"\0FltCloze\0"),
             "imports FltCloze from FLTMGR.SYS, which is not a documented"),
        ]
        for label, damage, expected in cases:
            with self.subTest(label):
                found = self.problems_after(damage)
                self.assertEqual(len(found), 1, found)
                self.assertIn(expected, found[0])

    def test_stale_checksum_is_named(self):
        offset = self.image.checksum_offset
        found = self.problems_after(lambda d: d[:offset] + b"\0\0\0\0" + d[offset + 4:],
                                    fix_checksum=False)
        self.assertEqual(len(found), 1, found)
        self.assertIn("PE checksum is 0x00000000, expected 0x%08x" % self.image.checksum, found[0])

    def test_checksum_covers_every_byte(self):
        # A one-byte change anywhere, odd offsets and the last byte included, moves the sum.
        for offset in (0x41, self.image.checksum_offset - 1, self.image.checksum_offset + 4,
                       len(self.original) - 1):
            data = bytearray(self.original)
            data[offset] ^= 0x01
            with self.subTest(offset=offset):
                self.assertNotEqual(pe_image.pe_checksum(bytes(data), self.image.checksum_offset),
                                    self.image.checksum)

    def test_objdump_reads_the_same_imports(self):
        # Two independent readings of the import tables must agree.
        seen = kernel_imports.objdump_imports(artefact("TAVO_OBJDUMP"), artefact("TAVO_SYS"))
        self.assertEqual({k.lower(): sorted(v) for k, v in seen.items()},
                         {k.lower(): sorted(v) for k, v in self.image.imports().items()})

    def test_def_lists_exactly_the_filter_manager_imports(self):
        _, def_names = kernel_imports.read_def(artefact("TAVO_FLTMGR_DEF"))
        imported = next(v for k, v in self.image.imports().items() if k.lower() == "fltmgr.sys")
        unused = sorted(set(def_names) - set(imported))
        self.assertEqual(unused, [], "fltmgr.def lists routines the driver no longer calls")


class FilterManagerImportsTest(unittest.TestCase):
    DOCUMENTED = {"FltClose", "FltRegisterFilter", "FltSendMessage"}

    def test_def_problems(self):
        cases = [
            ("good", "FLTMGR.SYS", ["FltClose", "FltSendMessage"], []),
            ("lower-case library name", "fltmgr.sys", ["FltClose"], []),
            ("other library", "NTOSKRNL.EXE", ["FltClose"], ["LIBRARY is NTOSKRNL.EXE"]),
            ("no library", None, ["FltClose"], ["LIBRARY is None"]),
            ("misspelt routine", "FLTMGR.SYS", ["FltSendMesage"], ["FltSendMesage is not in"]),
            ("listed twice", "FLTMGR.SYS", ["FltClose", "FltClose"], ["FltClose is listed twice"]),
        ]
        for label, library, names, expected in cases:
            with self.subTest(label):
                found = kernel_imports.def_problems(library, names, self.DOCUMENTED)
                self.assertEqual(len(found), len(expected), found)
                for problem, text in zip(found, expected):
                    self.assertIn(text, problem)

    def test_prelink_names_what_the_link_would_miss(self):
        listed = ["FltClose", "FltRegisterFilter"]
        cases = [
            ("kernel and listed routines", {"FltClose", "ExAllocatePoolWithTag", "memcpy"}, []),
            ("routine missing from the def", {"FltClose", "FltSendMessage"},
             ["calls FltSendMessage, which kernel-build/fltmgr.def does not list"]),
            ("large stack frame", {"___chkstk_ms"}, ["stack probe"]),
            ("guarded static", {"__cxa_guard_acquire"}, ["static object with a constructor"]),
            ("ordinary new", {"_Znwy"}, ["operator new"]),
            ("ordinary delete", {"_ZdlPvy"}, ["operator delete"]),
            ("exceptions", {"_Unwind_Resume"}, ["exception handling"]),
            ("pure virtual call", {"__cxa_pure_virtual"}, ["pure virtual"]),
            ("stack protector", {"__stack_chk_fail"}, ["stack protector"]),
        ]
        for label, symbols, expected in cases:
            with self.subTest(label):
                found = kernel_imports.prelink_problems(symbols, listed)
                self.assertEqual(len(found), len(expected), found)
                for problem, text in zip(found, expected):
                    self.assertIn(text, problem)

    def test_committed_def_is_documented(self):
        library, names = kernel_imports.read_def(artefact("TAVO_FLTMGR_DEF"))
        documented = set(kernel_imports.read_export_list(artefact("TAVO_FLTMGR_EXPORTS")))
        self.assertEqual(kernel_imports.def_problems(library, names, documented), [])
        self.assertGreater(len(names), 0)


class InfCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(artefact("TAVO_INF"), encoding="utf-8-sig") as f:
            cls.text = f.read()

    def problems_after(self, old, new):
        self.assertEqual(self.text.count(old), 1, old)
        return inf_file.problems_of(inf_file.Inf(self.text.replace(old, new)))

    def test_committed_inf_passes(self):
        self.assertEqual(inf_file.problems_of(inf_file.Inf(self.text)), [])

    def test_each_damage_is_named(self):
        cases = [
            ("boot start", "StartType      = 3", "StartType      = 0", "StartType is 0, expected 3"),
            ("kernel service type", "ServiceType    = 2", "ServiceType    = 1", "ServiceType is 1, expected 2"),
            ("critical error control", "ErrorControl   = 1", "ErrorControl   = 3", "ErrorControl is 3, expected 1"),
            ("group of another class", 'LoadOrderGroup = "FSFilter HSM"',
             'LoadOrderGroup = "FSFilter Activity Monitor"',
             "does not match class HSM"),
            ("altitude outside the group", '"181700"', '"370000"', "altitude 370000 is outside FSFilter HSM"),
            ("altitude not a number", '"181700"', '"18x700"', "is not a decimal number"),
            ("guid of another class", "{d546500a-2aeb-45f6-9482-f4b1799c3177}",
             "{b86dff51-a31e-4bac-b3cf-e8cfe75c9fc2}", "ClassGuid does not belong to class HSM"),
            ("unknown class", 'Class       = "HSM"', 'Class       = "Net"', "is not a file-system filter class"),
            ("driver store instead of drivers", "DefaultDestDir   = 12", "DefaultDestDir   = 13",
             "DefaultDestDir is not 12"),
            ("no filter manager dependency", 'Dependencies   = "FltMgr"', 'Dependencies   = "Tcpip"',
             "does not depend on FltMgr"),
            ("no uninstall services", "[DefaultUninstall.Services]", "[DefaultUninstall.Extra]",
             "missing section [DefaultUninstall.Services]"),
            ("uninstall deletes another service", "DelService = %ServiceName%,0x200",
             "DelService = Other,0x200", "does not delete service Tavo"),
            ("binary outside the drivers directory", r"ServiceBinary  = %12%\%DriverName%.sys",
             r"ServiceBinary  = %11%\%DriverName%.sys", "is not a .sys in %12%"),
            ("no default instance", 'HKR,"Instances","DefaultInstance"', 'HKR,"Instances","Default"',
             "no Instances\\DefaultInstance value"),
            ("default instance undefined", 'DefaultInstance    = "Tavo Instance"',
             'DefaultInstance    = "Other Instance"', "default instance 'Other Instance' has no values"),
            ("flags missing", '"Flags",0x00010001', '"Flag5",0x00010001', "has no numeric Flags"),
        ]
        for label, old, new, expected in cases:
            with self.subTest(label):
                found = self.problems_after(old, new)
                self.assertEqual(len(found), 1, found)
                self.assertIn(expected, found[0])

    def test_parser_keeps_quoted_semicolons_and_drops_comments(self):
        inf = inf_file.Inf('[Strings]\nA = "x;y" ; comment\n; B = 2\n[S]\nK = %A%\n')
        self.assertEqual(inf.value("S", "K"), "x;y")
        self.assertIsNone(inf.value("Strings", "B"))


class HeaderDriftTest(unittest.TestCase):
    # A stand-in for sim/include: one wrong status code, one wrong
    # enumerator, a right flag and a version-dependent sentinel.
    FAKE_NTIFS = """#pragma once
#define STATUS_TOO_MANY_NAMES ((int)0xC0000126L)
#define FILE_OPEN 0x00000001
#define OBJ_VALID_ATTRIBUTES 0x000007F2L
#define TAVO_NOT_IN_THE_DDK 7
typedef enum _FILE_INFORMATION_CLASS {
  FileDirectoryInformation = 1,
  FileBasicInformation = 5, // really 4
  FileMaximumInformation = 99
} FILE_INFORMATION_CLASS;
"""

    def test_wrong_values_are_named_and_sentinels_ignored(self):
        with tempfile.TemporaryDirectory() as include:
            with open(os.path.join(include, "ntifs.h"), "w") as f:
                f.write(self.FAKE_NTIFS)
            result = subprocess.run(
                [sys.executable, header_drift.__file__, "--host-cxx", artefact("TAVO_HOST_CXX"),
                 "--mingw-cxx", artefact("TAVO_MINGW_CXX"), "--sim-include", include,
                 "--ddk-include", artefact("TAVO_DDK_INCLUDE")],
                capture_output=True, text=True)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr.splitlines(), [
            "FileBasicInformation: simulation 0x5, mingw-w64 DDK 0x4",
            "STATUS_TOO_MANY_NAMES: simulation 0xffffffffc0000126, mingw-w64 DDK 0xffffffffc00000cd",
        ])
        self.assertIn("6 constants compared, 2 differ", result.stdout)


if __name__ == "__main__":
    unittest.main()
