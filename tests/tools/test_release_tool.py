import hashlib
import io
import json
import os
import subprocess
import sys
import zipfile
from contextlib import redirect_stderr, redirect_stdout
from pathlib import Path
from types import SimpleNamespace

import pytest

TOOL = Path(__file__).resolve().parents[2] / "tools" / "release_tool.py"
sys.path.insert(0, str(TOOL.parent))
import release_tool  # noqa: E402

KEYS = ["protocol", "launcherVersion", "runnerVersion",
        "launcherSha256", "runnerSha256", "launcherSize", "runnerSize"]


def run_tool(*args):
    """Runs the command line in-process, which keeps the many cases fast."""
    out, err = io.StringIO(), io.StringIO()
    with redirect_stdout(out), redirect_stderr(err):
        code = release_tool.main([str(arg) for arg in args])
    return SimpleNamespace(returncode=code, stdout=out.getvalue(), stderr=err.getvalue())


def make(inputs, out, launcher_version="1.2.3", runner_version="4.5 β", **overrides):
    options = {"launcher": inputs / "launcher.exe", "runner": inputs / "runner"}
    options.update(overrides)
    return run_tool("make", "--launcher", options["launcher"], "--runner", options["runner"],
                    "--launcher-version", launcher_version, "--runner-version", runner_version,
                    "--out", out)


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


@pytest.fixture
def inputs(tmp_path):
    root = tmp_path / "in"
    runner = root / "runner"
    (runner / "lib" / "plugins").mkdir(parents=True)
    (runner / "data" / "empty").mkdir(parents=True)
    (runner / "run.exe").write_bytes(b"MZ runner" * 1000)
    (runner / "lib" / "core.dll").write_bytes(os.urandom(50_000))
    (runner / "lib" / "plugins" / "größe.txt").write_text("non-ASCII name")
    (root / "launcher.exe").write_bytes(b"MZ launcher" + os.urandom(10_000))
    return root


def test_release_reads_back(inputs, tmp_path):
    out = tmp_path / "release"
    result = make(inputs, out)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in out.iterdir()) == ["VORNLauncher.exe", "VORNRunner.zip", "manifest.json"]

    raw = (out / "manifest.json").read_bytes()
    assert not raw.startswith(b"\xef\xbb\xbf")
    assert "4.5 β".encode() in raw and b"\\" not in raw
    manifest = json.loads(raw.decode("utf-8"))
    assert list(manifest) == KEYS
    launcher, runner = out / "VORNLauncher.exe", out / "VORNRunner.zip"
    assert launcher.read_bytes() == (inputs / "launcher.exe").read_bytes()
    assert manifest == {
        "protocol": 1, "launcherVersion": "1.2.3", "runnerVersion": "4.5 β",
        "launcherSha256": sha256(launcher), "runnerSha256": sha256(runner),
        "launcherSize": launcher.stat().st_size, "runnerSize": runner.stat().st_size,
    }

    with zipfile.ZipFile(runner) as archive:
        assert archive.testzip() is None
        names = archive.namelist()
        assert names == sorted(names)
        assert set(names) == {"run.exe", "data/", "data/empty/", "lib/", "lib/core.dll",
                              "lib/plugins/", "lib/plugins/größe.txt"}
        assert archive.read("run.exe") == (inputs / "runner" / "run.exe").read_bytes()
        for info in archive.infolist():
            assert info.date_time == (1980, 1, 1, 0, 0, 0)
            if not info.is_dir():
                assert info.compress_type == zipfile.ZIP_DEFLATED

    extracted = tmp_path / "extracted"
    zipfile.ZipFile(runner).extractall(extracted)
    assert (extracted / "data" / "empty").is_dir()
    assert run_tool("verify", out).stdout.strip() == "OK"


def test_script_runs_from_the_command_line(inputs, tmp_path):
    def script(*args):
        return subprocess.run([sys.executable, str(TOOL), *map(str, args)], capture_output=True, text=True)
    made = script("make", "--launcher", inputs / "launcher.exe", "--runner", inputs / "runner",
                  "--launcher-version", "1", "--runner-version", "2", "--out", tmp_path / "out")
    assert made.returncode == 0, made.stderr
    assert script("verify", tmp_path / "out").stdout == "OK\n"
    (tmp_path / "out" / "VORNLauncher.exe").write_bytes(b"changed")
    assert script("verify", tmp_path / "out").returncode == 1


def test_same_input_gives_identical_release(inputs, tmp_path):
    assert make(inputs, tmp_path / "a").returncode == 0
    # Other timestamps and modes on disk must not leak into the archive.
    for path in (inputs / "runner").rglob("*"):
        os.utime(path, (1_700_000_000, 1_700_000_000))
    (inputs / "runner" / "run.exe").chmod(0o700)
    assert make(inputs, tmp_path / "b").returncode == 0
    for name in ("VORNLauncher.exe", "VORNRunner.zip", "manifest.json"):
        assert (tmp_path / "a" / name).read_bytes() == (tmp_path / "b" / name).read_bytes(), name


def test_runner_zip_is_copied_as_is(inputs, tmp_path):
    archive = inputs / "runner.zip"
    with zipfile.ZipFile(archive, "w") as zf:
        zf.writestr("run.exe", b"MZ")
        zf.writestr("sub/x.txt", b"x")
    assert make(inputs, tmp_path / "out", runner=archive).returncode == 0
    assert (tmp_path / "out" / "VORNRunner.zip").read_bytes() == archive.read_bytes()
    assert run_tool("verify", tmp_path / "out").returncode == 0


