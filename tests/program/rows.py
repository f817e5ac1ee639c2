"""The table of program-level scenarios: what each row sets up, what the
service and the launcher do, and what the run must end with. The one driver
and the one judge in test_program.py run and judge every row alike."""
import contextlib
import hashlib
import io
import json
import os
import shutil
import sys
import time
import urllib.parse
import zipfile
from dataclasses import dataclass, field

from harness import (LAUNCHER, MANIFEST, ROOT, TOKEN, ZIP, background, end, fingerprint, launcher_bytes, mounted,
                     real_input, screenshot, stamp, tree, wait_until, win, write_tree)

HTTP_ERROR, UNREACHABLE = "The update server returned an HTTP error.", "The update server could not be reached."
SIZE = "The downloaded file size does not match the release manifest."
DIGEST = "The downloaded file failed SHA-256 verification. Nothing was installed."
NOT_CONFIRMED = "The updated launcher did not confirm a healthy start. The previous installation will be restored."
INCOMPLETE, INSTALL_FAILED = "The updater received incomplete update instructions.", "Could not install a file."
COMPLETE, FAILED, HANDSHAKE = "Update complete", "Update failed", "Starting VORN Launcher"
WAITING = "Waiting for VORN Launcher to close..."
ALL, ML, MR = "manifest 200, launcher 200, runner 200", "manifest 200, launcher 200", "manifest 200, runner 200"
AWKWARD = "Program Files/VORN Macros l'été Ærø 中文版"
BACKUP = ".update-backup-<token>"
MiB = 1 << 20

OLD_RUNNER = {"run.exe": b"runner 1\n", "lib/shared.txt": b"shared 1\n", "only-in-1.txt": b"old\n"}
OLD_STAMP = b'{\r\n  "runnerVersion": "1.0.0",\r\n  "runnerSha256": "' + b"0" * 64 + b'"\r\n}\r\n'
NEW_RUNNER = {"run.exe": b"runner 2\n", "lib/shared.txt": b"shared 2\n", "lib/deeper/new.txt": b"new in 2\n"}


def bulky(version):
    """A launcher padded to 16 MiB and a runner of 1,000 small files: here
    their copy into place takes about a second."""
    launcher = launcher_bytes(version)
    files = {f"lib/{i // 100}/part{i}.txt": f"part {i} of {version}\n".encode() for i in range(1000)}
    return launcher + bytes(16 * MiB - len(launcher)), {"run.exe": f"runner {version}\n".encode(), **files}


RELEASES = {"standard": lambda: (launcher_bytes(2), NEW_RUNNER),
            # Random content: compression makes neither the download nor the copy small.
            "big": lambda: (launcher_bytes(2), {**NEW_RUNNER, "data/blob.bin": os.urandom(2 * MiB)}),
            # Its last copy piece of 128 KiB is 100 bytes long.
            "sized": lambda: (launcher_bytes(2) + bytes((100 - len(launcher_bytes(2))) % 131072), NEW_RUNNER),
            "bulky": lambda: bulky(2)}


@dataclass
class Row:
    id: str
    group: str
    scenario: str
    message: str = ""  # the failure's one message; a row without one succeeds (exit code 0)
    end: str = None  # installed, unchanged, or restored (with one empty backup directory)
    requests: str = ALL  # the service's log for the row, in order
    install: str = "previous"  # previous, current, first (none yet), under-file
    root: str = "VORN Macros"
    components: str = "launcher,runner"
    args: object = ()  # more arguments, or f(command line) -> command line
    launcher: str = "confirm:0"  # the updated launcher; {marker} is a file the row creates
    release: str = "standard"
    edit: object = None  # f(manifest, served directory): what the served release gets wrong
    manifest_fault: object = ""  # /_fault/ directives, or f(scene) -> them
    payload_fault: object = ""
    setup: object = None  # f(scene), maybe a context manager around the run and its judgement
    during: object = None  # f(scene) while the updater runs
    check: object = None  # f(scene) -> problems
    starts: str = None  # launcher starts: T with the token, P plain; by default what the end implies
    staging: int = None  # staging directories left; by default none on success, one on failure
    leftover: object = field(default_factory=dict)  # entries beyond the end, or f(scene) -> them
    close: str = "click"  # how the probe closes the failed window: click, close, altf4, none
    hold: str = ""  # the probe holds the window at this title or box text
    note: str = ""
    slow: bool = False  # runs in a lane of its own, beside the others

    def __post_init__(self):
        self.exit = int(bool(self.message))
        self.end = self.end or ("unchanged" if self.message else "installed")
        self.starts = {"installed": "T", "restored": "TP", "unchanged": ""}[self.end] if self.starts is None \
            else self.starts


