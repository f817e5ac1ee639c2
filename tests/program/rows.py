"""The table of program-level scenarios: what each row sets up, what the
service and the launcher do, and what the run must end with. The one driver
and the one judge in test_program.py run and judge every row alike."""
import contextlib
import hashlib
import json
import os
import shutil
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from harness import (LAUNCHER, MANIFEST, ROOT, TOKEN, background, end, fingerprint, installation, launcher_bytes,
                     mounted, processes_mentioning, screenshot, signed, wait_until, win, write_tree, zipped)

UNREACHABLE = "The update server could not be reached."
DIGEST = "The downloaded file failed SHA-256 verification. Nothing was installed."
NOT_CONFIRMED = ("The updated launcher did not confirm a healthy start. "
                 "The previous installation will be restored.")
INCOMPLETE = "The updater received incomplete update instructions."
INSTALL_FAILED = "Could not install a file."
NOT_EXTRACTED = "The runner archive could not be extracted or does not contain run.exe."
NOT_PUBLISHER = "The update is not signed by the publisher of the installed VORN Launcher."
OTHER = "Other Test Publisher"
COMPLETE, FAILED, HANDSHAKE = "Update complete", "Update failed", "Starting VORN Launcher"
WAITING = "Waiting for VORN Launcher to close..."
NEW_FILES_HELD = "Waiting for security software to release the new files..."
INSTALLED_FILES_HELD = "Waiting for other programs to release the installed files..."
ML, MR = "manifest 200, launcher 200", "manifest 200, runner 200"
ALL = ML + ", runner 200"
AWKWARD = "Program Files/VORN Macros l'été Ærø 中文版"
BACKUP = ".update-backup-<token>"
MiB = 1 << 20

OLD_RUNNER = {"run.exe": b"runner 1\n", "lib/shared.txt": b"shared 1\n", "only-in-1.txt": b"old\n"}
OLD_STAMP = b'{\r\n  "runnerVersion": "1.0.0",\r\n  "runnerSha256": "' + b"0" * 64 + b'"\r\n}\r\n'
# The real tar reads a non-ASCII entry name as UTF-8 only when the ZIP flags
# it so, as the release tool's do; unflagged, it reads the OEM code page.
NEW_RUNNER = {"run.exe": b"runner 2\n", "lib/shared.txt": b"shared 2\n", "lib/deeper/new.txt": b"new in 2\n",
              "données/été.txt": b"new in 2\n"}


def bulky(version):
    """A launcher padded to 16 MiB and a runner of 1,000 small files: here
    their copy into place takes about a second."""
    launcher = launcher_bytes(version)
    files = {f"lib/{i // 100}/part{i}.txt": f"part {i} of {version}\n".encode() for i in range(1000)}
    return launcher + bytes(16 * MiB - len(launcher)), {"run.exe": f"runner {version}\n".encode(), **files}


RELEASES = {"standard": lambda: (launcher_bytes(2), NEW_RUNNER),
            # Random content: compression makes neither the download nor the copy small.
            "big": lambda: (launcher_bytes(2), {**NEW_RUNNER, "data/blob.bin": os.urandom(2 * MiB)}),
            "bulky": lambda: bulky(2),
            # Not a program: as a launcher that application control blocks, or a scanner quarantined.
            "invalid": lambda: (b"not a program\n", NEW_RUNNER),
            # A runner that runs: the launcher stand-in under the name run.exe.
            "working": lambda: (launcher_bytes(2), {**NEW_RUNNER, "run.exe": launcher_bytes("runner 2")}),
            "signed": lambda: (signed(launcher_bytes(2)), {**NEW_RUNNER, "run.exe": signed(launcher_bytes("run"))}),
            "other": lambda: (signed(launcher_bytes(2), OTHER),
                              {**NEW_RUNNER, "run.exe": signed(launcher_bytes("run"), OTHER)}),
            # Escapees would land beside Runner in the staging directory and in TEMP.
            "climbing": lambda: (launcher_bytes(2), zipped({**NEW_RUNNER, "../escaped.txt": b"out\n",
                                                              "lib/../../../escaped.txt": b"out\n"}))}