def test_empty_versions_are_allowed(inputs, tmp_path):
    assert make(inputs, tmp_path / "out", launcher_version="", runner_version="").returncode == 0
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text("utf-8"))
    assert manifest["launcherVersion"] == manifest["runnerVersion"] == ""


def nested_runner_zip(inputs):
    path = inputs / "nested.zip"
    with zipfile.ZipFile(path, "w") as zf:
        zf.writestr("runner/run.exe", b"MZ")
    return path


def empty_file(inputs, name):
    (inputs / name).write_bytes(b"")
    return inputs / name


def runner_dir(inputs, *files):
    path = inputs / "other"
    path.mkdir()
    for name in files:
        (path / name).parent.mkdir(parents=True, exist_ok=True)
        (path / name).write_bytes(b"x")
    return path


REFUSALS = [
    ("runner dir without run.exe", lambda i: {"runner": runner_dir(i, "sub/run.exe")}, "run.exe"),
    ("empty runner dir", lambda i: {"runner": runner_dir(i)}, "empty"),
    ("runner zip without run.exe at top", lambda i: {"runner": nested_runner_zip(i)}, "run.exe"),
    ("empty runner zip", lambda i: {"runner": empty_file(i, "r.zip")}, "empty"),
    ("runner not a zip", lambda i: {"runner": i / "launcher.exe"}, "not a ZIP"),
    ("empty launcher", lambda i: {"launcher": empty_file(i, "l.exe")}, "launcher is empty"),
    ("missing launcher", lambda i: {"launcher": i / "absent.exe"}, "launcher not found"),
    ("missing runner", lambda i: {"runner": i / "absent"}, "runner not found"),
    ("double quote", lambda i: {"launcher_version": 'a"b'}, "launcher version"),
    ("backslash", lambda i: {"runner_version": "a\\b"}, "runner version"),
    ("newline", lambda i: {"runner_version": "1\n2"}, "runner version"),
    ("control character", lambda i: {"launcher_version": "1\x01"}, "launcher version"),
    ("DEL", lambda i: {"launcher_version": "1\x7f"}, "launcher version"),
    # Each argument stays below the kernel's per-argument limit; together they overflow.
    ("oversized manifest", lambda i: {"launcher_version": "v" * 70_000, "runner_version": "v" * 70_000},
     "131072"),
]


@pytest.mark.parametrize("overrides, message", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_refusals_leave_nothing_behind(inputs, tmp_path, overrides, message):
    fresh, existing = tmp_path / "fresh", tmp_path / "existing"
    assert make(inputs, existing).returncode == 0
    before = {p.name: p.read_bytes() for p in existing.iterdir()}
    options = overrides(inputs)
    for out in (fresh, existing):
        result = make(inputs, out, **options)
        assert result.returncode != 0
        assert message in result.stderr
        assert len(result.stderr.strip().splitlines()) == 1, result.stderr
    assert not fresh.exists()
    assert {p.name: p.read_bytes() for p in existing.iterdir()} == before


def flip_last_byte(path):
    data = bytearray(path.read_bytes())
    data[-1] ^= 1
    path.write_bytes(bytes(data))


def edit_manifest(**changes):
    def edit(release):
        path = release / "manifest.json"
        manifest = json.loads(path.read_text("utf-8"))
        for key, value in changes.items():
            if value is None:
                del manifest[key]
            else:
                manifest[key] = value
        path.write_text(json.dumps(manifest, ensure_ascii=False), "utf-8")
    return edit


def append_byte(path):
    with open(path, "ab") as f:
        f.write(b"\0")


CORRUPTIONS = [
    ("launcher byte changed", lambda r: flip_last_byte(r / "VORNLauncher.exe"), "VORNLauncher.exe: SHA-256"),
    ("runner byte changed", lambda r: flip_last_byte(r / "VORNRunner.zip"), "VORNRunner.zip: SHA-256"),
    ("runner grew", lambda r: append_byte(r / "VORNRunner.zip"), "VORNRunner.zip: size"),
    ("launcher missing", lambda r: (r / "VORNLauncher.exe").unlink(), "VORNLauncher.exe: cannot read"),
    ("key missing", edit_manifest(runnerSize=None), "missing key 'runnerSize'"),
    ("extra key", edit_manifest(channel="beta"), "unexpected key 'channel'"),
    ("protocol zero", edit_manifest(protocol=0), "protocol"),
    ("upper-case digest", lambda r: edit_manifest(launcherSha256=sha256(r / "VORNLauncher.exe").upper())(r),
     "launcherSha256 is not 64 lower-case hex"),
    ("size as text", edit_manifest(launcherSize="10"), "launcherSize is not a non-negative integer"),
    ("escaped version", edit_manifest(runnerVersion="a\tb"), "escape sequences"),
    ("byte order mark", lambda r: (r / "manifest.json").write_bytes(
        b"\xef\xbb\xbf" + (r / "manifest.json").read_bytes()), "not valid UTF-8 JSON"),
    ("duplicate key", lambda r: (r / "manifest.json").write_text(
        '{"protocol": 1, "protocol": 1}'), "duplicate key"),
]


@pytest.mark.parametrize("corrupt, message", [c[1:] for c in CORRUPTIONS], ids=[c[0] for c in CORRUPTIONS])
def test_verify_reports_corruption(inputs, tmp_path, corrupt, message):
    release = tmp_path / "release"
    assert make(inputs, release).returncode == 0
    corrupt(release)
    result = run_tool("verify", release)
    assert result.returncode == 1
    assert message in result.stdout
    assert "OK" not in result.stdout.splitlines()
