"""The built 32-bit program, inspected without running it (this machine cannot
run 32-bit code): its headers, imports, its one resource, and that a second
build from the same sources gives the same bytes."""

import argparse
import filecmp
import os
import subprocess
import sys
import tempfile
import unittest

import pefile

OPTIONS = None

RT_VERSION = 16
VOS_NT = 0x00040000
VFT_APP = 1


class ExecutableImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(OPTIONS.exe)

    def test_is_a_32_bit_windows_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])

    def test_imports_only_kernel32_and_the_c_runtime(self):
        dlls = sorted(entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT)
        self.assertEqual(dlls, ["kernel32.dll", "msvcrt.dll"])
        kernel32 = [entry for entry in self.pe.DIRECTORY_ENTRY_IMPORT
                    if entry.dll.decode().lower() == "kernel32.dll"][0]
        names = {item.name.decode() for item in kernel32.imports}
        for needed in ("CreateFileA", "DeviceIoControl", "VirtualAlloc", "CloseHandle",
                       "GetLastError"):
            self.assertIn(needed, names)

    def test_is_stripped_and_carries_no_time_stamp(self):
        self.assertEqual(self.pe.FILE_HEADER.PointerToSymbolTable, 0)
        self.assertEqual(self.pe.FILE_HEADER.NumberOfSymbols, 0)
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DEBUG"))

    def test_version_record_is_the_only_resource(self):
        types = self.pe.DIRECTORY_ENTRY_RESOURCE.entries
        self.assertEqual([entry.id for entry in types], [RT_VERSION])
        names = types[0].directory.entries
        self.assertEqual(len(names), 1)
        self.assertEqual(len(names[0].directory.entries), 1, "one language")

    def test_fixed_file_info(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0, 2))  # 0.0.0.2
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0, 2))
        self.assertEqual(fixed.FileFlagsMask, 0x3F)
        self.assertEqual(fixed.FileFlags, 0)
        self.assertEqual(fixed.FileOS, VOS_NT)
        self.assertEqual(fixed.FileType, VFT_APP)
        self.assertEqual(fixed.FileSubtype, 0)
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))

    def test_string_table_and_translation(self):
        string_tables = []
        translations = []
        for group in self.pe.FileInfo:
            for info in group:
                if info.Key == b"StringFileInfo":
                    string_tables.extend(info.StringTable)
                elif info.Key == b"VarFileInfo":
                    for var in info.Var:
                        translations.append(var.entry)
        self.assertEqual(len(string_tables), 1)
        self.assertEqual(string_tables[0].LangID, b"040904b0")
        self.assertEqual(list(string_tables[0].entries.items()),
                         [(b"FileVersion", b"0.0.0.2"), (b"ProductName", b"Qorvane"),
                          (b"ProductVersion", b"0.0.0.2")])
        # English (US), Unicode
        self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])

    def test_second_build_gives_the_same_bytes(self):
        with tempfile.TemporaryDirectory(prefix="qorvane_rebuild_") as build:
            subprocess.run(["cmake", "-S", OPTIONS.source, "-B", build,
                            "-DCMAKE_TOOLCHAIN_FILE=" + OPTIONS.toolchain,
                            "-DCMAKE_BUILD_TYPE=" + OPTIONS.build_type,
                            "-DPython3_EXECUTABLE=" + sys.executable],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", build, "--target", "qorvane", "-j2"],
                           check=True, stdout=subprocess.DEVNULL)
            rebuilt = os.path.join(build, "qorvane.exe")
            self.assertTrue(filecmp.cmp(OPTIONS.exe, rebuilt, shallow=False),
                            "two builds of the same sources differ")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--toolchain", required=True)
    parser.add_argument("--build-type", required=True)
    OPTIONS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