@dataclass
class Row:
    id: str
    group: str
    scenario: str
    message: str = ""  # the failure's one message; a row without one succeeds (exit code 0)
    end: str = None  # installed, unchanged, or restored (with one empty backup directory)
    requests: str = ALL  # the server's log for the row, in order
    install: str = "previous"  # previous, current, first (none yet)
    root: str = "VORN Macros"
    components: str = "launcher,runner"
    args: object = ()  # more arguments, or f(command line) -> command line
    cwd: str = None  # the updater's working directory, relative to the installation
    launcher: str = "confirm:0"  # what the updated launcher does (the stand-in's VORN_LAUNCHER_STANDIN)
    release: str = "standard"
    edit: object = None  # f(manifest): what the served manifest gets wrong
    manifest_fault: str = ""  # /_fault/ directives
    payload_fault: str = ""
    setup: object = None  # f(scene), maybe a context manager around the run and its judgement
    during: object = None  # f(scene) while the updater runs
    check: object = None  # f(scene) -> problems
    starts: str = None  # launcher starts: T with the token, P plain; by default what the end implies
    staging: int = None  # staging directories left; by default none on success, one on failure
    leftover: dict = field(default_factory=dict)  # entries beyond the end
    close: str = "click"  # how the probe closes the failed window: click (Close), close (WM_CLOSE), altf4
    hold: str = ""  # the probe holds the window at this title or box text
    note: str = ""
    slow: bool = False  # runs in a lane of its own, beside the others
    nginx: bool = False  # served by nginx, a real web server, instead of the service (no faults there)
    under: tuple = ()  # a program the updater runs under

    def __post_init__(self):
        self.exit = int(bool(self.message))
        self.end = self.end or ("unchanged" if self.message else "installed")
        self.starts = {"installed": "T", "restored": "TP", "unchanged": ""}[self.end] if self.starts is None \
            else self.starts


@contextlib.contextmanager
def untrusted(scene):
    """The manifest from a second service, whose certificate comes from an
    authority nobody trusts."""
    ready = scene.dir / "untrusted.json"
    service = background([sys.executable, ROOT / "tools/release_service.py", "serve", "--root",
                          scene.www.parent, "--https-port", "0", "--tls-dir", scene.dir / "tls",
                          "--ready-file", ready])
    try:
        started = wait_until(lambda: ready.exists() and ready.read_text(), "the service", 60)
        scene.manifest_base = f"https://localhost:{json.loads(started)['https']}"
        yield
    finally:
        service.terminate()
        end(service)


def start_running(scene, started, program, marker, cwd=None):
    """program, a copy of the launcher stand-in, started (onto the list
    started) to run until the file marker exists: it and its process id."""
    pid = scene.dir / f"{program.name}.pid"
    started.append(background(["wine", program, "--standin-running", win(pid), win(marker)], scene.lane.env, cwd))
    return started[-1], wait_until(lambda: pid.exists() and pid.read_text().strip(), "its process id")


@contextlib.contextmanager
def running_launcher(scene, ended=False, runner=False):
    """The installed launcher, open as the user left it, and with runner the
    runner it started, working in Runner. The runner, and the launcher unless
    it has closed already (ended), end once the file scene.closed exists."""
    scene.closed, started = scene.dir / "closed", []
    closed = [scene.closed, scene.dir / "launcher-closed"] if ended else [scene.closed]
    try:
        if runner:
            (scene.root / "Runner/run.exe").write_bytes(launcher_bytes("runner 1"))
            scene.runner, _ = start_running(scene, started, scene.root / "Runner/run.exe", scene.closed,
                                            scene.root / "Runner")
        scene.running, pid = start_running(scene, started, scene.root / LAUNCHER, closed[-1])
        scene.args += ["--launcher-pid", pid]
        if ended:
            closed[-1].touch()
            end(scene.running)
        yield
    finally:
        for marker in closed:
            marker.touch()
        for process in started:
            end(process)


@contextlib.contextmanager
def through_another_name(scene):
    """A drive y: mapped to the row's directory, through which Wine then
    reports the files of the programs running from the installation, while
    --install-dir names it through Z:, in lower case."""
    drive = Path(scene.lane.env["WINEPREFIX"], "dosdevices", "y:")
    drive.symlink_to(scene.dir)
    scene.root_name = win(scene.root).lower()
    try:
        with running_launcher(scene, ended=True, runner=True):
            yield
    finally:
        drive.unlink()


