"""Checks the test stand-ins under Wine.

Needs VORN_STANDIN_DIR (the build's standins directory) and a working wine;
WINEPREFIX selects the prefix. Run: /usr/bin/python3 -m pytest tests/standins
"""
import os
import shutil
import subprocess
import zipfile
from pathlib import Path

import pytest

STANDIN_DIR = os.environ.get("VORN_STANDIN_DIR")
if not STANDIN_DIR:
    pytest.skip("VORN_STANDIN_DIR is not set", allow_module_level=True)

TOKEN = "0123456789ABCDEF0123456789ABCDEF"
CONTENT = {
    "top.txt": b"hello",
    "nested/deeper/data.bin": bytes(range(256)) * 40,
    "\u00fcn\u00ef/\u540d\u524d.txt": "caf\u00e9".encode(),
    "empty/": b"",
}


def win(path):
    return "Z:" + str(path).replace("/", "\\")


def run(exe, *args, cwd=None, **env):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("VORN_")}
    full_env.update(WINEDEBUG="-all", **env)
    # Not pipes: Wine's helper processes may hold them open for seconds.
    return subprocess.run(["wine", str(exe), *args], cwd=cwd, env=full_env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60).returncode


def standin(name, copy_to=None):
    exe = Path(STANDIN_DIR) / name
    if copy_to is None:
        return exe
    copy_to.mkdir(parents=True, exist_ok=True)
    return Path(shutil.copy(exe, copy_to))


class Unseekable:
    """Makes zipfile stream, so sizes go into data descriptors."""

    def __init__(self, file):
        self.write, self.flush = file.write, file.flush


def make_zip(path, content=CONTENT, compression=zipfile.ZIP_DEFLATED, streamed=False):
    with open(path, "wb") as file:
        with zipfile.ZipFile(Unseekable(file) if streamed else file, "w", compression) as archive:
            for name, data in content.items():
                archive.writestr(name, data)
    return path


def assert_extracted(target, content=CONTENT):
    for name, data in content.items():
        if name.endswith("/"):
            assert (target / name).is_dir()
        else:
            assert (target / name).read_bytes() == data


def tar(archive, target, **env):
    return run(standin("tar.exe"), "-xf", win(archive), "-C", win(target), **env)


@pytest.mark.parametrize("compression, streamed", [(zipfile.ZIP_STORED, False), (zipfile.ZIP_DEFLATED, False),
                                                   (zipfile.ZIP_DEFLATED, True)])
def test_tar_extracts_and_overwrites(tmp_path, compression, streamed):
    target = tmp_path / "out"
    (target / "nested/deeper").mkdir(parents=True)
    (target / "top.txt").write_bytes(b"old")
    log = tmp_path / "tar.log"
    archive = make_zip(tmp_path / "a.zip", compression=compression, streamed=streamed)
    assert zipfile.ZipFile(archive).infolist()[0].flag_bits & 0x8 == (0x8 if streamed else 0)
    assert tar(archive, target, VORN_STANDIN_TAR_LOG=win(log)) == 0
    assert_extracted(target)
    assert log.read_text(encoding="utf-8").rstrip("\n").endswith(
        f'-xf {win(archive)} -C {win(target)}')


@pytest.mark.parametrize("name", ["../evil.txt", "ok/../../evil.txt", "/evil.txt",
                                  "C:/evil.txt", "..\\evil.txt", "a\\..\\..\\evil.txt",
                                  ".. /evil.txt", "ok/.../evil.txt"])
def test_tar_refuses_escaping_entries(tmp_path, name):
    sandbox = tmp_path / "sandbox"
    target = sandbox / "out"
    target.mkdir(parents=True)
    archive = make_zip(tmp_path / "a.zip", {"good.txt": b"g", name: b"evil"})
    assert tar(archive, target) != 0
    assert list(sandbox.rglob("*")) == [target]


def corrupt_crc(data):
    at = data.index(b"payload-bytes")
    return data[:at] + b"X" + data[at + 1:]


