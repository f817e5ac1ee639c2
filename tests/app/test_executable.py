"""The built VORNUpdate.exe as a file: a GUI program that imports only
system DLLs and carries icon 1 and a version block, but no application
manifest. Run by CTest with VORN_EXE set to the program."""
import os
import re
import struct
import subprocess

import pytest

EXE = os.environ.get("VORN_EXE")
pytestmark = pytest.mark.skipif(not EXE, reason="VORN_EXE not set")
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "ole32.dll",
               "winhttp.dll", "bcrypt.dll", "msvcrt.dll", "advapi32.dll"}
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def resources(data):
    """Resource type id -> the ids of its entries, from the PE resource directory."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    rva = struct.unpack_from("<I", data, pe + 24 + 112 + 16)[0]
    for offset in range(pe + 24 + optional_size, pe + 24 + optional_size + 40 * sections, 40):
        va, size, raw = struct.unpack_from("<III", data, offset + 12)
        if va <= rva < va + size:
            base = raw + rva - va

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        return [struct.unpack_from("<II", data, base + directory + 16 + 8 * i) for i in range(named + numbered)]
    return {kind: [ident for ident, _ in entries(sub & 0x7FFFFFFF)] for kind, sub in entries(0)}


def test_gui_program_importing_only_system_dlls():
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", EXE], check=True, capture_output=True, text=True).stdout
    assert "(Windows GUI)" in dump
    dlls = set(map(str.lower, re.findall(r"DLL Name: (\S+)", dump)))
    assert "kernel32.dll" in dlls and dlls <= SYSTEM_DLLS, dlls - SYSTEM_DLLS


def test_icon_one_and_a_version_block_naming_the_product_without_a_manifest():
    data = open(EXE, "rb").read()
    found = resources(data)
    assert 1 in found[RT_GROUP_ICON] and found[RT_ICON] and found[RT_VERSION] and RT_MANIFEST not in found
    assert "VORN Macros" in data.decode("utf-16-le", "ignore") and "2.0.0" in data.decode("utf-16-le", "ignore")
