"""The built VORNUpdate.exe run once per row of rows.py, driven through its
window, and judged alike for every row: exit code, the one message, the
window, the installation and staging directories afterwards, the launchers
started and the requests made. Writes docs/FAULTS.md after a complete run."""
import concurrent.futures
import contextlib
import json
import os
import shutil
import subprocess

import pytest

from harness import (LAUNCHER, LIMIT_S, MANIFEST, MISSING, ROOT, TOKEN, ZIP, Lane, Path, Releases,
                     background, end, fingerprint, installation, launcher_bytes, nginx_log, processes_mentioning,
                     requests_log, stamp, wait_until, win, write_tree)
from rows import COMPLETE, FAILED, GROUPS, HANDSHAKE, OLD_RUNNER, OLD_STAMP, RELEASES, ROWS

if MISSING:
    pytest.skip(f"needs {', '.join(MISSING)} (run through scripts/test)", allow_module_level=True)

STEPS = ["Preparing update", "Checking update", "Checking installed launcher", "Downloading launcher update",
         "Verifying launcher update", "Downloading runner update", "Verifying runner update",
         "Extracting runner files", "Preparing installation", "Installing launcher", "Installing runner",
         HANDSHAKE, COMPLETE, FAILED]
SHORT = {"manifest.json": "manifest", LAUNCHER: "launcher", ZIP: "runner"}
ENDS = {"installed": "release installed and confirmed", "unchanged": "installation unchanged",
        "restored": "previous installation restored, one empty backup directory left"}


class Scene:
    """One row's run: where it happens, and what it showed and left."""

    def __init__(self, row, lane, releases, workdir):
        self.row, self.lane, self.name, self.problems, self.env, self.args = row, lane, row.id, [], {}, []
        self.dir = workdir / row.id
        # A setup that runs the updater itself may revise these expectations.
        self.requests_wanted, self.starts_wanted = row.requests, row.starts
        self.root, self.log, self.thaw, self.out = (
            self.dir / row.root, *(self.dir / name for name in ("launcher.log", "thaw", "watch.jsonl")))
        self.root_name = None  # another name for the command line to give the installation by
        self.release = releases.publish(row.release)[1]
        self.www, self.manifest = releases.www / self.name, releases.serve(row.release, self.name, row.edit)
        self.base = os.environ["VORN_NGINX_HTTPS" if row.nginx else "VORN_TEST_HTTPS"]
        self.manifest_base = self.base
        self.dir.mkdir(parents=True)
        if row.install != "first":
            write_tree(self.root, self.installed() if row.install == "current" else
                       installation(launcher_bytes(1), OLD_RUNNER, OLD_STAMP))

    @property
    def root_win(self):
        """The installation as the command line names it."""
        return self.root_name or win(self.root)

    def installed(self):
        """The installation of the served release."""
        return installation((self.www / LAUNCHER).read_bytes(), self.release, stamp(self.manifest))

    def command_line(self):
        def url(base, fault, path):
            return f"{base}/_fault/{fault}/{self.name}{path}" if fault else f"{base}/{self.name}{path}"
        line = ["--install-dir", self.root_win,
                "--manifest-url", url(self.manifest_base, self.row.manifest_fault, f"/{MANIFEST}"),
                "--download-base", url(self.base, self.row.payload_fault, ""),
                "--components", self.row.components, *self.args]
        return self.row.args(line) if callable(self.row.args) else line + list(self.row.args)

    def states(self):
        lines = self.out.read_text(encoding="utf-8").splitlines() if self.out.exists() else []
        return [json.loads(line) for line in lines if line.endswith("}")]

    def wait(self, predicate, what):
        """The first state of the window that satisfies predicate."""
        def seen():
            found = next((s for s in self.states() if s.get("found") and predicate(s)), None)
            assert found or self.updater.poll() is None, f"the updater ended without showing {what}"
            return found
        return wait_until(seen, what)

    def probe(self, command):
        out = self.dir / f"probe-{command}.json"
        self.lane.wine(os.environ["VORN_UIPROBE"], command, win(out))
        return json.loads(out.read_text(encoding="utf-8")) if out.exists() else {}

    def logged(self):
        return self.log.read_text(encoding="utf-8").splitlines() if self.log.exists() else []

    def starts(self):
        return [dict(item.split("=", 1) for item in line.split("\t")) for line in self.logged()
                if line.startswith("cwd=")]

    def served(self):
        records = nginx_log() if self.row.nginx else requests_log()
        return [record for record in records if f"/{self.name}/" in record["path"]]

    def normal(self, text):
        """Text without this run's paths and tokens: the same on every run."""
        return TOKEN.sub("<token>", text.replace(self.root_win, "<install dir>").replace(
            win(self.root), "<install dir>"))


