"""Machinery of the fault-injection suite: one update run driven to its end
whatever it does, the judgement of what it left, the matrix of scenarios
(docs/FAULTS.md), and the platform-side tools the scenarios need (small file
systems, the prefix's temporary directory, a second download service, the
Windows helper).

Builds on tests/e2e/updater_harness.py, imported unchanged.
"""
import contextlib
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import time
import urllib.parse
import uuid
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))

from updater_harness import (BACKUP_PREFIX, CONFIRMATION_PREFIX, FAILED, LAUNCHER, MANIFEST,  # noqa: E402
                             MISSING, ROOT, STAGING_PREFIX, STAMP, Installation, Updater, launcher_bytes,
                             prefix_temp_dir, run_quietly, service_requests, sha256, win, write_tree)

HELPER = os.environ.get("VORN_FAULTS_HELPER", "")
MISSING_HERE = MISSING + ([] if HELPER else ["VORN_FAULTS_HELPER"])

# Upper bounds that only keep a broken run from hanging the suite.
RUN_LIMIT_S = 300  # the longest run waits 90 handshake checks, then rolls back
WATCH_LIMIT_MS = (RUN_LIMIT_S + 60) * 1000
TOOL_LIMIT_S = 120

# The one sentence each failure shows (the window's detail label and its box).
HTTP_ERROR = "The update server returned an HTTP error."
UNREACHABLE = "The update server could not be reached."
SIZE_MISMATCH = "The downloaded file size does not match the release manifest."
BAD_DIGEST = "The downloaded file failed SHA-256 verification. Nothing was installed."
MANIFEST_TOO_LARGE = "Update manifest is too large."
NOT_CONFIRMED = ("The updated launcher did not confirm a healthy start. "
                 "The previous installation will be restored.")
LAUNCHER_STAYED = "VORN Launcher did not close in time."
INSTALL_FAILED = "Could not install a file."
DOWNLOAD_WRITE_FAILED = "Could not write a downloaded file."

OLD_RUNNER = {"run.exe": b"runner 1\n", "lib/shared.txt": b"shared 1\n", "only-in-1.txt": b"old\n"}
OLD_STAMP = {"runnerVersion": "1.0.0", "runnerSha256": sha256(b"runner archive 1")}
# Random content: compression cannot make the download or the copy small.
NEW_RUNNER = {"run.exe": b"runner 2\n", "lib/shared.txt": b"shared 2\n", "lib/deeper/new.txt": b"new in 2\n",
              "data/blob.bin": os.urandom(2 << 20)}

# Where a failure leaves the installation (the design's table of ends).
BEFORE_INSTALL = "before-install"  # untouched, no backup directory
DURING_INSTALL = "during-install"  # restored, one empty backup directory

GROUPS = ["Network", "Launcher", "Files", "Paths", "Leftovers"]
NOT_ON_WINE = "not reproducible under Wine"


# --- What a run leaves on disk ------------------------------------------------

def fingerprint(root, skip=()):
    """Every entry under root (skipping the top-level names in `skip`) as
    relative POSIX path -> (kind, SHA-256 of the content, read-only)."""
    root = Path(root)
    entries = {}
    for path in sorted(root.rglob("*")):
        relative = path.relative_to(root).as_posix()
        if relative.split("/", 1)[0] in skip:
            continue
        mode = path.lstat().st_mode
        read_only = not mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH)
        if stat.S_ISDIR(mode):
            entries[relative] = ("dir", "", read_only)
        else:
            entries[relative] = ("file", hashlib.sha256(path.read_bytes()).hexdigest(), read_only)
    return entries


def tree_hash(entries):
    """One SHA-256 over all paths, kinds, contents and read-only flags."""
    return hashlib.sha256(json.dumps(sorted(entries.items())).encode()).hexdigest()


def differences(before, after, limit=4):
    changed = sorted(name for name in before.keys() | after.keys() if before.get(name) != after.get(name))
    text = ", ".join(f"{name} ({'added' if name not in before else 'removed' if name not in after else 'changed'})"
                     for name in changed[:limit])
    return text + (f" and {len(changed) - limit} more" if len(changed) > limit else "")


