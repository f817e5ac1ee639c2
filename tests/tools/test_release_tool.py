"""What the release tool guarantees to a real release: the manifest's exact
bytes, a reproducible ZIP with run.exe at its top, `verify` catching a
payload that no longer matches its manifest, and neither `make` nor `verify`
letting through a runner entry that Windows would not install as named, nor a
launcher and run.exe that an updater anchored on a signed launcher would refuse."""
import functools
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

import pytest

TOOL = Path(__file__).resolve().parents[2] / "tools" / "release_tool.py"
PROGRAM, SIGNING = os.environ.get("VORN_EXE"), tempfile.TemporaryDirectory()
RUNNER = {"run.exe": b"MZ runner", "lib/core.dll": b"core" * 1000, "lib/plugins/größe.txt": b"x"}
ENTRIES = ["lib/", "lib/core.dll", "lib/plugins/", "lib/plugins/größe.txt", "run.exe"]


def tool(*args):
    return subprocess.run([sys.executable, TOOL, *map(str, args)], capture_output=True, text=True, timeout=60)


def make_release(source, out, runner=None, options=(), launcher=b"MZ launcher 2.1.0"):
    """`make` of launcher, as source/launcher.exe, and of runner, by default RUNNER written to source/runner."""
    for name, data in RUNNER.items():
        (source / "runner" / name).parent.mkdir(parents=True, exist_ok=True)
        (source / "runner" / name).write_bytes(data)
    (source / "launcher.exe").write_bytes(launcher)
    return tool("make", "--launcher", source / "launcher.exe", "--runner", runner or source / "runner",
                "--launcher-version", "2.1.0", "--runner-version", "2.1 β", "--out", out, *options)


def make(source, out):
    made = make_release(source, out)
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


def test_verify_catches_a_payload_that_changed(tmp_path):
    release = make(tmp_path / "source", tmp_path / "release")
    assert tool("verify", release).stdout == "VORNLauncher.exe is not signed\nrun.exe is not signed\nOK\n"
    (release / "VORNLauncher.exe").write_bytes(b"MZ launcher 2.1.1")
    checked = tool("verify", release)
    assert checked.returncode == 1 and "VORNLauncher.exe: SHA-256" in checked.stdout


class Entry(zipfile.ZipInfo):
    """An entry as other ZIP writers may store it: the name's UTF-8 bytes with exactly `flags`."""
    def _encodeFilenameFlags(self):
        return self.filename.encode(), self.flags


def entry(name, flags=0x800, method=zipfile.ZIP_STORED, mode=0o100644):
    info = Entry(name)
    info.flags, info.compress_type, info.create_system, info.external_attr = flags, method, 3, mode << 16
    return info