def run(row, lane, releases, workdir):
    """The one driver: sets the row up, runs the updater while the probe
    watches and drives its window, and has the run judged."""
    scene = Scene(row, lane, releases, workdir)
    with contextlib.ExitStack() as stack:
        if row.setup and hasattr(context := row.setup(scene), "__enter__"):
            stack.enter_context(context)
        scene.before, staging = fingerprint(scene.root), set(lane.temp.iterdir())
        earlier = len(scene.served())  # a setup may have run the updater already: not the row's requests
        hold = [row.hold, win(scene.thaw)] if row.hold else []
        watcher = background(["wine", os.environ["VORN_UIPROBE"], "watch", win(scene.out), row.close, *hold],
                             lane.env)
        env = dict(lane.env, VORN_LAUNCHER_STANDIN=f"{row.launcher} log={win(scene.log)}", **scene.env)
        scene.updater = background([*row.under, "wine", os.environ["VORN_EXE"], *scene.command_line()], env,
                                   row.cwd and scene.root / row.cwd)
        try:
            if row.during:
                row.during(scene)
            scene.exit = scene.updater.wait(LIMIT_S)
        except Exception as error:  # noqa: BLE001 - a row that cannot be driven is judged like any other
            scene.problems.append(f"driving the run failed: {error}")
            scene.exit = end(scene.updater, 0)
        finally:
            scene.thaw.touch()
            end(watcher)
        scene.watched, scene.staging = scene.states(), sorted(set(lane.temp.iterdir()) - staging)
        scene.records = scene.served()[earlier:]
        problems = judge(scene)
    for path in scene.staging:
        shutil.rmtree(path, ignore_errors=True)
    return scene, problems


def window_problems(scene):
    row, found = scene.row, [s for s in scene.watched if s.get("found")]
    if not found:
        return ["the window never showed"]
    problems = []
    titles = list(dict.fromkeys(s["title"] for s in found))
    if not set(titles) <= set(STEPS) or titles != sorted(titles, key=STEPS.index) or \
            {COMPLETE, FAILED} <= {*titles}:
        problems.append(f"titles out of order: {titles}")
    if any(s["closeEnabled"] != (s["title"] in (COMPLETE, FAILED)) or s["caption"] != "VORN Update"
           for s in found):
        problems.append("Close enabled while running, or another caption")
    checks = [s["progress"] for s in found if s["title"] == HANDSHAKE]
    if checks and (max(checks) == 1000) != row.launcher.startswith("hang"):
        problems.append(f"the handshake ended after {max(checks) * 90 // 1000} of 90 checks")
    if scene.watched[-1] != {"found": False}:
        problems.append("the window was still open at the end")
    counts = [s["boxes"] for s in found]
    shown = sum(max(0, b - a) for a, b in zip([0] + counts, counts))
    texts = sorted({scene.normal(s["boxText"]) for s in found if s["boxes"]})
    if row.exit == 0:
        final = [found[-1][key] for key in ("title", "detail", "progress", "percent")]
        if shown or final != [COMPLETE, "VORN Launcher is ready.", 1000, "100%"]:
            problems.append(f"did not end showing its success: {final}, {texts}")
        return problems
    if shown != 1 or texts != [row.message]:
        problems.append(f"{shown} error boxes, with {texts}")
    # What the window shows from its start, unless the watch saw more.
    last = ([{"title": "", "progress": 0, "percent": "0%"}] + [s for s in found if s["title"] != FAILED])[-1]
    for state in [s for s in found if s["title"] == FAILED and not s["boxes"]] or [{}]:
        progress = state.get("progress", -1)
        # Progress starts again with each step, and a step can pass too quickly
        # to be watched: the last progress is known for the handshake only,
        # which waits a second after each report. Elsewhere bar and text agree.
        percent = state.get("percent")
        kept = (progress, percent) == (last["progress"], last["percent"]) or last["title"] != HANDSHAKE and (
            percent == f"{progress // 10}.{progress % 10}%" or (progress, percent) == (0, "0%"))
        if scene.normal(state.get("detail", "")) != row.message or not kept:
            problems.append(f"the failed window showed {state}, after {last['progress']}, {last['percent']}")
            break
    return problems