def nested_runner(manifest, directory):
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w") as archive:
        archive.writestr("Runner/run.exe", b"runner 2\n")
    (directory / ZIP).unlink()
    (directory / ZIP).write_bytes(data.getvalue())
    manifest.update(runnerSha256=hashlib.sha256(data.getvalue()).hexdigest(), runnerSize=len(data.getvalue()))


def redirect(base_variable, name):
    return lambda s: "redirect=302,to=" + urllib.parse.quote(f"{os.environ[base_variable]}/{s.name}/{name}", safe="")


@contextlib.contextmanager
def untrusted(scene):
    """The manifest from a second service, whose certificate comes from an authority nobody trusts."""
    ready = scene.dir / "untrusted.json"
    service = background([sys.executable, ROOT / "tools/release_service.py", "serve", "--root", scene.www.parent,
                          "--https-port", "0", "--tls-dir", scene.dir / "tls", "--ready-file", ready])
    try:
        port = json.loads(wait_until(lambda: ready.exists() and ready.read_text(), "the service", 60))["https"]
        scene.manifest_base = f"https://localhost:{port}"
        yield
    finally:
        service.terminate()
        end(service)


def stopped_early(scene):
    sent = max(record["bytes"] for record in scene.records)
    return [] if sent < 64 * MiB else [f"{sent // MiB} MiB of an endless body read"]


@contextlib.contextmanager
def running_launcher(scene, ended=False):
    """The installed launcher, open as the user left it; it ends once the
    file scene.closed exists."""
    pid, scene.closed = scene.dir / "pid", scene.dir / "closed"
    scene.running = background(["wine", scene.root / LAUNCHER, "--standin-running", win(pid), win(scene.closed)],
                               scene.lane.env)
    try:
        scene.args += ["--launcher-pid", wait_until(lambda: pid.exists() and pid.read_text(), "its process id")]
        if ended:
            scene.closed.touch()
            end(scene.running)
        yield
    finally:
        scene.closed.touch()
        end(scene.running)


def waited(scene):
    return any(state.get("detail") == WAITING for state in scene.watched)


def make_read_only(scene, *names):
    """Read-only files, as Windows programs see them."""
    paths, out = [scene.root / name for name in names], scene.dir / "attributes"
    for path in paths:
        path.chmod(0o444)
    scene.lane.wine(scene.root / LAUNCHER, "--standin-attributes", win(out), *map(win, paths))
    if not out.exists() or not all(int(value) & 1 for value in out.read_text().split()):
        scene.problems.append("the files are not read-only for Windows programs")


def read_only_new_runner(scene):
    scene.wait(lambda s: s["title"] == HANDSHAKE, "the handshake")
    make_read_only(scene, "Runner/run.exe", "Runner/lib/deeper/new.txt")
    scene.marker.touch()


def close_while_running(scene):
    """Every way of closing is refused while the update waits for the launcher."""
    waiting = scene.wait(lambda s: s["detail"] == WAITING, "the wait for the launcher")
    seen = [scene.probe("close"), scene.probe("altf4")]
    for how in ("alt-f4", "click"):
        real_input(scene.lane.display, how, waiting)
        seen.append(scene.probe("state"))
    if any((s.get("title"), s.get("closeEnabled")) != ("Preparing installation", False) for s in seen):
        scene.problems.append(f"a close request was not ignored: {seen}")
    screenshot(scene.lane.display, "running.png", waiting["rect"])
    scene.closed.touch()
    screenshot(scene.lane.display, "succeeded.png", scene.wait(lambda s: s["title"] == COMPLETE, "success")["rect"])
    scene.thaw.touch()


def photograph_failure(scene):
    box = scene.wait(lambda s: s["boxes"], "the error box")
    screenshot(scene.lane.display, "failed.png", box["rect"], box["boxRect"])
    scene.thaw.touch()


def close_failed_by(how):
    return lambda scene: real_input(scene.lane.display, how, scene.wait(
        lambda s: s["title"] == FAILED and not s["boxes"], "the dismissed failure"))


