"""What the release tool guarantees to a real release: the manifest's exact
bytes, a reproducible ZIP with run.exe at its top, and `verify` catching a
payload that no longer matches its manifest."""
import hashlib
import os
import subprocess
import sys
import zipfile
from pathlib import Path

TOOL = Path(__file__).resolve().parents[2] / "tools" / "release_tool.py"
RUNNER = {"run.exe": b"MZ runner", "lib/core.dll": b"core" * 1000, "lib/plugins/größe.txt": b"x"}
ENTRIES = ["lib/", "lib/core.dll", "lib/plugins/", "lib/plugins/größe.txt", "run.exe"]


def tool(*args):
    return subprocess.run([sys.executable, TOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


def make(source, out):
    for name, data in RUNNER.items():
        (source / "runner" / name).parent.mkdir(parents=True, exist_ok=True)
        (source / "runner" / name).write_bytes(data)
    (source / "launcher.exe").write_bytes(b"MZ launcher 2.1.0")
    made = tool("make", "--launcher", source / "launcher.exe", "--runner", source / "runner",
                "--launcher-version", "2.1.0", "--runner-version", "2.1 β", "--out", out)
    assert made.returncode == 0, made.stderr
    return out


def test_release_directory_has_exact_manifest_and_runner_at_the_top(tmp_path):
    release = make(tmp_path / "source", tmp_path / "release")
    runner = (release / "VORNRunner.zip").read_bytes()
    assert (release / "manifest.json").read_bytes() == (
        '{\n  "protocol": 1,\n  "launcherVersion": "2.1.0",\n  "runnerVersion": "2.1 β",\n'
        '  "launcherSha256": "84e7f31c068c23b376fa67243d761c0620a7f5ab49c0387d4ff3fddd6c1580ea",\n'
        f'  "runnerSha256": "{hashlib.sha256(runner).hexdigest()}",\n'
        f'  "launcherSize": 17,\n  "runnerSize": {len(runner)}\n}}\n').encode()
    with zipfile.ZipFile(release / "VORNRunner.zip") as archive:
        assert archive.namelist() == ENTRIES
        assert {i.date_time for i in archive.infolist()} == {(1980, 1, 1, 0, 0, 0)}
        assert {archive.read(name) for name in RUNNER} == set(RUNNER.values())


def test_same_input_gives_the_same_bytes(tmp_path):
    first = make(tmp_path / "source", tmp_path / "first")
    for path in (tmp_path / "source").rglob("*"):
        os.utime(path, (1_700_000_000, 1_700_000_000))
    second = make(tmp_path / "source", tmp_path / "second")
    for name in ("VORNLauncher.exe", "VORNRunner.zip", "manifest.json"):
        assert (first / name).read_bytes() == (second / name).read_bytes(), name


def test_verify_catches_a_payload_that_changed(tmp_path):
    release = make(tmp_path / "source", tmp_path / "release")
    assert tool("verify", release).stdout == "OK\n"
    (release / "VORNLauncher.exe").write_bytes(b"MZ launcher 2.1.1")
    checked = tool("verify", release)
    assert checked.returncode == 1 and "VORNLauncher.exe: SHA-256" in checked.stdout