def end_problems(scene):
    row, before = scene.row, scene.before
    after = {TOKEN.sub("<token>", k) if k.split("/")[0] not in before else k: v
             for k, v in fingerprint(scene.root).items()}
    expected = dict(before)
    if row.end == "installed":
        replaced = {name for name, part in ((LAUNCHER, "launcher"), ("Runner", "runner"))
                    if part in row.components}
        expected = {k: v for k, v in before.items() if k.split("/")[0] not in replaced} | {
            k: v for k, v in scene.installed().items() if k.split("/")[0] in replaced}
    elif row.end == "restored":
        expected[".update-backup-<token>"] = None
    expected |= row.leftover
    # A directory's value is None: a missing entry must differ from it.
    changed = sorted(k for k in expected.keys() | after.keys() if expected.get(k, ()) != after.get(k, ()))
    problems = [f"{row.end} expected, but these differ: {', '.join(changed)}"] if changed else []
    wanted = row.staging if row.staging is not None else row.exit
    names = [path.name.removeprefix("VORNUpdate-") for path in scene.staging]
    if len(names) != wanted or not all(map(TOKEN.fullmatch, names)):
        problems.append(f"{len(names)} staging directories left, not {wanted}")
    for path in (path for staging in scene.staging for path in staging.iterdir()):
        if path.name not in (LAUNCHER, ZIP, "Runner") or (
                path.is_file() and path.read_bytes() != (scene.www / path.name).read_bytes()):
            problems.append(f"staging holds {path.name}, not a whole payload")
    return problems


def launcher_problems(scene):
    wanted = scene.starts_wanted
    # A launcher started last may not have logged its start yet.
    with contextlib.suppress(AssertionError):
        wait_until(lambda: len(scene.starts()) >= len(wanted), "the launcher starts", 10)
    starts = scene.starts()
    seen = "".join("T" if start["token"] else "P" for start in starts)
    problems = [] if seen == wanted else [f"launcher starts {seen or 'none'}, not {wanted or 'none'}"]
    # Started from the installation directory, by its quoted full path.
    launcher = f'"{scene.root_win}\\{LAUNCHER}"'
    for start in starts:
        token = f" --post-update-token {start['token']}" if TOKEN.fullmatch(start["token"]) else ""
        if (start["cwd"], start["cmdline"]) != (scene.root_win, launcher + token):
            problems.append(f"the launcher started in {start['cwd']} as {start['cmdline']}")
    for pid in (pid for start in starts if start["token"] for pid in processes_mentioning(start["token"])):
        problems.append("a tried launcher is still running")
        os.kill(pid, 9)
    return problems


def judge(scene):
    """The one judge of every row."""
    row = scene.row
    problems = scene.problems + ([f"exit code {scene.exit}"] if scene.exit != row.exit else [])
    problems += window_problems(scene) + end_problems(scene) + launcher_problems(scene)
    scene.requested = ", ".join(f"{SHORT[record['path'].rsplit('/', 1)[-1]]} {record['status'] or '-'}"
                                for record in scene.records)
    if scene.requested != scene.requests_wanted:
        problems.append(f"requests: {scene.requested or 'none'}")
    return problems + (row.check(scene) if row.check else [])