@contextlib.contextmanager
def running_until_closed(scene, program, cwd=None):
    scene.closed, started = scene.dir / "closed", []
    try:
        start_running(scene, started, program, scene.closed, cwd)
        yield
    finally:
        scene.closed.touch()
        for process in started:
            end(process)


def held_runner(scene):
    """A program from outside the installation that works in Runner until
    scene.closed exists."""
    return running_until_closed(scene, Path(os.environ["VORN_STANDIN_DIR"], LAUNCHER), scene.root / "Runner")


def tool_beside_runner(scene):
    """The user's own program in RunnerTools, whose name begins like Runner's, running throughout."""
    write_tree(scene.root / "RunnerTools", {"tool.exe": launcher_bytes("tool")})
    return running_until_closed(scene, scene.root / "RunnerTools/tool.exe")


def relative_install_dir(line):
    line[line.index("--install-dir") + 1] = "VORN Macros"
    return line


def holding_new_runner(scene, entered, closed):
    """A program from outside the installation that works in the new Runner
    from the moment it appears in .update-new-<token> (writing the file
    entered) until the file closed exists."""
    return background(["wine", Path(os.environ["VORN_STANDIN_DIR"], LAUNCHER), "--standin-enter",
                       f"{win(scene.root)}\\.update-new-*\\Runner", win(entered), win(closed)], scene.lane.env)


@contextlib.contextmanager
def held_new_runner(scene):
    scene.closed, scene.entered = scene.dir / "closed", scene.dir / "entered"
    holder = holding_new_runner(scene, scene.entered, scene.closed)
    try:
        yield
    finally:
        scene.closed.touch()
        end(holder)


# Longer than a rename that leaves a component missing may wait.
HOLD_S = 8


def release_after_hold(scene, seconds=HOLD_S):
    """Lets the held Runner go seconds after the hold began: for the new
    Runner once the program works in it, for the installed one once the
    install began (its backup directory appeared)."""
    began = (lambda: scene.entered.exists()) if hasattr(scene, "entered") else \
        (lambda: any(scene.root.glob(BACKUP.replace("<token>", "*"))))
    wait_until(lambda: scene.updater.poll() is not None or began(), "the hold")
    time.sleep(seconds)
    scene.closed.touch()


# Each flush of a file takes this long, as on a slow disk with a scanner: the
# copy of the bulky runner then takes about half a minute.
SLOW_DISK = ("strace", "-f", "--seccomp-bpf", "-o", "/dev/null", "-e", "trace=fsync",
             "-e", "inject=fsync:delay_enter=30000")
# Longer than the patience for held files, counted from the install's start.
SLOW_DISK_HOLD_S = 70


def said(text):
    return lambda scene: [] if any(state.get("detail") == text for state in scene.watched) else [
        f"never said “{text}”"]


def waited(scene):
    return any(state.get("detail") == WAITING for state in scene.watched)


def close_while_running(scene):
    """WM_CLOSE, and SC_CLOSE as Alt+F4 and the close box send, are refused
    while the update waits for the launcher."""
    waiting = scene.wait(lambda s: s["detail"] == WAITING, "the wait for the launcher")
    seen = [scene.probe("close"), scene.probe("altf4")]
    if any((s.get("title"), s.get("closeEnabled")) != ("Preparing installation", False) for s in seen):
        scene.problems.append(f"a close request was not ignored: {seen}")
    screenshot(scene.lane.display, "running.png", waiting["rect"])
    scene.closed.touch()
    succeeded = scene.wait(lambda s: s["title"] == COMPLETE, "success")
    screenshot(scene.lane.display, "succeeded.png", succeeded["rect"])
    scene.thaw.touch()


def photograph_failure(scene):
    box = scene.wait(lambda s: s["boxes"], "the error box")
    screenshot(scene.lane.display, "failed.png", box["rect"], box["boxRect"])
    scene.thaw.touch()


