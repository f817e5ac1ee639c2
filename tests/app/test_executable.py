"""The built VORNUpdate.exe as a file: a GUI program that imports only
system DLLs and carries icon 1, a version block and an application manifest
that asks for the invoker's rights and nothing else. Run by CTest with VORN_EXE set to the program."""
import os
import re
import subprocess

import pytest

EXE = os.environ.get("VORN_EXE")
pytestmark = pytest.mark.skipif(not EXE, reason="VORN_EXE not set")
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "ole32.dll",
               "winhttp.dll", "bcrypt.dll", "wintrust.dll", "crypt32.dll", "msvcrt.dll", "advapi32.dll"}
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# No common controls 6, no DPI awareness, no supported OS: the window stays as
# it is; only installer detection is told not to ask for elevation.
MANIFEST = b"""<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
</assembly>
"""


@pytest.fixture(scope="module")
def dump():
    return subprocess.run(["x86_64-w64-mingw32-objdump", "-p", EXE], check=True, capture_output=True,
                          text=True).stdout


def test_gui_program_importing_only_system_dlls(dump):
    assert "(Windows GUI)" in dump
    dlls = set(map(str.lower, re.findall(r"DLL Name: (\S+)", dump)))
    assert "kernel32.dll" in dlls and dlls <= SYSTEM_DLLS, dlls - SYSTEM_DLLS


def test_icon_one_a_version_block_naming_the_product_and_the_as_invoker_manifest(dump):
    # objdump lists the resource directory as a tree: types, then their names.
    resources, kind = {}, None
    for indent, ident in re.findall(r"^[0-9a-f]+( {3}| {5})Entry: ID: 0x([0-9a-f]+)", dump, re.MULTILINE):
        if len(indent) == 3:
            kind = resources.setdefault(int(ident, 16), [])
        else:
            kind.append(int(ident, 16))
    assert 1 in resources[RT_GROUP_ICON] and resources[RT_ICON] and resources[RT_VERSION]
    assert resources[RT_MANIFEST] == [1]
    data = open(EXE, "rb").read()
    start = data.find(b"<?xml")
    assert data[start:data.find(b"</assembly>", start) + len(b"</assembly>\n")] == MANIFEST
    text = data.decode("utf-16-le", "ignore")
    assert "VORN Macros" in text and "2.0.0" in text