def clear_read_only(root):
    """Lets the test's own cleanup remove a tree the scenario made read-only."""
    for path in Path(root).rglob("*"):
        if not path.is_symlink():
            path.chmod(path.stat().st_mode | stat.S_IWUSR)


# --- Installations and releases -------------------------------------------------

def make_installation(root, log_dir, launcher=None, runner=None, stamp=None):
    """The version-1 installation (or the given parts) at `root`, which may
    already exist (a mount point, a directory with an awkward name)."""
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    files = {LAUNCHER: launcher if launcher is not None else launcher_bytes(1),
             **{f"Runner/{name}": data for name, data in (runner or OLD_RUNNER).items()},
             f"Runner/{STAMP}": json.dumps(stamp or OLD_STAMP, indent=2).encode()}
    write_tree(root, files)
    Path(log_dir).mkdir(parents=True, exist_ok=True)
    return Installation(root=root, launcher_log=Path(log_dir) / "launcher.log")


def edit_manifest(release, **changes):
    """Rewrites the published manifest with some values changed, the way a
    wrong manifest would be served."""
    manifest = dict(release.manifest, **changes)
    (release.directory / MANIFEST).write_text(json.dumps(manifest, ensure_ascii=False, indent=2) + "\n",
                                              encoding="utf-8")
    release.manifest = manifest


def fault_url(base, directives, path):
    return f"{base}/_fault/{directives}{path}" if directives else f"{base}{path}"


def update_args(release, install, components="launcher,runner", manifest_fault="", payload_fault="",
                base=None, payload_base=None, extra=()):
    """The updater's command line for `release`, with faults on the manifest
    request and/or on both payload requests (one base serves both)."""
    base = base or os.environ["VORN_TEST_HTTPS"]
    payload_base = payload_base or base
    return ["--install-dir", win(install.root),
            "--manifest-url", fault_url(base, manifest_fault, f"/{release.name}/{MANIFEST}"),
            "--download-base", fault_url(payload_base, payload_fault, f"/{release.name}"),
            "--components", components, *extra]


def requests_for(release):
    """(file name, status, bytes sent) of every request for the release, in order."""
    records = [r for r in service_requests("") if f"/{release.name}/" in r["path"]]
    return [(r["path"].rsplit("/", 1)[-1], r["status"], r["bytes"]) for r in records]


def settled_requests(release, quiet_s=1.0, limit_s=30):
    """The request log once the service has stopped sending for the release:
    a server thread may still be writing into a connection the client left."""
    deadline = time.monotonic() + limit_s
    last = requests_for(release)
    quiet_since = time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.2)
        now = requests_for(release)
        if now != last:
            last, quiet_since = now, time.monotonic()
        elif time.monotonic() - quiet_since >= quiet_s:
            break
    return last


# --- One run, driven to its end -------------------------------------------------

@dataclass
class Outcome:
    exit: int
    states: list  # every distinct window state the watcher saw, in order
    seen: dict = field(default_factory=dict)  # the failure as read and closed by the harness

    @property
    def message(self):
        return self.seen["box"]["errorBox"]["text"] if self.seen else None

    def boxes_shown(self):
        """How many times an error box appeared, and every text one showed."""
        appearances, texts, showing = 0, [], False
        for state in self.states:
            present = state.get("found") and state["errorBox"]["present"]
            if present and not showing:
                appearances += 1
            if present:
                texts.append(state["errorBox"]["text"])
                if state["errorBoxCount"] != 1:
                    appearances += state["errorBoxCount"] - 1
            showing = bool(present)
        return appearances, texts

    def titles(self):
        return [s["title"] for s in self.states if s.get("found")]

    def details(self):
        return [s["detail"] for s in self.states if s.get("found")]


def _watched(out):
    if not out.exists():
        return []
    states = []
    for line in out.read_text(encoding="utf-8", errors="replace").splitlines():
        try:
            states.append(json.loads(line))
        except ValueError:
            pass  # a line still being written
    return states


