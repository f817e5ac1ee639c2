"""Checks the built VORNUpdate.exe as a file: what it imports and which
resources it carries. Run by CTest with VORN_EXE set to the program."""
import os
import re
import struct
import subprocess

import pytest

EXE = os.environ.get("VORN_EXE")
pytestmark = pytest.mark.skipif(not EXE, reason="VORN_EXE not set")

# DLLs that ship with every supported Windows.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll",
    "ole32.dll", "winhttp.dll", "bcrypt.dll", "msvcrt.dll", "advapi32.dll",
}
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def resource_ids():
    """Maps each resource type id to the list of its entry ids."""
    data = open(EXE, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    rsrc_rva = struct.unpack_from("<I", data, optional + 112 + 2 * 8)[0]
    table = optional + optional_size
    for i in range(sections):
        offset = table + 40 * i
        va, raw_size, raw = struct.unpack_from("<I I I", data, offset + 12)
        if va <= rsrc_rva < va + raw_size:
            base = raw + (rsrc_rva - va)
            break
    else:
        return {}

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        for j in range(named + numbered):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * j)
            yield name, target & 0x7FFFFFFF

    return {kind: [ident for ident, _ in entries(sub)] for kind, sub in entries(0)}


def test_imports_only_system_dlls():
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", EXE],
                          check=True, capture_output=True, text=True).stdout
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert dlls and dlls <= SYSTEM_DLLS, dlls - SYSTEM_DLLS
    assert "(Windows GUI)" in dump


def test_icon_one_and_version_block_without_manifest():
    resources = resource_ids()
    assert 1 in resources.get(RT_GROUP_ICON, [])
    assert resources.get(RT_ICON)
    assert resources.get(RT_VERSION)
    assert RT_MANIFEST not in resources


def test_version_block_names_the_product():
    text = open(EXE, "rb").read().decode("utf-16-le", "ignore")
    for value in ("VORN Macros", "2.0.0"):
        assert value in text