SEE = ' (see "Path length" in docs/INTEGRATION.md)'
REFUSALS = [  # entries beside run.exe, options, the line naming the entry and the reason
    ([entry("données/été.txt", flags=0)], (), "'données/été.txt': non-ASCII name without the UTF-8 flag; "
                                              "Windows reads it as 'donn├⌐es/├⌐t├⌐.txt'"),
    (["/x"], (), "'/x': is an absolute path"),
    (["c:x"], (), "'c:x': starts with a drive letter"),
    (["lib\\x"], (), "'lib\\\\x': contains a backslash"),
    (["../x"], (), "'../x': has a '..' element"),
    (["lib//x"], (), "'lib//x': has an empty element"),
    (["lib/Aux.tar.gz"], (), "'lib/Aux.tar.gz': 'Aux.tar.gz' is a device name on Windows"),
    (["lib/x."], (), "'lib/x.': 'x.' ends with a dot or space, which Windows drops"),
    (["lib/x "], (), "'lib/x ': 'x ' ends with a dot or space, which Windows drops"),
    (["x/a:b"], (), "'x/a:b': contains ':', which Windows does not allow in a name"),
    (["x\x1f"], (), "'x\\x1f': contains '\\x1f', which Windows does not allow in a name"),
    (["Lib/a.txt", "lib/A.txt"], (),
     "'lib/A.txt': 'lib' and 'Lib' are one name on Windows, which ignores letter case"),
    ([entry("link", mode=0o120777)], (), "'link': is a symbolic link"),
    ([entry("x", flags=0x801)], (), "'x': is encrypted"),
    ([entry("x", method=12)], (),
     "'x': uses compression method 12; only stored (0) and deflate (8) extract everywhere"),
    (["f" * 140], (), f"'{'f' * 140}': is 140 characters long, more than the 139 a runner file may have{SEE}"),
    # Windows counts a character beyond the Basic Multilingual Plane twice: at the budget, then one past it.
    (["\U0001F600" + "f" * 137, "\U0001F600" + "f" * 138], (),
     f"'\U0001F600{'f' * 138}': is 140 characters long, more than the 139 a runner file may have{SEE}"),
    ([f"{'d' * 131}/f"], (),
     f"'{'d' * 131}/f': its folder is 131 characters long, more than the 130 a runner folder may have{SEE}"),
    (["f" * 160], ("--longest-install-dir", "C:\\Program Files\\VORN Macros"),
     f"'{'f' * 160}': is 160 characters long, more than the 159 a runner file may have{SEE}"),
    # The signers of the launcher and run.exe (None: unsigned; V+: signed by V, then changed), and the line.
    (("V", None), (), "different signers: VORNLauncher.exe by /CN=V, run.exe by nobody"),
    ((None, "V"), (), "different signers: VORNLauncher.exe by nobody, run.exe by /CN=V"),
    (("V", "O"), (), "different signers: VORNLauncher.exe by /CN=V, run.exe by /CN=O"),
    (("V+", "V"), (), "VORNLauncher.exe: the signature does not match the file (changed after signing)"),
    (("V", "V"), ("--publisher", "/CN=O"), "signed by /CN=V, not by the publisher /CN=O"),
]


@functools.cache
def signed(signer):
    """A real program, the built updater, as REFUSALS names its signer, under a test CA of its own."""
    if not PROGRAM:
        pytest.skip("needs VORN_EXE, a program to sign (run through scripts/test)")
    path = shutil.copyfile(PROGRAM, Path(SIGNING.name, "program.exe"))
    if signer:
        subprocess.run([sys.executable, TOOL.with_name("vorn_tls.py"), "sign", Path(SIGNING.name, "ca"),
                        signer.rstrip("+"), path], check=True, timeout=60)
    data = path.read_bytes()
    return data.replace(b"DOS mode", b"DOS MODE") if signer and signer.endswith("+") else data


@pytest.mark.parametrize("entries, options, line", REFUSALS)
def test_make_and_verify_refuse_what_windows_or_the_updater_would_not_install(tmp_path, entries, options, line):
    release = make(tmp_path / "source", tmp_path / "release")
    signers = isinstance(entries, tuple)
    launcher, run_exe = map(signed, entries) if signers else (b"MZ launcher", b"x")
    runner = tmp_path / "ready.zip"
    with zipfile.ZipFile(runner, "w") as archive:
        archive.writestr(entry("run.exe"), run_exe)
        for info in [] if signers else (entry(e) if isinstance(e, str) else e for e in entries):
            archive.writestr(info, b"x")
    made = make_release(tmp_path / "source", tmp_path / "refused", runner, options, launcher)
    assert (made.returncode, made.stderr) == (1, f"release_tool: {'' if signers else 'runner entry '}{line}\n")
    assert not (tmp_path / "refused").exists()
    shutil.copyfile(runner, release / "VORNRunner.zip")
    (release / "VORNLauncher.exe").write_bytes(launcher)
    assert ("" if signers else "VORNRunner.zip: entry ") + line in tool("verify", release, *options).stdout.split("\n")


def test_a_runner_directory_is_checked_before_it_is_zipped(tmp_path):
    for name in ("Lib/a.txt", "lib/A.txt"):
        (tmp_path / "source" / "runner" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "source" / "runner" / name).write_bytes(b"x")
    made = make_release(tmp_path / "source", tmp_path / "refused")
    assert (made.returncode, made.stderr) == (1, "release_tool: runner entry 'lib/': 'lib' and 'Lib' are one "
                                                 "name on Windows, which ignores letter case\n")
