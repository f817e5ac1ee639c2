"""Driving the built VORNUpdate.exe under Wine from the outside:
installations and releases on disk, the program itself, the window probe
(tests/uiprobe), screenshots and the download service's request log.

Needs the environment that scripts/test sets up (Wine prefix, display,
download service) plus VORN_EXE and VORN_UIPROBE.
"""
import contextlib
import hashlib
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse
import urllib.request
import uuid
from dataclasses import dataclass, field
from pathlib import Path

import pytest

NEEDED = ("VORN_EXE", "VORN_UIPROBE", "WINEPREFIX", "DISPLAY", "VORN_STANDIN_DIR",
          "VORN_TEST_HTTP", "VORN_TEST_HTTPS", "VORN_TEST_WWW")
MISSING = [name for name in NEEDED if not os.environ.get(name)]

ROOT = Path(__file__).resolve().parents[2]
RELEASE_TOOL = ROOT / "tools" / "release_tool.py"
SCREENSHOTS = ROOT / "docs" / "screenshots"

# Upper bounds that only keep a broken run from hanging the suite.
PROBE_WAIT_MS = 60000
PROCESS_EXIT_S = 60
HANDSHAKE_EXIT_S = 150  # the handshake alone may take 90 checks 1 s apart
BACKGROUND_EXIT_S = 60  # for a probe to end once its window is gone

LAUNCHER = "VORNLauncher.exe"
RUNNER_ZIP = "VORNRunner.zip"
MANIFEST = "manifest.json"
STAMP = ".vorn-runner.json"
STAGING_PREFIX = "VORNUpdate-"
BACKUP_PREFIX = ".update-backup-"
CONFIRMATION_PREFIX = ".update-ok-"

COMPLETE = "Update complete"
FAILED = "Update failed"