def drive(harness, args, env_changes=None, launcher_behaviour=None, during=None):
    """Runs the updater until it ends by itself (success) or shows its error
    box, which is then read, dismissed and closed as a user would. `during`,
    if given, is called every poll with the running Updater until it returns
    True. Every window state is watched throughout."""
    env = dict(os.environ)
    if launcher_behaviour is not None:
        env["VORN_LAUNCHER_STANDIN"] = launcher_behaviour
    env.update(env_changes or {})
    probe = harness.probe
    out = probe._out()
    watcher = subprocess.Popen(probe._command("watch", ["--timeout", str(WATCH_LIMIT_MS)], out),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen = {}
    try:
        with Updater(args, env) as updater:
            deadline = time.monotonic() + RUN_LIMIT_S
            done_during = during is None
            while updater.running() and time.monotonic() < deadline:
                if not done_during:
                    done_during = bool(during(updater))
                if any(s.get("found") and s["errorBox"]["present"] for s in _watched(out)):
                    seen = harness.finish_failure(updater)
                    break
                time.sleep(0.05)
            exit_code = seen["exit"] if seen else updater.wait(timeout=60)
    finally:
        try:
            watcher.wait(timeout=60)
        except subprocess.TimeoutExpired:
            watcher.kill()
            watcher.wait()
    return Outcome(exit=exit_code, states=_watched(out), seen=seen)


# --- Judging what a run did -----------------------------------------------------

@dataclass
class Scene:
    """An installation as it was before a run, to judge the run against."""
    install: Installation
    release: object
    components: str = "launcher,runner"
    before: dict = None
    staging_before: set = None
    temp_dir: Path = None

    def __post_init__(self):
        self.temp_dir = Path(self.temp_dir) if self.temp_dir else prefix_temp_dir()
        self.before = fingerprint(self.install.root)
        self.staging_before = self.staging()

    def staging(self):
        if not self.temp_dir.is_dir():
            return set()
        return {p.name for p in self.temp_dir.iterdir() if p.name.startswith(STAGING_PREFIX)}

    def new_staging(self):
        return self.staging() - self.staging_before

    def new_backups(self):
        old = {name.split("/", 1)[0] for name in self.before}
        return [name for name in self.install.entries(BACKUP_PREFIX) if name not in old]

    def tidy(self):
        """Removes the staging directories this run left, after judging."""
        for name in self.new_staging():
            shutil.rmtree(self.temp_dir / name, ignore_errors=True)


def judge_failure(scene, outcome, message, stage, launcher_leaves=(), restart=True):
    """Problems with a run that had to fail with `message` and leave the
    installation as it was (plus one empty backup directory when the failure
    came after the install began). `launcher_leaves`: top-level names the
    launcher stand-in itself creates, which are not the updater's to remove."""
    problems = []
    if outcome.exit != 1:
        problems.append(f"exit code {outcome.exit}, not 1")
    appearances, texts = outcome.boxes_shown()
    if appearances != 1:
        problems.append(f"{appearances} error boxes shown, not one")
    if set(texts) != {message}:
        problems.append(f"message {sorted(set(texts))}, not {message!r}")
    if outcome.seen:
        later = outcome.seen["later"]
        if later is None:
            problems.append("the window's state could not be read after the box")
        elif (later["title"], later["detail"], later["errorBoxCount"]) != (FAILED, message, 0):
            problems.append(f"window after the box: {later['title']!r} / {later['detail']!r}, "
                            f"{later['errorBoxCount']} boxes")
    backups = scene.new_backups()
    expected_backups = 1 if stage == DURING_INSTALL else 0
    if len(backups) != expected_backups:
        problems.append(f"{len(backups)} new backup directories, not {expected_backups}")
    for name in backups:
        if any((scene.install.root / name).iterdir()):
            problems.append(f"backup directory {name} is not empty")
    after = fingerprint(scene.install.root, skip=set(backups) | set(launcher_leaves))
    if tree_hash(after) != tree_hash(scene.before):
        problems.append(f"installation changed: {differences(scene.before, after)}")
    starts = scene.install.launcher_starts()
    tokens = [s for s in starts if s["token"]]
    if stage == BEFORE_INSTALL and tokens:
        problems.append("a launcher was started with a token although nothing was installed")
    last = starts[-1] if starts else None
    if stage == DURING_INSTALL and restart and (not last or last["token"] or "--standin-sleep" in last["cmdline"]):
        problems.append("the previous launcher was not restarted without a token after the rollback")
    if len(scene.new_staging()) != 1:
        problems.append(f"{len(scene.new_staging())} staging directories left, not one")
    return problems


def judge_success(scene, outcome):
    """Problems with a run that had to install the release and have it confirmed."""
    problems = []
    install, release = scene.install, scene.release
    if outcome.exit != 0:
        problems.append(f"exit code {outcome.exit}, not 0"
                        + (f" ({outcome.message!r})" if outcome.message else ""))
    appearances, texts = outcome.boxes_shown()
    if appearances:
        problems.append(f"error box shown: {texts[0]!r}")
    expected = dict(scene.before)
    launcher_new = "launcher" in scene.components
    runner_new = "runner" in scene.components
    after = fingerprint(install.root)
    if launcher_new and (not install.launcher.is_file() or install.launcher.read_bytes() != release.launcher):
        problems.append(f"installed launcher is not the release's ({_size(install.launcher)} bytes, "
                        f"the release's has {len(release.launcher)})")
    if runner_new:
        runner = {name: data for name, data in _files(install.runner).items() if name != STAMP}
        if runner != release.runner:
            problems.append(f"installed runner differs from the release: "
                            f"{differences(_digests(release.runner), _digests(runner))}")
        try:
            stamp = json.loads((install.runner / STAMP).read_text(encoding="utf-8"))
        except (OSError, ValueError) as error:
            stamp = f"unreadable ({error.__class__.__name__}, {_size(install.runner / STAMP)} bytes)"
        if stamp != release.stamp():
            problems.append(f"runner stamp is {stamp!r}")
    # Everything outside the replaced components must be as it was.
    replaced = ({LAUNCHER} if launcher_new else set()) | ({"Runner"} if runner_new else set())
    outside_before = {k: v for k, v in expected.items() if k.split("/", 1)[0] not in replaced}
    outside_after = {k: v for k, v in after.items() if k.split("/", 1)[0] not in replaced}
    if outside_after != outside_before:
        problems.append(f"left beside the installation: {differences(outside_before, outside_after)}")
    confirmations = [n for n in install.entries(CONFIRMATION_PREFIX) if n not in {k.split('/')[0] for k in expected}]
    if confirmations:
        problems.append(f"confirmation file left: {confirmations}")
    tokens = [s for s in install.launcher_starts() if s["token"]]
    if len(tokens) != 1:
        problems.append(f"{len(tokens)} launcher starts with a token, not one")
    if scene.new_staging():
        problems.append(f"staging directory left: {sorted(scene.new_staging())}")
    return problems


def _files(root):
    root = Path(root)
    return {p.relative_to(root).as_posix(): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def _digests(files):
    return {name: ("file", sha256(data), False) for name, data in files.items()}


def _size(path):
    try:
        return path.stat().st_size
    except OSError:
        return "no"


def describe(scene, outcome, problems=()):
    """The observed column of the matrix."""
    parts = [f"exit {outcome.exit}"]
    if outcome.message is not None:
        # Paths of this run's directories would make the matrix differ on every run.
        parts.append(f"“{outcome.message.replace(win(scene.install.root), '<install dir>')}”")
    if outcome.exit == 0 and not problems:
        parts.append("release installed and confirmed")
    elif not problems:
        backups = scene.new_backups()
        parts.append("installation unchanged" + (", empty backup directory left" if backups else ""))
    parts.extend(problems)
    return "; ".join(parts)


# --- The matrix -----------------------------------------------------------------

@dataclass
class Row:
    group: str
    scenario: str
    expected: str
    observed: str
    verdict: str


class Matrix:
    """Rows gathered while the suite runs; written to docs/FAULTS.md when the
    whole suite ran, so the file always describes a complete run."""

    def __init__(self):
        self.rows = []

    def record(self, group, scenario, expected, observed, problems=(), verdict=None):
        assert group in GROUPS, group
        if verdict is None:
            verdict = "as expected" if not problems else "DIFFERS"
        # Tokens are fresh on every run; the matrix should not be.
        observed = re.sub(r"(?<=[-_])[0-9A-F]{32}\b", "<token>", observed)
        self.rows.append(Row(group, scenario, expected, observed, verdict))

    def render(self, wine_version):
        lines = [
            "# Fault-injection matrix",
            "",
            "Generated by `tests/faults` (run `scripts/test -R faults_pytest`) from what the",
            f"real `VORNUpdate.exe` did under {wine_version} in a virtual display, against the",
            "local download service with fault injection, the launcher stand-in and real",
            "(small) file systems. Do not edit by hand: the suite rewrites it after every",
            "complete run.",
            "",
            "Every failing scenario must end with exit code 1, exactly one error box whose",
            "text the window's detail label also shows, and an installation directory whose",
            "hash (all paths, contents and read-only flags) equals the one taken before the",
            "run, apart from one empty `.update-backup-*` directory when the install had",
            "begun. Every succeeding scenario must end with exit code 0 and the release",
            "installed, stamped and confirmed, leaving no backup, staging or confirmation.",
            "",
        ]
        for group in GROUPS:
            rows = [row for row in self.rows if row.group == group]
            if not rows:
                continue
            lines += [f"## {group}", "", "| Scenario | Expected | Observed | Verdict |", "|---|---|---|---|"]
            for row in rows:
                cells = [row.scenario, row.expected, row.observed, row.verdict]
                lines.append("| " + " | ".join(c.replace("|", "\\|").replace("\n", " ") for c in cells) + " |")
            lines.append("")
        return "\n".join(lines)


def wine_version():
    out = Path(os.environ["WINEPREFIX"]).parent / f"wine-version-{uuid.uuid4().hex}.txt"
    try:
        with open(out, "w") as sink:
            subprocess.run(["wine", "--version"], stdin=subprocess.DEVNULL, stdout=sink,
                           stderr=subprocess.DEVNULL, timeout=TOOL_LIMIT_S)
        return out.read_text().strip().split(" ")[0] or "Wine"
    finally:
        out.unlink(missing_ok=True)


# --- Platform tools -------------------------------------------------------------

def helper(*args, out, env=None):
    """Runs the Windows helper; returns the text it wrote to `out`."""
    out = Path(out)
    out.unlink(missing_ok=True)
    rc = run_quietly(["wine", HELPER, *args], timeout=TOOL_LIMIT_S, env=env)
    assert rc == 0, f"faults_helper {args[0]} failed with {rc}"
    return out.read_text(encoding="utf-8")


def private_mounts_allowed():
    """Mounting is only safe inside the private mount namespace scripts/test
    enters, never in the machine's own. That namespace is recognised by its
    marker variable and by the CA bundle bind-mounted there for the run."""
    try:
        mounts = Path("/proc/self/mounts").read_text()
    except OSError:
        return False
    bundle_mounted = " /etc/ssl/certs/ca-certificates.crt " in mounts
    return os.geteuid() == 0 and bool(os.environ.get("VORN_PRIVATE_NAMESPACE")) and bundle_mounted


def _unmount(path):
    for _ in range(50):
        if run_quietly(["umount", str(path)], timeout=TOOL_LIMIT_S) == 0:
            return
        time.sleep(0.2)  # a Wine process may still be letting go of it
    assert run_quietly(["umount", "--lazy", str(path)], timeout=TOOL_LIMIT_S) == 0, f"could not unmount {path}"


@contextlib.contextmanager
def small_filesystem(path, size):
    """A tmpfs of `size` bytes mounted at `path` for the block."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    assert run_quietly(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "tmpfs", str(path)],
                       timeout=TOOL_LIMIT_S) == 0, f"could not mount a tmpfs at {path}"
    try:
        yield path
    finally:
        clear_read_only(path)
        _unmount(path)


def free_bytes(path):
    info = os.statvfs(path)
    return info.f_bavail * info.f_frsize


def page_size(path):
    return os.statvfs(path).f_frsize


def fill_to(path, free, ballast_name=".ballast"):
    """Takes up space on the file system of `path` until exactly `free` bytes
    (a multiple of its block size) are left."""
    block = page_size(path)
    assert free % block == 0
    excess = free_bytes(path) - free
    assert excess >= 0, f"only {free_bytes(path)} bytes free, wanted {free}"
    with open(Path(path) / ballast_name, "ab") as ballast:
        ballast.write(bytes(excess))
    assert free_bytes(path) == free, (free_bytes(path), free)


# The Wine prefix's registry: where Wine takes TEMP and TMP from.
ENVIRONMENT_KEY = r"HKCU\Environment"


def reg_query(key, value):
    """(type, data) of a registry value, or None if it is not there."""
    out = Path(os.environ["WINEPREFIX"]).parent / f"reg-{uuid.uuid4().hex}.txt"
    try:
        with open(out, "wb") as sink:
            rc = subprocess.run(["wine", "reg", "query", key, "/v", value], stdin=subprocess.DEVNULL, stdout=sink,
                                stderr=subprocess.DEVNULL, timeout=TOOL_LIMIT_S).returncode
        if rc != 0:
            return None
        for line in out.read_bytes().decode("utf-8", errors="replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == value.lower() and parts[1].startswith("REG_"):
                return parts[1], parts[2] if len(parts) == 3 else ""
        return None
    finally:
        out.unlink(missing_ok=True)


def reg_set(key, value, kind, data):
    assert run_quietly(["wine", "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"],
                       timeout=TOOL_LIMIT_S) == 0, f"reg add {key} {value}"


def reg_delete(key, value):
    run_quietly(["wine", "reg", "delete", key, "/v", value, "/f"], timeout=TOOL_LIMIT_S)


@contextlib.contextmanager
def registry_values(key, values):
    """Sets registry values (name -> data, as REG_SZ) for the block and puts
    back exactly what was there before."""
    saved = {name: reg_query(key, name) for name in values}
    try:
        for name, data in values.items():
            reg_set(key, name, "REG_SZ", data)
        yield
    finally:
        for name, old in saved.items():
            if old is None:
                reg_delete(key, name)
            else:
                reg_set(key, name, *old)


@contextlib.contextmanager
def prefix_temp(path):
    """The Wine prefix's TEMP and TMP pointed at `path` for the block; a
    program started inside the block uses it as its temporary directory."""
    windows = win(path)
    with registry_values(ENVIRONMENT_KEY, {"TEMP": windows, "TMP": windows}):
        yield Path(path)


@contextlib.contextmanager
def second_service(workdir):
    """Another instance of the download service over HTTPS, with a
    certificate from its own authority, which nothing trusts."""
    workdir = Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    ready = workdir / "ready.json"
    with open(workdir / "service.log", "wb") as log:
        process = subprocess.Popen([sys.executable, str(ROOT / "tools" / "release_service.py"), "serve",
                                    "--root", os.environ["VORN_TEST_WWW"], "--https-port", "0",
                                    "--tls-dir", str(workdir / "tls"), "--ready-file", str(ready)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
    try:
        deadline = time.monotonic() + TOOL_LIMIT_S
        while not ready.exists() and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert ready.exists(), (workdir / "service.log").read_text()
        yield f"https://localhost:{json.loads(ready.read_text())['https']}"
    finally:
        process.terminate()
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def processes_mentioning(text):
    """Linux pids of the processes whose command line contains `text` (a
    Wine program shows its Windows command line there)."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            cmdline = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if text in cmdline:
            found.append(int(entry.name))
    return found


def quoted_url(url):
    return urllib.parse.quote(url, safe="")
