"""The built 32-bit program, inspected without running it (this machine cannot
run 32-bit code): its headers, imports, its one resource, that a second build
from the same sources gives the same bytes, that the recorded toolchain builds
the bytes qorvane.exe.sha256 records, and that a signed copy keeps the
recorded Authenticode hash."""

import filecmp
import os
import re
import subprocess
import sys
import tempfile

import pefile
import pytest

from harness import recorded_build, signing

RT_VERSION = 16
VOS_NT = 0x00040000
VFT_APP = 1


@pytest.fixture(scope="module")
def pe(program):
    return pefile.PE(program)


def test_is_a_32_bit_windows_gui_program(pe):
    assert pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
    assert pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE
    assert pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]


def test_imports_only_kernel32_and_the_c_runtime(pe):
    dlls = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
    assert dlls == ["kernel32.dll", "msvcrt.dll"]
    kernel32 = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT
                if entry.dll.decode().lower() == "kernel32.dll"][0]
    names = {item.name.decode() for item in kernel32.imports}
    for needed in ("CreateFileA", "DeviceIoControl", "VirtualAlloc", "CloseHandle",
                   "GetLastError"):
        assert needed in names


def test_is_stripped_and_carries_no_time_stamp(pe):
    assert pe.FILE_HEADER.PointerToSymbolTable == 0
    assert pe.FILE_HEADER.NumberOfSymbols == 0
    assert pe.FILE_HEADER.TimeDateStamp == 0
    assert not hasattr(pe, "DIRECTORY_ENTRY_DEBUG")


def test_version_record_is_the_only_resource(pe):
    types = pe.DIRECTORY_ENTRY_RESOURCE.entries
    assert [entry.id for entry in types] == [RT_VERSION]
    names = types[0].directory.entries
    assert len(names) == 1
    assert len(names[0].directory.entries) == 1, "one language"


def test_fixed_file_info(pe):
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (0, 2)  # 0.0.0.2
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0, 2)
    assert fixed.FileFlagsMask == 0x3F
    assert fixed.FileFlags == 0
    assert fixed.FileOS == VOS_NT
    assert fixed.FileType == VFT_APP
    assert fixed.FileSubtype == 0
    assert (fixed.FileDateMS, fixed.FileDateLS) == (0, 0)


def test_string_table_and_translation(pe):
    string_tables = []
    translations = []
    for group in pe.FileInfo:
        for info in group:
            if info.Key == b"StringFileInfo":
                string_tables.extend(info.StringTable)
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations.append(var.entry)
    assert len(string_tables) == 1
    assert string_tables[0].LangID == b"040904b0"
    assert list(string_tables[0].entries.items()) == [
        (b"FileVersion", b"0.0.0.2"), (b"ProductName", b"Qorvane"),
        (b"ProductVersion", b"0.0.0.2")]
    # English (US), Unicode
    assert translations == [{b"Translation": "0x0409 0x04b0"}]


def test_second_build_gives_the_same_bytes(program, built, pytestconfig):
    with tempfile.TemporaryDirectory(prefix="qorvane_rebuild_") as build:
        subprocess.run(["cmake", "-S", pytestconfig.getoption("source"), "-B", build,
                        "-DCMAKE_TOOLCHAIN_FILE=" + built("toolchain"),
                        "-DCMAKE_BUILD_TYPE=" + pytestconfig.getoption("build_type"),
                        "-DPython3_EXECUTABLE=" + sys.executable],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "--target", "qorvane", "-j2"],
                       check=True, stdout=subprocess.DEVNULL)
        rebuilt = os.path.join(build, "qorvane.exe")
        assert filecmp.cmp(program, rebuilt, shallow=False), "two builds of the same sources differ"


@pytest.fixture(scope="module")
def recorded_toolchain_build(program):
    """(the program as the recorded toolchain builds it from these sources,
    that toolchain's versions): this build where the toolchain here is the
    recorded one, otherwise a build in a Debian 12 root (build/reproduce)."""
    return recorded_build.recorded_toolchain_build(program)


@pytest.mark.parametrize("kind", sorted(recorded_build.HASHES))
def test_is_the_recorded_build(recorded_toolchain_build, kind):
    built, toolchain = recorded_toolchain_build
    problem = recorded_build.mismatch(built, kind, toolchain=toolchain)
    assert problem is None, problem


def test_signed_copy_keeps_the_recorded_authenticode_hash(recorded_toolchain_build, tmp_path):
    """An organisation that signs the program changes its file hash, not the
    Authenticode hash its allow-list rules use. osslsigncode, which computes
    that hash on its own, is the oracle for the project's computation."""
    signed, certificate = signing.signed_copy(recorded_toolchain_build[0], str(tmp_path))
    record = recorded_build.read()
    assert recorded_build.sha256(signed) != record.sha256
    calculated, output = signing.verify(signed, certificate)
    sys.stderr.write(output)
    assert (calculated, recorded_build.authenticode(signed)) == (record.authenticode,) * 2


def _with_gap_after_headers(pe, data):
    """The image with a file block of zeros between its headers and its first
    section, the sections moved along; and what authenticode() must say."""
    end, block = pe.OPTIONAL_HEADER.SizeOfHeaders, pe.OPTIONAL_HEADER.FileAlignment
    moved = pefile.PE(data=data[:end] + bytes(block) + data[end:])
    for section in moved.sections:
        if section.SizeOfRawData:
            section.PointerToRawData += block
    return moved.write(), "its section .text starts at %d, not where what comes before it" \
        " ends (%d)" % (end + block, end)


def _with_data_after_certificates(pe, data):
    """The image with an 8-byte certificate table at its end and 8 more bytes
    after it; and what authenticode() must say."""
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].get_file_offset()
    signed = bytearray(data + bytes(16))
    signed[entry:entry + 8] = len(data).to_bytes(4, "little") + (8).to_bytes(4, "little")
    return bytes(signed), "its certificate table (8 bytes at %d) does not end the file" \
        " (%d bytes)" % (len(data), len(data) + 16)


@pytest.mark.parametrize("layout", [_with_gap_after_headers, _with_data_after_certificates],
                         ids=["gap after the headers", "data after the certificate table"])
def test_authenticode_refuses_a_layout_whose_hash_it_would_get_wrong(pe, program, tmp_path,
                                                                     layout):
    with open(program, "rb") as file:
        image, expected = layout(pe, file.read())
    path = tmp_path / "laid-out.exe"
    path.write_bytes(image)
    with pytest.raises(recorded_build.LayoutError, match=re.escape(expected)):
        recorded_build.authenticode(str(path))