def win(path):
    """A Linux path as Wine sees it through drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def launcher_bytes(version):
    # The stand-in runs fine with bytes after its image, so each version is
    # the same program with a different digest.
    return (Path(os.environ["VORN_STANDIN_DIR"]) / LAUNCHER).read_bytes() + f"\nVERSION {version}\n".encode()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def tree(root):
    """Every file under root as relative POSIX path -> bytes; directories map to None."""
    root = Path(root)
    return {path.relative_to(root).as_posix(): (path.read_bytes() if path.is_file() else None)
            for path in sorted(root.rglob("*"))}


def write_tree(root, files):
    for name, data in files.items():
        path = Path(root, name)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def prefix_temp_dir():
    """The Windows temporary directory of the Wine prefix (C:\\users\\<user>\\Temp)."""
    user = pwd.getpwuid(os.getuid()).pw_name
    return Path(os.environ["WINEPREFIX"], "drive_c", "users", user, "Temp")


def staging_dirs():
    temp = prefix_temp_dir()
    return {p.name for p in temp.iterdir() if p.name.startswith(STAGING_PREFIX)} if temp.is_dir() else set()


def run_quietly(args, timeout, env=None):
    # Never a pipe for a Wine program: Wine's helper processes inherit it and
    # keep it open long after the program itself has ended.
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout, env=env).returncode


def service_requests(prefix):
    url = f"{os.environ['VORN_TEST_HTTP']}/_requests?prefix={urllib.parse.quote(prefix)}"
    # Straight to the local service, whatever proxy the environment names.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(url, timeout=30) as reply:
        return json.load(reply)


@dataclass
class Installation:
    root: Path
    launcher_log: Path

    @property
    def launcher(self):
        return self.root / LAUNCHER

    @property
    def runner(self):
        return self.root / "Runner"

    def snapshot(self):
        return tree(self.root)

    def entries(self, prefix):
        return sorted(p.name for p in self.root.iterdir() if p.name.startswith(prefix))

    def launcher_starts(self):
        """One dict per start of the launcher stand-in: cwd, cmdline, token."""
        if not self.launcher_log.exists():
            return []
        starts = []
        for line in self.launcher_log.read_text(encoding="utf-8").splitlines():
            starts.append(dict(item.split("=", 1) for item in line.split("\t")))
        return starts

    def launcher_env(self, behaviour="confirm:0"):
        """VORN_LAUNCHER_STANDIN for launchers of this installation; they log every start."""
        return f"{behaviour} log={win(self.launcher_log)}"


@dataclass
class Release:
    name: str
    directory: Path
    launcher: bytes
    runner: dict
    manifest: dict
    fault: str = ""

    @property
    def manifest_url(self):
        return f"{os.environ['VORN_TEST_HTTPS']}/{self.name}/{MANIFEST}"

    @property
    def download_base(self):
        fault = f"/_fault/{self.fault}" if self.fault else ""
        return f"{os.environ['VORN_TEST_HTTPS']}{fault}/{self.name}"

    def args(self, install, components="launcher,runner", *extra):
        return ["--install-dir", win(install.root), "--manifest-url", self.manifest_url,
                "--download-base", self.download_base, "--components", components, *extra]

    def requested(self):
        """Sorted (method, file name, status) of every request for this release."""
        prefixes = [f"/{self.name}/"] + ([f"/_fault/{self.fault}/{self.name}/"] if self.fault else [])
        seen = []
        for prefix in prefixes:
            for record in service_requests(prefix):
                seen.append((record["method"], record["path"].rsplit("/", 1)[-1], record["status"]))
        return sorted(seen)

    def stamp(self):
        return {"runnerVersion": self.manifest["runnerVersion"], "runnerSha256": self.manifest["runnerSha256"]}


class Updater:
    """One run of VORNUpdate.exe; ended on leaving the `with` block if still running."""

    def __init__(self, args, env):
        self.process = subprocess.Popen(["wine", os.environ["VORN_EXE"], *args], env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def running(self):
        return self.process.poll() is None

    def wait(self, timeout=PROCESS_EXIT_S):
        return self.process.wait(timeout=timeout)

    @contextlib.contextmanager
    def frozen(self):
        """Stops the program (its timers included) for a moment, e.g. to capture
        a state that it leaves on its own. `wine` ends in an exec of the
        Windows program, so the child process is the program itself."""
        os.kill(self.process.pid, signal.SIGSTOP)
        try:
            yield
        finally:
            os.kill(self.process.pid, signal.SIGCONT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.running():
            self.process.kill()
        self.process.wait(timeout=PROCESS_EXIT_S)


class Probe:
    """Runs uiprobe.exe; every result comes back through a file, not a pipe."""

    def __init__(self, workdir):
        self.workdir = Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)

    def _out(self):
        return self.workdir / f"probe-{uuid.uuid4().hex}.json"

    def _command(self, command, args, out):
        return ["wine", os.environ["VORN_UIPROBE"], command, *args, "--out", win(out)]

    def run(self, command, *args):
        """(exit code, state or None). Actions report the state after their effect."""
        out = self._out()
        rc = run_quietly(self._command(command, args, out), timeout=PROBE_WAIT_MS / 1000 + 60)
        state = json.loads(out.read_text(encoding="utf-8")) if out.exists() else None
        return rc, state

    def state(self, attempts=5):
        """The window's state. A probe that could not be started under load
        leaves no result; it is simply asked again."""
        for _ in range(attempts):
            state = self.run("state")[1]
            if state is not None:
                return state
            time.sleep(0.2)
        return None

    def wait_title(self, title, min_progress=0, timeout_ms=PROBE_WAIT_MS):
        rc, state = self.run("wait-state", "--title", title, "--min-progress", str(min_progress),
                             "--timeout", str(timeout_ms))
        assert rc == 0, f"window never showed {title!r}; last state: {state}"
        return state

    def wait_error(self, timeout_ms=PROBE_WAIT_MS):
        rc, state = self.run("wait-error", "--timeout", str(timeout_ms))
        assert rc == 0, f"no error box appeared; last state: {state}"
        return state

    @contextlib.contextmanager
    def _background(self, command, *args):
        """Runs the probe alongside the block; yields its process and result file."""
        out = self._out()
        process = subprocess.Popen(self._command(command, args, out), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            yield process, out
        finally:
            try:
                process.wait(timeout=BACKGROUND_EXIT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    @contextlib.contextmanager
    def on_title(self, title, timeout_ms=PROBE_WAIT_MS):
        """Yields the state as soon as the probe has seen `title`, without
        waiting for the probe process to end."""
        with self._background("wait-state", "--title", title, "--timeout", str(timeout_ms)) as (process, out):
            deadline = time.monotonic() + timeout_ms / 1000 + BACKGROUND_EXIT_S
            # The file appears, whole, on a match or at the probe's own timeout.
            while not out.exists() and process.poll() is None and time.monotonic() < deadline:
                time.sleep(0.005)
            state = json.loads(out.read_text(encoding="utf-8")) if out.exists() else None
            assert state and state.get("title") == title, f"window never showed {title!r}; last state: {state}"
            yield state

    @contextlib.contextmanager
    def watching(self, timeout_ms=PROBE_WAIT_MS * 3):
        """Records every distinct window state until the window is gone; the
        yielded list is filled when the block ends. The block must end the
        updater, or the watch runs into its timeout."""
        states = []
        with self._background("watch", "--timeout", str(timeout_ms)) as (_, out):
            yield states
        if out.exists():
            states.extend(json.loads(line) for line in out.read_text(encoding="utf-8").splitlines() if line)


def xdotool(*args):
    """Real input through the X server, as a user would give it."""
    assert run_quietly(["xdotool", *args], timeout=30) == 0


def centre(rect):
    left, top, right, bottom = rect
    return (left + right) // 2, (top + bottom) // 2


def screenshot(name, *rects):
    """Saves the screen area covering `rects` (plus a margin) as
    docs/screenshots/<name>; returns the mean brightness, 0..1."""
    margin = 8
    left = max(0, min(r[0] for r in rects) - margin)
    top = max(0, min(r[1] for r in rects) - margin)
    right = max(r[2] for r in rects) + margin
    bottom = max(r[3] for r in rects) + margin
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    target = SCREENSHOTS / name
    partial = target.with_name(f".{name}.{os.getpid()}.png")
    try:
        assert run_quietly(["import", "-window", "root", "-crop",
                            f"{right - left}x{bottom - top}+{left}+{top}", "+repage", str(partial)],
                           timeout=60) == 0
        mean = subprocess.run(["convert", str(partial), "-colorspace", "Gray", "-format", "%[fx:mean]", "info:"],
                              check=True, capture_output=True, text=True, timeout=60).stdout
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)
    return float(mean)


@dataclass
class Harness:
    workdir: Path
    probe: Probe
    releases: list = field(default_factory=list)

    def directory(self, label):
        path = self.workdir / f"{label}-{uuid.uuid4().hex[:8]}"
        path.mkdir(parents=True)
        return path

    def installation(self, launcher, runner, stamp):
        """An installed launcher and runner; `stamp` (dict) becomes Runner/.vorn-runner.json."""
        root = self.directory("install")
        files = {LAUNCHER: launcher, **{f"Runner/{name}": data for name, data in runner.items()}}
        files[f"Runner/{STAMP}"] = json.dumps(stamp, indent=2).encode()
        write_tree(root, files)
        return Installation(root=root, launcher_log=self.directory("log") / "launcher.log")

    def publish(self, launcher, runner, version="2.0.0", fault=""):
        """A release published with the release tool under the served root."""
        source = self.directory("source")
        (source / LAUNCHER).write_bytes(launcher)
        write_tree(source / "runner", runner)
        name = f"e2e-{uuid.uuid4().hex[:12]}"
        directory = Path(os.environ["VORN_TEST_WWW"], name)
        subprocess.run([sys.executable, str(RELEASE_TOOL), "make", "--launcher", str(source / LAUNCHER),
                        "--runner", str(source / "runner"), "--launcher-version", version,
                        "--runner-version", version, "--out", str(directory)],
                       check=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        self.releases.append(directory)
        manifest = json.loads((directory / MANIFEST).read_text(encoding="utf-8"))
        return Release(name=name, directory=directory, launcher=launcher, runner=dict(runner),
                       manifest=manifest, fault=fault)

    def start(self, args, launcher_behaviour=None):
        env = dict(os.environ)
        if launcher_behaviour is not None:
            env["VORN_LAUNCHER_STANDIN"] = launcher_behaviour
        return Updater(args, env)

    def finish_failure(self, updater, close_with="click-close", on_box=None):
        """Drives a failed run to its end the way a user would: reads the error
        box, dismisses it, reads the window, closes it. Returns the states seen."""
        seen = {"box": self.probe.wait_error()}
        if on_box is not None:
            on_box(seen["box"])
        rc, seen["dismissed"] = self.probe.run("dismiss-error")
        assert rc == 0, seen
        seen["later"] = self.probe.state()
        seen["running_before_close"] = updater.running()
        if close_with.startswith("x:"):
            close_real(close_with[2:], seen["later"])
            seen["closed"] = None
        else:
            rc, seen["closed"] = self.probe.run(close_with)
            assert rc == 0, seen
        seen["exit"] = updater.wait()
        return seen


def close_real(how, state):
    """Asks the window to close with real input: a click on Close or Alt+F4."""
    if how == "click":
        x, y = centre(state["closeRect"])
        xdotool("mousemove", "--sync", str(x), str(y), "click", "1")
    elif how == "alt-f4":
        # No window manager: keyboard focus follows the pointer.
        x, y = centre(state["rect"])
        xdotool("mousemove", "--sync", str(x), str(y))
        xdotool("key", "alt+F4")
    else:
        raise ValueError(how)


HAVE_XDOTOOL = shutil.which("xdotool") is not None
needs_xdotool = pytest.mark.skipif(not HAVE_XDOTOOL, reason="xdotool is not installed")