@pytest.mark.parametrize("damage", [lambda d: b"not a zip at all" * 4,
                                    lambda d: d[: len(d) // 2],
                                    lambda d: d[:-30],
                                    corrupt_crc])
def test_tar_fails_on_corrupt_archive(tmp_path, damage):
    archive = make_zip(tmp_path / "a.zip", {"f.txt": b"payload-bytes"}, zipfile.ZIP_STORED)
    archive.write_bytes(damage(archive.read_bytes()))
    (tmp_path / "out").mkdir()
    assert tar(archive, tmp_path / "out") != 0


@pytest.mark.parametrize("args", [["-xvf", "A", "-C", "D"], ["-xf", "A"], ["-xf", "A", "-C", "D", "x"],
                                  ["-xf", "A", "-C", "D/missing"]])
def test_tar_rejects_other_command_lines(tmp_path, args):
    archive = make_zip(tmp_path / "a.zip")
    (tmp_path / "out").mkdir()
    mapping = {"A": win(archive), "D": win(tmp_path / "out"), "D/missing": win(tmp_path / "missing")}
    assert run(standin("tar.exe"), *[mapping.get(a, a) for a in args]) != 0
    assert not any((tmp_path / "out").iterdir())


def powershell_command(archive, target):
    # PowerShell also ends single-quoted strings at typographic single quotes.
    quote = lambda path: "'" + "".join(c * 2 if c in "'\u2018\u2019\u201a\u201b" else c for c in win(path)) + "'"
    return f"Expand-Archive -LiteralPath {quote(archive)} -DestinationPath {quote(target)} -Force"


def powershell(exe, command, **env):
    return run(exe, "-NoProfile", "-NonInteractive", "-ExecutionPolicy", "Bypass", "-Command", command, **env)


@pytest.mark.parametrize("folder_name", ["it's a dir", "it\u2019s a dir"])
def test_powershell_extracts_with_quote_and_space(tmp_path, folder_name):
    folder = tmp_path / folder_name
    folder.mkdir()
    archive = make_zip(folder / "run'ner.zip")
    target = folder / "new target"
    assert powershell(standin("powershell.exe"), powershell_command(archive, target)) == 0
    assert_extracted(target)


@pytest.mark.parametrize("command", [
    "Expand-Archive -LiteralPath 'Z:\\it's.zip' -DestinationPath 'Z:\\out' -Force",
    "Expand-Archive -LiteralPath 'Z:\\a.zip' -DestinationPath 'Z:\\out'",
    "Expand-Archive -Path 'Z:\\a.zip' -DestinationPath 'Z:\\out' -Force"])
def test_powershell_rejects_malformed_commands(command):
    assert powershell(standin("powershell.exe"), command) != 0


@pytest.mark.parametrize("program, marker, variable", [
    ("tar.exe", "tar.fail", "VORN_STANDIN_TAR_FAIL"),
    ("powershell.exe", "powershell.fail", "VORN_STANDIN_POWERSHELL_FAIL")])
@pytest.mark.parametrize("by_marker", [False, True])
def test_fails_on_demand(tmp_path, program, marker, variable, by_marker):
    exe = standin(program, copy_to=tmp_path / "bin")
    env = {}
    if by_marker:
        (exe.parent / marker).touch()
    else:
        env[variable] = "1"
    archive, target = make_zip(tmp_path / "a.zip"), tmp_path / "out"
    target.mkdir()
    if program == "tar.exe":
        code = run(exe, "-xf", win(archive), "-C", win(target), **env)
    else:
        code = powershell(exe, powershell_command(archive, target), **env)
    assert code == 2
    assert not any(target.iterdir())


@pytest.mark.parametrize("config, args, code, confirmed", [
    ("confirm:0", ["--post-update-token", TOKEN], 0, TOKEN),
    ("confirm:50 exit:7", ["--post-update-token", TOKEN], 7, None),
    ("hang:50", ["--post-update-token", TOKEN], 0, None),
    ("wrongtoken:0", ["--post-update-token", TOKEN], 0, "FEDCBA9876543210FEDCBA9876543210"),
    ("exit:7", [], 0, None),
    ("exit:7", ["--standin-sleep", "50"], 0, None),
    ("confirm:0", ["--unknown"], 64, None),
    ("confirm:0", ["--post-update-token", TOKEN.lower()], 64, None),
    ("bogus:1", ["--post-update-token", TOKEN], 90, None)])
@pytest.mark.parametrize("from_file", [False, True])
def test_launcher(tmp_path, config, args, code, confirmed, from_file):
    install = tmp_path / "Install Dir"
    exe = standin("VORNLauncher.exe", copy_to=install)
    log = tmp_path / "log dir" / "launcher.log"
    log.parent.mkdir()
    config += f" log={win(log)}"
    env = {}
    if from_file:
        (install / "launcher-standin.txt").write_text(config, encoding="utf-8")
    else:
        env["VORN_LAUNCHER_STANDIN"] = config
    assert run(exe, *args, cwd=install, **env) == code
    confirmations = sorted(p.name for p in install.glob(".update-ok-*"))
    assert confirmations == ([f".update-ok-{confirmed}"] if confirmed else [])
    if code == 90:
        return
    cwd, cmdline, token = log.read_text(encoding="utf-8").rstrip("\n").split("\t")
    assert cwd == f"cwd={win(install)}"
    assert cmdline.startswith("cmdline=") and win(exe) in cmdline
    assert cmdline.endswith(" ".join(["", *args]) if args else '.exe"')
    assert token == "token=" + (args[1] if args[:1] == ["--post-update-token"] else "")