def small_disk(free):
    """The installation moved onto a 16 MiB file system with free() bytes left."""
    @contextlib.contextmanager
    def setup(scene):
        disk = scene.dir / "disk"
        with mounted(disk, "-t", "tmpfs", "-o", "size=16m", "tmpfs"):
            scene.root = shutil.copytree(scene.root, disk / scene.root.name)
            (disk / ".ballast").write_bytes(bytes(os.statvfs(disk).f_bavail * 4096 - free()))
            assert os.statvfs(disk).f_bavail * os.statvfs(disk).f_frsize == free()
            yield
    return setup


def pages(size):
    return -(-size // 4096) * 4096


def powershell_ran_once(scene):
    log = scene.dir / "powershell.log"
    lines = log.read_text(encoding="utf-8").splitlines() if log.exists() else []
    return [] if len(lines) == 1 and "Expand-Archive" in lines[0] else [f"PowerShell ran {len(lines)} times"]


def linked_runner(scene):
    """Runner/linked: a link made on the Linux side to a directory outside
    the installation, which holds a file."""
    write_tree(scene.dir / "outside", {"keep.txt": b"keep\n"})
    os.symlink(scene.dir / "outside", scene.root / "Runner/linked")


# Seconds from the install's start to each kill, latest first: here the copy
# into .update-new-<token> takes under a second, the swap and the handshake
# follow within two. The repair then starts from the earliest kill.
KILLS_S = (2.0, 1.3, 0.9, 0.7, 0.5, 0.35, 0.2, 0.1, 0)
HELD_KILL_S = 3.0
KILL_LEFTOVERS = {".update-backup-<token>", ".update-new-<token>", ".update-ok-<token>"}


def part(entries, name):
    return {key: value for key, value in entries.items() if key.split("/")[0] == name}


@contextlib.contextmanager
def killed_runs(scene):
    """The updater killed at each of KILLS_S, as Task Manager ends a program,
    and once while it waits for a held new Runner, each time on a fresh copy
    of the previous installation. After each kill
    the launcher and Runner must each be whole, old or new, with only the
    documented leftovers beside them. The row's own run is --repair on what
    the last kill left, which it must leave alone."""
    previous, earlier, new = scene.dir / "previous", set(scene.lane.temp.iterdir()), scene.installed()
    write_tree(previous, installation(*bulky(1), OLD_STAMP))
    old, launcher = fingerprint(previous), f"{win(scene.root)}\\{LAUNCHER}"
    # First, one kill while a program works in the new Runner, HELD_KILL_S
    # after it began: the update is waiting for it then.
    for delay, held in [(HELD_KILL_S, True)] + [(delay, False) for delay in KILLS_S]:
        # A run that ends before its install begins proves nothing about the
        # install. One did so once in about fifteen suites here, without a
        # trace of why, so it gets a second start; ending early twice fails.
        for attempt in range(2):
            shutil.rmtree(scene.root)
            shutil.copytree(previous, scene.root)
            entered, closed = scene.dir / "entered", scene.dir / "closed"
            entered.unlink(missing_ok=True)
            closed.unlink(missing_ok=True)
            holder = held and holding_new_runner(scene, entered, closed)
            updater = background(["wine", os.environ["VORN_EXE"], *scene.command_line()], scene.lane.env)
            try:
                wait_until(lambda: updater.poll() is not None or any(
                    path.name.startswith(".update-backup-") for path in scene.root.iterdir()), "the install")
                if held:
                    wait_until(lambda: updater.poll() is not None or entered.exists(), "the hold")
            except AssertionError:
                updater.kill()  # the rows after this one would see its window
                raise
            if updater.poll() is None:
                break
            if held:
                closed.touch()
                end(holder)
            if attempt:
                scene.problems.append(f"the run to kill at {delay} s ended with exit code "
                                      f"{updater.returncode} before its install began")
        time.sleep(delay)
        updater.kill()  # SIGKILL to the Windows program itself, which `wine` execs
        updater.wait()
        when = f"{delay} s" + " into a hold of the new Runner" * held
        if held:
            closed.touch()
            end(holder)
        # A launcher the killed run started confirms and ends at once; one left
        # suspended would hold the installation for good.
        with contextlib.suppress(AssertionError):
            wait_until(lambda: not processes_mentioning(launcher), "the launcher to end", 30)
        for pid in processes_mentioning(launcher):
            scene.problems.append(f"killed at {when}: a launcher it started is left running")
            os.kill(pid, 9)
        left = fingerprint(scene.root)
        others = {TOKEN.sub("<token>", key.split("/")[0]) for key in left} - {LAUNCHER, "Runner"}
        scene.problems += [f"killed at {when}: {name} is neither the old nor the new one"
                           for name in (LAUNCHER, "Runner")
                           if part(left, name) not in (part(old, name), part(new, name))]
        scene.problems += [f"killed at {when}: {name} left" for name in others - KILL_LEFTOVERS]
    scene.killed = set(scene.lane.temp.iterdir()) - earlier
    scene.problems += [f"{path.name} left in TEMP" for path in scene.killed
                       if not TOKEN.fullmatch(path.name.removeprefix("VORNUpdate-"))]
    # Timing decides what the last kill left: the repair installs what is old.
    stale = [component for component, name in (("launcher", LAUNCHER), ("runner", "Runner"))
             if part(left, name) != part(new, name)]
    scene.requests_wanted = ", ".join(["manifest 200"] + [f"{component} 200" for component in stale])
    scene.starts_wanted = "T" if stale else "P"
    scene.args.append("--repair")
    try:
        yield
    finally:
        for path in scene.killed:
            shutil.rmtree(path, ignore_errors=True)


def signed_installation(scene):
    (scene.root / LAUNCHER).write_bytes(signed(launcher_bytes(1)))


def changed_after_signing(scene):
    """The served launcher changed in one byte after signing, as the manifest describes it."""
    signed_installation(scene)
    changed = (scene.www / LAUNCHER).read_bytes().replace(b"DOS mode", b"DOS MODE")
    (scene.www / LAUNCHER).unlink()
    (scene.www / LAUNCHER).write_bytes(changed)
    scene.manifest.update(launcherSha256=hashlib.sha256(changed).hexdigest())
    (scene.www / MANIFEST).write_text(json.dumps(scene.manifest, indent=2) + "\n", encoding="utf-8")


ROWS = [
    Row("update", "Runs", "previous installation, both components over HTTPS from nginx; a program VORN.exe "
        "beside VORN Macros, which an unquoted launcher path would start; once confirmed, the launcher starts a "
        "program that breaks away from the updater's job", nginx=True, launcher="breakaway:0",
        setup=lambda s: (s.dir / "VORN.exe").write_bytes(launcher_bytes("planted")),
        check=lambda s: [] if "breakaway=yes" in s.logged() else ["the confirmed launcher could not break away"]),
    Row("missing-dir", "Runs", "first installation into a directory that does not exist, nor does its parent",
        install="first", root="O'Brien's files/VORN Macros"),
    Row("launcher-only", "Runs", "only the launcher selected: Runner untouched", components="launcher",
        requests=ML),
    Row("current", "Runs", "both already current, without --repair: installed anyway", install="current"),
    Row("repair-current", "Runs", "--repair with both current: nothing downloaded, the launcher started "
        "plainly", install="current", args=("--repair",), end="unchanged", starts="P",
        requests="manifest 200"),
    Row("repair-launcher", "Runs", "--repair with an old launcher", install="current", args=("--repair",),
        setup=lambda s: (s.root / LAUNCHER).write_bytes(launcher_bytes(1)), requests=ML),
    Row("repair-runner", "Runs", "--repair with a runner stamp of another version", install="current",
        args=("--repair",), requests=MR,
        setup=lambda s: (s.root / "Runner/.vorn-runner.json").write_bytes(b"1.0.0")),
    Row("relative-dir", "Runs", "--install-dir relative to the directory the updater was started in",
        cwd="..", args=relative_install_dir),
    Row("tool-beside-runner", "Runs", "a program runs from RunnerTools, beside Runner: not waited for",
        setup=tool_beside_runner, check=lambda s: ["waited"] if waited(s) else []),
    Row("pid-ended", "Runs", "--launcher-pid of a launcher that has already ended: no wait",
        setup=lambda s: running_launcher(s, ended=True), check=lambda s: ["waited"] if waited(s) else []),
    Row("pid-waits", "Runs", "--launcher-pid of a running launcher: the update waits, refusing WM_CLOSE and "
        "SC_CLOSE (as Alt+F4 and the close box send), and goes on once the launcher has closed",
        setup=running_launcher, during=close_while_running, hold=COMPLETE,
        check=lambda s: [] if waited(s) else ["did not wait"]),
    Row("pid-stays", "Runs", "the launcher has closed, but the runner it started works on in Runner past 15 s: "
        "the update waits for it, though its files are known by another drive letter than --install-dir's, which "
        "is in lower case", message="VORN Launcher did not close in time.", setup=through_another_name,
        check=lambda s: [] if s.runner.poll() is None else ["the running runner was ended"]),

    Row("no-arguments", "Command line", "no arguments; the failed window closed with WM_CLOSE",
        message=INCOMPLETE, staging=0, requests="", args=lambda line: [], close="close"),

    Row("untrusted-manifest", "Downloads", "manifest from a server whose authority nobody trusts; the failed "
        "window closed with SC_CLOSE", message=UNREACHABLE, requests="", setup=untrusted, close="altf4"),
    Row("launcher-digest", "Downloads", "wrong launcher digest: the runner is never requested",
        message=DIGEST, requests=ML, hold=DIGEST, during=photograph_failure,
        edit=lambda m: m.update(launcherSha256=m["launcherSha256"][::-1])),
    Row("slow", "Downloads", "the manifest's headers after 2 s, payloads in 64 KiB pieces 20 ms apart",
        manifest_fault="delay=2000", payload_fault="slow=20"),

    Row("wrong-token", "Launcher", "updated launcher confirms another token, then ends",
        message=NOT_CONFIRMED, end="restored", launcher="wrongtoken:0", leftover={".update-ok-<token>": b""},
        note="the launcher's own wrong confirmation file stays"),
    Row("runner-started", "Launcher", "updated launcher starts its run.exe, working in Runner, and ends (code 3) "
        "without confirming: both end before the rollback", message=NOT_CONFIRMED, end="restored",
        launcher="runner:3", release="working"),
    Row("launcher-invalid", "Launcher", "updated launcher cannot be started (not a program, as one that "
        "application control blocks): the handshake ends at once", message=NOT_CONFIRMED, end="restored",
        release="invalid", starts="P"),
    Row("launcher-hangs", "Launcher", "updated launcher runs on without confirming: all 90 checks, then it "
        "is terminated and the update rolled back", message=NOT_CONFIRMED, end="restored",
        launcher="hang:200000", slow=True),

    Row("runner-mount", "Files", "Runner cannot be moved aside (a mount point): the launcher, replaced after "
        "the runner, is left alone", message="filesystem error: rename: Lock violation [<install dir>\\Runner] "
        "[<install dir>\\.update-backup-<token>\\Runner]", end="restored", starts="",
        # A mount point cannot be renamed: the failure Windows gives for a file
        # held open in Runner, which Wine does not reproduce.
        setup=lambda s: mounted(s.root / "Runner", "--bind", s.root / "Runner")),
    Row("runner-held", "Files", f"a program from outside the installation works in Runner until {HOLD_S} s after "
        "the install began: the runner's move aside waits for it, saying so", setup=held_runner,
        during=release_after_hold, check=said(INSTALLED_FILES_HELD)),
    Row("slow-disk-held", "Files", "every flush takes 30 ms, so the copy of 1,000 runner files takes about 30 s; "
        f"a program works in the new Runner from the moment it appears until {SLOW_DISK_HOLD_S} s later: the "
        "60 s for held files count from the first wait, not from the install's start", release="bulky",
        under=SLOW_DISK, setup=held_new_runner, during=lambda s: release_after_hold(s, SLOW_DISK_HOLD_S),
        check=said(NEW_FILES_HELD), slow=True),
    Row("read-only-launcher", "Files", "the installed VORNLauncher.exe is read-only: replaced all the same, "
        "the new one writable (Wine lets a rename replace a read-only file, which Windows refuses)",
        setup=lambda s: (s.root / LAUNCHER).chmod(0o444),
        check=lambda s: [] if (s.root / LAUNCHER).stat().st_mode & 0o200 else ["the new launcher is read-only"]),
    Row("disk-full-runner", "Files", "installation disk full in the middle of the runner copy",
        message=INSTALL_FAILED, end="restored", starts="P", release="big",
        setup=small_disk(lambda: pages(len(launcher_bytes(2))) + MiB)),
    Row("disk-full-stamp", "Files", "installation disk full exactly when the runner stamp is written; only the "
        "runner selected, so the old launcher still has to confirm; the updater started working in Runner, as a "
        "runner's own \"check for updates\" would start it", components="runner", requests=MR, cwd="Runner",
        leftover={"Runner/.vorn-runner.json": b""},
        setup=small_disk(lambda: sum(map(pages, map(len, NEW_RUNNER.values())))),
        note="the stamp stays empty, so a later repair run reinstalls the runner"),
    Row("temp-full", "Files", "temporary directory on a 1 MiB file system: the runner download does not "
        "fit", message="Could not write a downloaded file.", release="big",
        setup=lambda s: mounted(s.lane.temp, "-t", "tmpfs", "-o", "size=1m", "tmpfs")),
    Row("awkward-path", "Files", f"installation …/{AWKWARD}", root=AWKWARD),
    Row("climbing-out", "Files", "the runner archive holds entries that climb out of Runner (../x, "
        "lib/../../../x): tar refuses them, and so does PowerShell after it; nothing lands outside Runner",
        release="climbing",
        message=NOT_EXTRACTED, check=powershell_ran_once,
        setup=lambda s: s.env.update(VORN_STANDIN_POWERSHELL_LOG=win(s.dir / "powershell.log"))),

    Row("killed", "Interruptions", f"the updater killed {len(KILLS_S)} times, {min(KILLS_S)} to "
        f"{max(KILLS_S)} s after its install began and once {HELD_KILL_S} s into a hold of the new Runner, "
        "each time on a fresh copy of a previous installation of a 16 MiB launcher and 1,000 runner files: "
        "after every kill the launcher and Runner are whole, old or new; then --repair on what the earliest "
        "kill left", release="bulky", setup=killed_runs,
        check=lambda s: [] if all(path.is_dir() for path in s.killed) else ["a killed run's staging is gone"],
        note="the killed runs' .update-backup-<token>, .update-new-<token> and .update-ok-<token> in the "
             "installation and their staging directories stay, as documented"),

    Row("signed", "Signatures", "installed launcher, new launcher and run.exe signed by the same publisher",
        release="signed", setup=signed_installation),
    Row("signed-by-other", "Signatures", "installed launcher signed; the new launcher and run.exe signed by "
        "another publisher", message=NOT_PUBLISHER, requests=ML, release="other", setup=signed_installation),
    Row("run-unsigned", "Signatures", "installed launcher signed; only the runner selected, its run.exe unsigned",
        message=NOT_PUBLISHER, requests=MR, components="runner", setup=signed_installation),
    Row("changed-after-signing", "Signatures", "installed launcher signed; the new launcher signed by the same "
        "publisher, then one byte changed (the manifest describes the changed file)", message=NOT_PUBLISHER,
        requests=ML, release="signed", setup=changed_after_signing),
    Row("installed-unsigned", "Signatures", "installed launcher unsigned, the new ones signed: installed, as "
        "before signatures were checked", release="signed"),

    Row("link-update", "Links", "Runner holds a link to a directory outside the installation; update "
        "confirmed: what it points to is untouched", setup=linked_runner,
        check=lambda s: [] if (s.dir / "outside/keep.txt").exists() else ["the file outside is gone"],
        leftover={BACKUP: None, f"{BACKUP}/Runner": None, f"{BACKUP}/Runner/linked": None},
        note="the link stays in the backup directory, a Wine limit: Wine cannot remove a directory link (on "
             "Windows RemoveDirectoryW removes the link itself)"),
]
GROUPS = list(dict.fromkeys(row.group for row in ROWS))
assert len({row.id for row in ROWS}) == len(ROWS)
