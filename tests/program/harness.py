"""Machinery of the program-level suite: Wine environments ("lanes") for the
real VORNUpdate.exe, releases on the local download service or nginx, and the tools
the rows use around a run. Needs the environment scripts/test sets up."""
import contextlib
import functools
import hashlib
import io
import json
import os
import pwd
import re
import subprocess
import sys
import tempfile
import time
import urllib.request
import zipfile
from pathlib import Path

NEEDED = ("VORN_EXE", "VORN_UIPROBE", "WINEPREFIX", "DISPLAY", "VORN_LANE2_PREFIX", "VORN_LANE2_DISPLAY",
          "VORN_STANDIN_DIR", "VORN_TEST_HTTP", "VORN_TEST_HTTPS", "VORN_TEST_WWW", "VORN_NGINX_HTTPS",
          "VORN_NGINX_LOG")
MISSING = [name for name in NEEDED if not os.environ.get(name)]
ROOT = Path(__file__).resolve().parents[2]
LAUNCHER, ZIP, MANIFEST = "VORNLauncher.exe", "VORNRunner.zip", "manifest.json"
TOKEN = re.compile(r"[0-9A-F]{32}")
LIMIT_S = 240  # only keeps a broken run from hanging the suite


def win(path):
    """A Linux path as Wine sees it through drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# Never a pipe for a Wine program: Wine's helper processes keep it open.
SILENT = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def quiet(args, env=None, timeout=120):
    return subprocess.run([str(a) for a in args], env=env, timeout=timeout, **SILENT).returncode


def background(args, env=None, cwd=None):
    return subprocess.Popen([str(a) for a in args], env=env, cwd=cwd, **SILENT)


def wait_until(condition, what, limit_s=LIMIT_S):
    deadline = time.monotonic() + limit_s
    while not (result := condition()):
        assert time.monotonic() < deadline, f"gave up waiting for {what}"
        time.sleep(0.02)
    return result


def end(process, limit_s=60):
    with contextlib.suppress(subprocess.TimeoutExpired):
        return process.wait(limit_s)
    process.kill()
    return process.wait()


def requests_log():
    # Straight to the service, whatever proxy the environment names.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(f"{os.environ['VORN_TEST_HTTP']}/_requests", timeout=30) as reply:
        return json.load(reply)


def nginx_log():
    """nginx's access log, which scripts/test has it write in the form of the service's log."""
    log = Path(os.environ["VORN_NGINX_LOG"])
    return [json.loads(line) for line in log.read_text(encoding="utf-8").splitlines()] if log.exists() else []


def fingerprint(root):
    """Relative path -> bytes, or None (a directory)."""
    entries = {}
    for parent, dirs, files in os.walk(root):
        for path in (Path(parent, name) for name in dirs + files):
            entries[path.relative_to(root).as_posix()] = None if path.is_dir() else path.read_bytes()
    return entries


def tree(files, prefix=""):
    """Files (relative path -> bytes) under prefix, with their directories."""
    entries = {}
    for name, data in files.items():
        parts = (prefix + name).split("/")
        entries |= {"/".join(parts[:i]): None for i in range(1, len(parts))} | {prefix + name: data}
    return entries


def write_tree(root, entries):
    for name, data in sorted(entries.items()):
        path = Path(root, name)
        (path if data is None else path.parent).mkdir(parents=True, exist_ok=True)
        if data is not None:
            path.write_bytes(data)


def stamp(manifest):
    """The runner stamp the updater writes for a manifest."""
    return (f'{{\r\n  "runnerVersion": "{manifest["runnerVersion"]}",\r\n'
            f'  "runnerSha256": "{manifest["runnerSha256"]}"\r\n}}\r\n').encode()


def installation(launcher, runner, runner_stamp):
    """An installation's entries: the launcher's bytes, the runner's files and its stamp."""
    return tree(runner, "Runner/") | {"Runner/.vorn-runner.json": runner_stamp, LAUNCHER: launcher}


def zipped(files):
    """A ZIP of files under their names as given, ".." and all."""
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w") as archive:
        for name, content in files.items():
            archive.writestr(name, content)
    return data.getvalue()


def launcher_bytes(version):
    # The stand-in runs with bytes after its image: each version is the same
    # program with another digest.
    return (Path(os.environ["VORN_STANDIN_DIR"]) / LAUNCHER).read_bytes() + f"\nVERSION {version}\n".encode()


@functools.cache
def signed(program, publisher="VORN Test Publisher"):
    """A program's bytes signed by osslsigncode for CN=publisher, issued by the test CA."""
    env_dir = Path(os.environ["VORN_TEST_WWW"]).parent
    with tempfile.TemporaryDirectory(dir=env_dir) as tmp:
        Path(tmp, "program.exe").write_bytes(program)
        subprocess.run([sys.executable, ROOT / "tools/vorn_tls.py", "sign", env_dir / "tls", publisher,
                        Path(tmp, "program.exe")], check=True, capture_output=True, timeout=60)
        return Path(tmp, "program.exe").read_bytes()