def small_disk(free):
    """The installation moved onto a 16 MiB file system with free(scene) bytes left."""
    @contextlib.contextmanager
    def setup(scene):
        disk = scene.dir / "disk"
        with mounted(disk, "-t", "tmpfs", "-o", "size=16m", "tmpfs"):
            scene.root = shutil.copytree(scene.root, disk / scene.root.name)
            (disk / ".ballast").write_bytes(bytes(os.statvfs(disk).f_bavail * 4096 - free(scene)))
            assert os.statvfs(disk).f_bavail * os.statvfs(disk).f_frsize == free(scene)
            yield
    return setup


def pages(size):
    return -(-size // 4096) * 4096


def temp_named(name, size="64m", env=lambda scene: {}):
    """The prefix's TEMP and TMP pointed at a directory of this name, on a file system of this size."""
    @contextlib.contextmanager
    def setup(scene):
        scene.env |= env(scene)
        with mounted(scene.dir / name, "-t", "tmpfs", "-o", f"size={size},mode=0777", "tmpfs"), \
                scene.lane.temp_dir(scene.dir / name):
            yield
    return setup


def powershell_extracted(scene):
    log = scene.dir / "powershell.log"
    lines = log.read_text(encoding="utf-8").splitlines() if log.exists() else []
    return [] if len(lines) == 1 and "Expand-Archive" in lines[0] else [f"PowerShell ran {len(lines)} times"]


@contextlib.contextmanager
def earlier_run_left(scene):
    """What a failed earlier run leaves: a backup, a confirmation file of
    another token and a staging directory."""
    write_tree(scene.root, {".update-backup-0123456789ABCDEF0123456789ABCDEF/VORNLauncher.exe": b"0",
                            ".update-ok-FEDCBA9876543210FEDCBA9876543210": b""})
    scene.earlier = scene.lane.temp / "VORNUpdate-00000000000000000000000000000000"
    write_tree(scene.earlier, {LAUNCHER: b"3", ZIP: b"PK", "Runner/run.exe": b"half\n"})
    try:
        yield
    finally:
        shutil.rmtree(scene.earlier)


def earlier_staging_kept(scene):
    names = sorted(path.name for path in scene.earlier.rglob("*"))
    return [] if names == ["Runner", LAUNCHER, ZIP, "run.exe"] else [f"the earlier staging holds {names}"]


def linked_runner(scene):
    """Runner/linked: a link made on the Linux side to a directory outside
    the installation, which holds a file."""
    write_tree(scene.dir / "outside", {"keep.txt": b"keep\n"})
    os.symlink(scene.dir / "outside", scene.root / "Runner/linked")


def outside_kept(scene):
    kept = scene.dir / "outside/keep.txt"
    return [] if kept.exists() and kept.read_bytes() == b"keep\n" else ["the file outside the installation is gone"]


# Seconds from the install's start to each kill, latest first: here the copy
# into .update-new-<token> takes under a second, the swap and the handshake
# follow within two. The repair then starts from the earliest kill.
KILLS_S = (2.0, 1.3, 0.9, 0.7, 0.5, 0.35, 0.2, 0.1, 0)
KILL_LEFTOVERS = {".update-backup-<token>", ".update-new-<token>", ".update-ok-<token>"}


def part(entries, name):
    return {key: value for key, value in entries.items() if key == name or key.startswith(name + "/")}


def whole_after_kill(scene, old, new):
    """What a kill left: the launcher and Runner each whole, old or new, and
    besides them only the documented leftovers."""
    after = fingerprint(scene.root)
    others = {TOKEN.sub("<token>", key.split("/")[0]) for key in after} - {LAUNCHER, "Runner"} - KILL_LEFTOVERS
    return [f"{name} is neither the old nor the new one" for name in (LAUNCHER, "Runner")
            if part(after, name) not in (part(old, name), part(new, name))] + [f"{name} left" for name in others]


@contextlib.contextmanager
def killed_runs(scene):
    """The updater killed at each of KILLS_S, as Task Manager ends a program,
    each time on a fresh copy of the previous installation; the row's own run
    is --repair on what the last kill left."""
    previous, earlier = scene.dir / "previous", set(scene.lane.temp.iterdir())
    launcher, runner = bulky(1)
    write_tree(previous, tree(runner, "Runner/") | {"Runner/.vorn-runner.json": OLD_STAMP, LAUNCHER: launcher})
    old, new = fingerprint(previous), tree(scene.release, "Runner/") | {
        "Runner/.vorn-runner.json": stamp(scene.manifest), LAUNCHER: (scene.www / LAUNCHER).read_bytes()}
    env = dict(scene.lane.env, VORN_LAUNCHER_STANDIN="confirm:0")
    for delay in KILLS_S:
        shutil.rmtree(scene.root)
        shutil.copytree(previous, scene.root)
        updater = background(["wine", os.environ["VORN_EXE"], *scene.command_line()], env)
        wait_until(lambda: updater.poll() is not None or any(
            path.name.startswith(".update-backup-") for path in scene.root.iterdir()), "the install")
        time.sleep(delay)
        updater.kill()  # SIGKILL to the Windows program itself, which `wine` execs
        updater.wait()
        scene.problems += [f"killed {delay} s into the install: {problem}"
                           for problem in whole_after_kill(scene, old, new)]
    scene.killed = set(scene.lane.temp.iterdir()) - earlier
    scene.problems += [f"{path.name} left in TEMP" for path in scene.killed
                       if not TOKEN.fullmatch(path.name.removeprefix("VORNUpdate-"))]
    # Timing decides what the last kill left; the repair installs what is old.
    left = fingerprint(scene.root)
    stale = [component for component, name in (("launcher", LAUNCHER), ("runner", "Runner"))
             if part(left, name) != part(new, name)]
    scene.requests_wanted = ", ".join(["manifest 200"] + [f"{component} 200" for component in stale])
    scene.starts_wanted = "T" if stale else "P"
    scene.args.append("--repair")
    try:
        yield
    finally:
        for path in scene.killed:
            shutil.rmtree(path)


def killed_staging_kept(scene):
    return [] if all(path.is_dir() for path in scene.killed) else ["the repair removed a killed run's staging"]


def without(name):
    return lambda line: line[:line.index(name)] + line[line.index(name) + 2:]


ROWS = [
    Row("update", "Runs", "previous installation, both components over HTTPS"),
    Row("missing-dir", "Runs", "first installation into a directory that does not exist, nor does its parent",
        install="first", root="O'Brien's files/VORN Macros"),
    Row("launcher-only", "Runs", "only the launcher selected: Runner untouched", components="launcher", requests=ML),
    Row("runner-only", "Runs", "only the runner selected: the old launcher still has to confirm",
        components="runner", requests=MR),
    Row("current", "Runs", "both already current, without --repair: installed anyway", install="current"),
    Row("repair-current", "Runs", "--repair with both current: nothing downloaded, the launcher started plainly",
        install="current", args=("--repair",), end="unchanged", starts="P", requests="manifest 200"),
    Row("repair-launcher", "Runs", "--repair with an old launcher", install="current", args=("--repair",),
        setup=lambda s: (s.root / LAUNCHER).write_bytes(launcher_bytes(1)), requests=ML),
    Row("repair-runner", "Runs", "--repair with a runner stamp of another version", install="current",
        args=("--repair",), setup=lambda s: (s.root / "Runner/.vorn-runner.json").write_bytes(b"1.0.0"), requests=MR),
    Row("pid-ended", "Runs", "--launcher-pid of a launcher that has already ended: no wait",
        setup=lambda s: running_launcher(s, ended=True), check=lambda s: ["waited"] if waited(s) else []),
    Row("pid-waits", "Runs", "--launcher-pid of a running launcher: the update waits, refusing to close (WM_CLOSE, "
        "SC_CLOSE, Alt+F4 and a click by real input), and goes on once the launcher has closed",
        setup=running_launcher, during=close_while_running, hold=COMPLETE,
        check=lambda s: [] if waited(s) else ["did not wait"]),
    Row("pid-stays", "Runs", "--launcher-pid of a launcher that does not close within 15 s",
        message="VORN Launcher did not close in time.", setup=running_launcher,
        check=lambda s: [] if s.running.poll() is None else ["the running launcher was ended"]),

    Row("no-arguments", "Command line", "no arguments; the failed window closed with WM_CLOSE", message=INCOMPLETE,
        staging=0, requests="", args=lambda line: [], close="close"),
    Row("no-component", "Command line", "--components names no known component; closed with SC_CLOSE",
        message=INCOMPLETE, staging=0, requests="", components="docs", close="altf4"),
    Row("no-manifest-url", "Command line", "no --manifest-url; closed with Alt+F4 by real input", message=INCOMPLETE,
        staging=0, requests="", args=without("--manifest-url"), close="none", during=close_failed_by("alt-f4")),
    Row("components-last", "Command line", "--components without its value; closed by a real click on Close",
        message=INCOMPLETE, staging=0, requests="", args=lambda line: line[:-1], close="none",
        during=close_failed_by("click")),
    Row("under-file", "Command line", "installation directory below a regular file",
        message="Could not create a directory.", staging=0, requests="", install="under-file"),

    Row("manifest-404", "Network", "manifest not on the server", message=HTTP_ERROR, requests="manifest 404",
        setup=lambda s: (s.www / MANIFEST).unlink()),
    Row("manifest-drop", "Network", "connection dropped instead of the manifest", message=UNREACHABLE,
        requests="manifest -", manifest_fault="drop=1"),
    Row("launcher-cut", "Network", "launcher body cut after 1000 bytes", message=SIZE, requests=ML,
        payload_fault="truncate=1000"),
    Row("launcher-endless", "Network", "launcher body never ends: the reading stops early", message=SIZE,
        requests=ML, payload_fault="endless=1", check=stopped_early),
    Row("manifest-endless", "Network", "manifest body never ends: the reading stops early",
        message="Update manifest is too large.", requests="manifest 200", manifest_fault="endless=1",
        check=stopped_early),
    Row("manifest-to-http", "Network", "manifest redirected from https to http", message=HTTP_ERROR,
        requests="manifest 302", manifest_fault=redirect("VORN_TEST_HTTP", MANIFEST)),
    Row("manifest-to-https", "Network", "manifest redirected to another https address",
        requests="manifest 302, " + ALL, manifest_fault=redirect("VORN_TEST_HTTPS", MANIFEST)),
    Row("untrusted-manifest", "Network", "manifest from a server whose authority nobody trusts", message=UNREACHABLE,
        requests="", setup=untrusted),
    Row("plain-port", "Network", "https spoken to the service's plain HTTP port", message=UNREACHABLE, requests="",
        setup=lambda s: setattr(s, "manifest_base", os.environ["VORN_TEST_HTTP"].replace("http:", "https:"))),
    Row("slow", "Network", "the manifest's headers after 2 s, payloads in 64 KiB pieces 20 ms apart",
        manifest_fault="delay=2000", payload_fault="slow=20"),

    Row("size-smaller", "Manifest", "launcher announced 1 byte smaller than it is", message=SIZE, requests=ML,
        edit=lambda m, d: m.update(launcherSize=m["launcherSize"] - 1)),
    Row("launcher-digest", "Manifest", "wrong launcher digest: the runner is never requested", message=DIGEST,
        requests=ML, hold=DIGEST, during=photograph_failure,
        edit=lambda m, d: m.update(launcherSha256=m["launcherSha256"][::-1])),
    Row("runner-digest", "Manifest", "wrong runner digest", message=DIGEST,
        edit=lambda m, d: m.update(runnerSha256=m["runnerSha256"][::-1])),
    Row("upper-case", "Manifest", "digests in upper case", edit=lambda m, d: m.update(
        launcherSha256=m["launcherSha256"].upper(), runnerSha256=m["runnerSha256"].upper())),
    Row("protocol-0", "Manifest", "protocol 0", message="Invalid update manifest.", requests="manifest 200",
        edit=lambda m, d: m.update(protocol=0)),
    Row("nested-runner", "Manifest", "runner archive with run.exe inside a folder, not at its top",
        message="The runner archive could not be extracted or does not contain run.exe.", edit=nested_runner),

    Row("launcher-exits", "Launcher", "updated launcher ends at once (code 3) without confirming",
        message=NOT_CONFIRMED, end="restored", launcher="exit:3"),
    Row("wrong-token", "Launcher", "updated launcher confirms another token, then ends", message=NOT_CONFIRMED,
        end="restored", launcher="wrongtoken:0", leftover={".update-ok-<token>": b""},
        note="the launcher's own wrong confirmation file stays"),
    Row("launcher-hangs", "Launcher", "updated launcher runs on without confirming: all 90 checks, then it is "
        "terminated and the update rolled back", message=NOT_CONFIRMED, end="restored", launcher="hang:200000",
        slow=True),

    Row("runner-mount", "Files", "Runner cannot be moved aside (a mount point) after the launcher was: the launcher "
        "is moved back", message="filesystem error: rename: Lock violation [<install dir>\\Runner] "
        "[<install dir>\\.update-backup-<token>\\Runner]", end="restored", starts="",
        # A mount point cannot be renamed: the failure Windows gives for a file
        # held open in Runner, which Wine does not reproduce.
        setup=lambda s: mounted(s.root / "Runner", "--bind", s.root / "Runner")),
    Row("read-only-new", "Files", "two files of the new runner made read-only, then the launcher ends unconfirmed",
        message=NOT_CONFIRMED, end="restored", launcher="until:{marker}", during=read_only_new_runner),
    Row("read-only-old", "Files", "read-only launcher and runner files in the previous installation",
        setup=lambda s: make_read_only(s, LAUNCHER, "Runner/lib/shared.txt", "Runner/only-in-1.txt")),
    Row("disk-full-runner", "Files", "installation disk full in the middle of the runner copy",
        message=INSTALL_FAILED, end="restored", starts="P", release="big",
        setup=small_disk(lambda s: pages(len(launcher_bytes(2))) + MiB)),
    Row("disk-full-launcher", "Files", "installation disk full at the new launcher's last 100 bytes",
        message=INSTALL_FAILED, end="restored", starts="P", release="sized", components="launcher", requests=ML,
        setup=small_disk(lambda s: len(RELEASES["sized"]()[0]) - 100)),
    Row("disk-full-stamp", "Files", "installation disk full exactly when the runner stamp is written",
        leftover={"Runner/.vorn-runner.json": b""},
        components="runner", requests=MR, setup=small_disk(lambda s: sum(map(pages, map(len, NEW_RUNNER.values())))),
        note="the stamp stays empty, so a later repair run reinstalls the runner"),
    Row("temp-full", "Files", "temporary directory on a 1 MiB file system: the runner download does not fit",
        message="Could not write a downloaded file.", release="big", setup=temp_named("small temp", size="1m")),

    Row("temp-name", "Paths", "temporary directory …/Temp d'Ärger Łódź 临时 文件",
        setup=temp_named("Temp d'Ärger Łódź 临时 文件")),
    Row("powershell", "Paths", f"tar.exe fails and PowerShell extracts; installation …/{AWKWARD}, temporary "
        "directory …/Temp l'œuvre ‘quoted’ ‚low‛ 临时", root=AWKWARD, check=powershell_extracted,
        setup=temp_named("Temp l'œuvre ‘quoted’ ‚low‛ 临时", env=lambda s: {
            "VORN_STANDIN_TAR_FAIL": "1", "VORN_STANDIN_POWERSHELL_LOG": win(s.dir / "powershell.log")})),

    Row("leftovers", "Leftovers", "an earlier run's staging, backup and confirmation are left alone",
        setup=earlier_run_left, check=earlier_staging_kept),
    Row("leftovers-rollback", "Leftovers", "the same, and the update rolls back", message=NOT_CONFIRMED,
        end="restored", launcher="exit:3", setup=earlier_run_left, check=earlier_staging_kept),

    Row("killed", "Interruptions", f"the updater killed {len(KILLS_S)} times, {min(KILLS_S)} to {max(KILLS_S)} s "
        "after its install began, each time on a fresh copy of a previous installation of a 16 MiB launcher and "
        "1,000 runner files: after every kill the launcher and Runner are whole, old or new; then --repair on what "
        "the earliest kill left", release="bulky", setup=killed_runs, check=killed_staging_kept,
        note="the killed runs' .update-backup-<token>, .update-new-<token> and .update-ok-<token> in the "
             "installation and their staging directories stay, as documented"),

    Row("link-update", "Links", "Runner holds a link to a directory outside the installation; update confirmed",
        setup=linked_runner, check=outside_kept, leftover=lambda s: {
            BACKUP: None, f"{BACKUP}/Runner": None, f"{BACKUP}/Runner/linked": ("link", str(s.dir / "outside"))},
        note="the link stays in the backup directory, a Wine limit: Wine cannot remove a directory link (on "
             "Windows RemoveDirectoryW removes the link itself)"),
    Row("link-rollback", "Links", "the same, and the update rolls back: the link is back in Runner",
        message=NOT_CONFIRMED, end="restored", launcher="exit:3", setup=linked_runner, check=outside_kept),
]
GROUPS = list(dict.fromkeys(row.group for row in ROWS))
assert len({row.id for row in ROWS}) == len(ROWS)
