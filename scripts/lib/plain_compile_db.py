#!/usr/bin/env python3
"""Writes a build's compile database without its precompiled headers to
DIRECTORY/compile_commands.json, for the analysers: with them, every file
would include the headers of all, and clang-tidy would go through them all in
every file.

Usage: plain_compile_db.py BUILD_DIR DIRECTORY"""
import json
import re
import sys
from pathlib import Path

# CMake's flags that make clang use a precompiled header.
PCH_USE = re.compile(r' -Winvalid-pch| -Xclang -include-pch -Xclang ("[^"]*"|\S+) -Xclang -include -Xclang ("[^"]*"|\S+)')

build, out = map(Path, sys.argv[1:3])
entries = [dict(entry, command=PCH_USE.sub("", entry["command"]))
           for entry in json.loads((build / "compile_commands.json").read_text(encoding="utf-8"))
           if not entry["file"].endswith("cmake_pch.hxx.cxx")]  # the headers' own compilation
if left := [entry["file"] for entry in entries if "-include-pch" in entry["command"]]:
    sys.exit(f"plain_compile_db.py: precompiled headers left in the commands of {', '.join(left)}")
out.mkdir(parents=True, exist_ok=True)
(out / "compile_commands.json").write_text(json.dumps(entries, indent=2), encoding="utf-8")