class Lane:
    """A Wine prefix with its wineserver and display, as scripts/test starts
    them. The probe finds the window by class, which is per wineserver: lanes
    run side by side."""

    def __init__(self, env):
        self.env, self.display = env, env["DISPLAY"]
        self.temp = Path(env["WINEPREFIX"], "drive_c/users", pwd.getpwuid(os.getuid()).pw_name, "Temp")
        self.temp.mkdir(parents=True, exist_ok=True)
        # Without a window manager Wine waits for one whenever it hides a
        # window; it manages and frames the updater's windows itself instead.
        key = r"HKCU\Software\Wine\AppDefaults\VORNUpdate.exe\X11 Driver"
        for value in ("Managed", "Decorated"):
            assert self.wine("reg", "add", key, "/v", value, "/d", "N", "/f") == 0

    def wine(self, *args):
        return quiet(["wine", *args], self.env)


class Releases:
    """Releases made once each by the release tool and served to each row in
    a directory of its own, so that the service's log tells rows apart."""

    def __init__(self, www, recipes):
        self.www, self.recipes, self.made = Path(www), recipes, {}

    def publish(self, name):
        """A recipe's runner is files, or a ZIP's bytes that the release tool
        might refuse: those go in after it, with their digest and size."""
        if name not in self.made:
            launcher, runner = self.recipes[name]()
            source, out = self.www.parent / f"source-{name}", self.www / f"release-{name}"
            write_tree(source / "runner", runner if isinstance(runner, dict) else {"run.exe": b""})
            (source / LAUNCHER).write_bytes(launcher)
            subprocess.run([sys.executable, ROOT / "tools/release_tool.py", "make", "--launcher",
                            source / LAUNCHER, "--runner", source / "runner", "--launcher-version", "2.0.0",
                            "--runner-version", "2.0.0", "--out", out],
                           check=True, capture_output=True, timeout=120)
            if isinstance(runner, bytes):
                (out / ZIP).write_bytes(runner)
                manifest = json.loads((out / MANIFEST).read_text(encoding="utf-8"))
                manifest.update(runnerSha256=hashlib.sha256(runner).hexdigest(), runnerSize=len(runner))
                (out / MANIFEST).write_text(json.dumps(manifest, indent=2) + "\n", encoding="utf-8")
            self.made[name] = (out, runner)
        return self.made[name]

    def serve(self, release, name, edit=None):
        """The release as /<name>/, with edit(manifest) applied; returns the manifest."""
        directory = self.www / name
        directory.mkdir()
        for payload in (LAUNCHER, ZIP):
            (directory / payload).symlink_to(self.made[release][0] / payload)
        manifest = json.loads((self.made[release][0] / MANIFEST).read_text(encoding="utf-8"))
        if edit:
            edit(manifest)
        text = json.dumps(manifest, ensure_ascii=False, indent=2) + "\n"
        (directory / MANIFEST).write_text(text, encoding="utf-8")
        return manifest


def processes_mentioning(text):
    """Processes whose command line (for a Wine program, its Windows one) holds text."""
    found = []
    for entry in (entry for entry in Path("/proc").iterdir() if entry.name.isdigit()):
        with contextlib.suppress(OSError):  # ended meanwhile
            if text.encode() in (entry / "cmdline").read_bytes().replace(b"\0", b" "):
                found.append(int(entry.name))
    return found


def screenshot(display, name, *rects):
    """docs/screenshots/<name>: the screen area covering rects, with a margin."""
    left, top = (max(0, min(r[i] for r in rects) - 8) for i in (0, 1))
    right, bottom = (max(r[i] for r in rects) + 8 for i in (2, 3))
    target = ROOT / "docs/screenshots" / name
    crop = f"{right - left}x{bottom - top}+{left}+{top}"
    assert quiet(["import", "-display", display, "-window", "root", "-crop", crop, "+repage",
                  target.with_name("." + name)]) == 0
    os.replace(target.with_name("." + name), target)


@contextlib.contextmanager
def mounted(path, *options):
    """path mounted with mount's options for the block, only ever inside the
    private mount namespace of scripts/test, never in the machine's own."""
    assert os.environ.get("VORN_PRIVATE_NAMESPACE") and os.geteuid() == 0, "needs scripts/test"
    Path(path).mkdir(parents=True, exist_ok=True)
    assert quiet(["mount", *options, path]) == 0, options
    try:
        yield
    finally:
        quiet(["umount", "--lazy", path])  # a Wine process may still be letting go of it