def describe(exit_code, message, outcome, requests):
    return "; ".join([f"exit {exit_code}"] + [f"“{message}”"] * bool(message) + outcome +
                     [f"requests: {requests or 'none'}"])


def expected_end(row):
    return [ENDS[row.end]] + [row.note] * bool(row.note)


@pytest.mark.parametrize("row", sorted(ROWS, key=lambda row: row.slow), ids=lambda row: row.id)
def test_row(row, suite):
    scene, problems = suite.result(row)
    box = next((scene.normal(s["boxText"]) for s in scene.watched if s.get("boxes")), "")
    suite.records[row.id] = (describe(scene.exit, box, problems or expected_end(row), scene.requested),
                             "DIFFERS" if problems else "as expected")
    assert not problems, problems


class Suite:
    """Runs the slow rows at once, one after the other, in the second lane,
    and the others in the main lane as they come."""

    def __init__(self, workdir, slow_rows):
        self.workdir, self.records, self.main = workdir, {}, Lane(dict(os.environ))
        self.releases = Releases(os.environ["VORN_TEST_WWW"], RELEASES)
        for row in slow_rows:  # made here: two lanes must not make one release at once
            self.releases.publish(row.release)
        self.pool = concurrent.futures.ThreadPoolExecutor(1)
        lane = Lane(dict(os.environ, WINEPREFIX=os.environ["VORN_LANE2_PREFIX"],
                         DISPLAY=os.environ["VORN_LANE2_DISPLAY"]))
        self.slow = {row.id: self.pool.submit(run, row, lane, self.releases, workdir) for row in slow_rows}

    def result(self, row):
        return self.slow[row.id].result() if row.slow else run(row, self.main, self.releases, self.workdir)


def render(records):
    # `wine --version` starts no Windows program, so it holds no pipe open.
    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=60).stdout.strip()
    lines = ["# Program-level scenarios and faults", "",
             "Generated by `tests/program` (`scripts/test -R program_pytest`) from what the real "
             f"`VORNUpdate.exe` did under {wine} in a virtual display, against the local download "
             "service (one row against nginx), the launcher stand-in and real (small) file systems. Do not "
             "edit by hand: a complete run of the suite rewrites it.", "",
             "Every row is judged alike: the exit code; on failure exactly one error box, whose text "
             "the window's detail shows too, the last progress kept and the window closing on request; on "
             "success the window closing by itself; the installation directory afterwards, byte for "
             "byte; the staging directory removed on success, holding only whole payloads on failure; each "
             "launcher start, from the installation directory by its quoted path and nothing but the token, "
             "and no tried launcher left running; the requests the server saw, in order (the service's log, or "
             "nginx's access log).", ""]
    for group in GROUPS:
        lines += [f"## {group}", "", "| Scenario | Expected | Observed | Verdict |", "|---|---|---|---|"]
        for row in (row for row in ROWS if row.group == group and row.id in records):
            expected = describe(row.exit, row.message, expected_end(row), row.requests)
            cells = (row.scenario, expected, *records[row.id])
            lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |")
        lines.append("")
    return "\n".join(lines)


@pytest.fixture(scope="session")
def suite(request, tmp_path_factory):
    workdir = Path(os.environ["WINEPREFIX"]).parent / "program"
    selected = {item.callspec.params["row"].id for item in request.session.items
                if hasattr(item, "callspec")}
    suite = Suite(workdir, [row for row in ROWS if row.slow and row.id in selected])
    yield suite
    suite.pool.shutdown()
    # Only a complete run describes the program; a partial one is put aside.
    complete = len(suite.records) == len(ROWS) and not request.session.shouldstop
    target = ROOT / "docs/FAULTS.md" if complete else tmp_path_factory.getbasetemp() / "FAULTS.partial.md"
    target.write_text(render(suite.records) + "\n", encoding="utf-8")
