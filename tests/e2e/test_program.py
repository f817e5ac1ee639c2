"""The built VORNUpdate.exe run as a user meets it: started with a command
line against the local download service, watched and driven through its
window, and judged by what it leaves on disk, on the server and on screen.

Each class runs one update (class-scoped fixture) and checks its parts; the
tables at the end run one short update per row. Screenshots of the three
window states go to docs/screenshots/.
"""
import json
import re
import time
from types import SimpleNamespace

import pytest

from updater_harness import (BACKUP_PREFIX, COMPLETE, CONFIRMATION_PREFIX, FAILED, HANDSHAKE_EXIT_S,
                             HAVE_XDOTOOL, LAUNCHER, MANIFEST, MISSING, RUNNER_ZIP, STAMP, close_real,
                             launcher_bytes, needs_xdotool, screenshot, sha256, staging_dirs, tree, win)

if MISSING:
    pytest.skip(f"needs {', '.join(MISSING)} (run through scripts/test)", allow_module_level=True)

INCOMPLETE = "The updater received incomplete update instructions."
BAD_DIGEST = "The downloaded file failed SHA-256 verification. Nothing was installed."
NOT_CONFIRMED = ("The updated launcher did not confirm a healthy start. "
                 "The previous installation will be restored.")
READY = "VORN Launcher is ready."

# The titles a successful run shows, in the order it shows them.
STEPS = ["Preparing update", "Checking update", "Downloading launcher update", "Verifying launcher update",
         "Downloading runner update", "Verifying runner update", "Extracting runner files",
         "Installing launcher", "Installing runner", "Starting VORN Launcher", COMPLETE]

OLD_RUNNER = {"run.exe": b"runner 1\n", "lib/shared.txt": b"shared 1\n", "only-in-1.txt": b"old\n"}
OLD_STAMP = {"runnerVersion": "1.0.0", "runnerSha256": sha256(b"runner archive 1")}
NEW_RUNNER = {"run.exe": b"runner 2\n", "lib/shared.txt": b"shared 2\n", "lib/deeper/new.txt": b"new in 2\n"}

ALL_PAYLOADS = sorted([("GET", MANIFEST, 200), ("GET", LAUNCHER, 200), ("GET", RUNNER_ZIP, 200)])
TOKEN = re.compile(r"[0-9A-F]{32}")


def files_only(snapshot):
    return {name: data for name, data in snapshot.items() if data is not None}


def runner_files(install):
    """The installed runner's files without its stamp."""
    return {name: data for name, data in files_only(tree(install.runner)).items() if name != STAMP}


def read_stamp(install):
    return json.loads((install.runner / STAMP).read_text(encoding="utf-8"))


def percent_text(progress):
    return f"{progress // 10}.{progress % 10}%"


def same_dir(windows_path, install):
    return windows_path.rstrip("\\").lower() == win(install.root).lower()


def window_states(watched):
    """The watched states while a window was there."""
    return [state for state in watched if state["found"]]


def last_running(watched):
    running = [s for s in window_states(watched) if s["title"] not in (COMPLETE, FAILED)]
    return running[-1] if running else None


def old_installation(harness):
    return harness.installation(launcher_bytes(1), OLD_RUNNER, OLD_STAMP)


# --- A plain successful update ----------------------------------------------

@pytest.fixture(scope="class")
def updated(harness):
    install = old_installation(harness)
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    staging_before = staging_dirs()
    with harness.probe.watching() as watched:
        with harness.start(release.args(install), install.launcher_env()) as updater:
            # Nothing is sent to the window: it has to end by itself.
            exit_code = updater.wait(HANDSHAKE_EXIT_S)
    return SimpleNamespace(install=install, release=release, exit_code=exit_code, watched=watched,
                           new_staging=staging_dirs() - staging_before)


class TestSuccessfulUpdate:
    def test_exits_with_zero_on_its_own(self, updated):
        assert updated.exit_code == 0

    def test_window_shows_completion_then_closes_itself(self, updated):
        *_, final, gone = updated.watched
        assert gone == {"found": False}
        assert (final["title"], final["detail"], final["progress"], final["percent"]) == \
            (COMPLETE, READY, 1000, "100%")
        assert final["closeEnabled"] and not final["errorBox"]["present"]

    def test_steps_appear_in_order_with_close_disabled(self, updated):
        states = window_states(updated.watched)
        titles = [s["title"] for s in states]
        assert set(titles) <= set(STEPS), states
        firsts = [STEPS.index(t) for t in dict.fromkeys(titles)]
        assert firsts == sorted(firsts), titles
        for state in states:
            assert state["caption"] == "VORN Update"
            assert state["closeEnabled"] == (state["title"] == COMPLETE), state
            assert state["errorBoxCount"] == 0, state

    def test_new_release_is_installed(self, updated):
        assert updated.install.launcher.read_bytes() == updated.release.launcher
        assert runner_files(updated.install) == NEW_RUNNER

    def test_runner_stamp_names_the_new_release(self, updated):
        assert read_stamp(updated.install) == updated.release.stamp()
        assert updated.release.stamp()["runnerVersion"] == "2.0.0"

    def test_nothing_else_is_left_behind(self, updated):
        # No backup, no confirmation file, no staging directory.
        assert sorted(p.name for p in updated.install.root.iterdir()) == ["Runner", LAUNCHER]
        assert updated.new_staging == set()

    def test_new_launcher_started_once_with_a_token_in_the_install_dir(self, updated):
        [start] = updated.install.launcher_starts()
        assert TOKEN.fullmatch(start["token"]), start
        assert start["cmdline"].endswith(f" --post-update-token {start['token']}")
        assert LAUNCHER.lower() in start["cmdline"].lower()
        assert same_dir(start["cwd"], updated.install), start

    def test_manifest_and_both_payloads_fetched_once(self, updated):
        assert updated.release.requested() == ALL_PAYLOADS


# --- The window while an update is running ----------------------------------

# Ways of asking a running window to close. Real input goes through the X
# server like a user's; the others are the messages that input ends up as.
CLOSE_ATTEMPTS = ["close", "altf4",
                  pytest.param("x:alt-f4", marks=needs_xdotool), pytest.param("x:click", marks=needs_xdotool)]


@pytest.fixture(scope="class")
def slow_update(harness):
    """An update whose launcher download crawls (the stand-in is a few MB),
    to hold the window in a running state while it is photographed and asked
    to close."""
    install = old_installation(harness)
    release = harness.publish(launcher_bytes(2), NEW_RUNNER, fault="slow=100")
    probe = harness.probe
    attempts = {}
    with harness.start(release.args(install), install.launcher_env()) as updater:
        running = probe.wait_title("Downloading launcher update", min_progress=150)
        time.sleep(0.3)  # let the last repaint reach the display
        running_shot = screenshot("running.png", running["rect"])
        for action in ("close", "altf4"):
            rc, attempts[action] = probe.run(action)
            assert rc == 0
        if HAVE_XDOTOOL:
            close_real("alt-f4", running)
            attempts["x:alt-f4"] = probe.state()
            close_real("click", running)
            attempts["x:click"] = probe.state()
        with probe.on_title(COMPLETE) as complete:
            time.sleep(0.25)  # let the last repaint reach the display
            # Frozen, it cannot close itself while the screen is captured.
            with updater.frozen():
                complete_shot = screenshot("succeeded.png", complete["rect"])
        exit_code = updater.wait(HANDSHAKE_EXIT_S)
    return SimpleNamespace(install=install, release=release, running=running,
                           running_shot=running_shot, attempts=attempts, complete=complete,
                           complete_shot=complete_shot, exit_code=exit_code)


class TestWindowWhileRunning:
    @pytest.mark.parametrize("attempt", CLOSE_ATTEMPTS)
    def test_close_request_is_ignored(self, slow_update, attempt):
        state = slow_update.attempts[attempt]
        assert state["found"], f"{attempt} closed a running update"
        assert state["title"] not in (COMPLETE, FAILED), state
        assert not state["closeEnabled"]

    def test_running_state_is_on_screen(self, slow_update):
        state = slow_update.running
        assert state["title"] == "Downloading launcher update"
        assert 150 <= state["progress"] < 1000
        assert state["detail"].endswith(" KB")
        assert not state["closeEnabled"]
        assert slow_update.running_shot > 0.2, "screenshot shows no window"

    def test_completed_state_is_on_screen(self, slow_update):
        state = slow_update.complete
        assert (state["detail"], state["progress"], state["percent"]) == (READY, 1000, "100%")
        assert state["closeEnabled"]
        assert slow_update.complete_shot > 0.2, "screenshot shows no window"

    def test_update_still_completes(self, slow_update):
        assert slow_update.exit_code == 0
        assert slow_update.install.launcher.read_bytes() == slow_update.release.launcher
        assert runner_files(slow_update.install) == NEW_RUNNER


# --- A download that fails verification -------------------------------------

@pytest.fixture(scope="class")
def bad_digest(harness):
    install = old_installation(harness)
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    published = release.directory / LAUNCHER
    corrupted = bytearray(published.read_bytes())
    corrupted[-2] ^= 0x01  # same size, different digest
    published.write_bytes(bytes(corrupted))

    before = install.snapshot()
    staging_before = staging_dirs()
    shots = []

    def photograph(state):
        time.sleep(0.3)  # let the last repaint reach the display
        shots.append(screenshot("failed.png", state["rect"], state["errorBox"]["rect"]))

    with harness.start(release.args(install), install.launcher_env()) as updater:
        seen = harness.finish_failure(updater, on_box=photograph)
    return SimpleNamespace(install=install, release=release, before=before, seen=seen, shot=shots[0],
                           new_staging=staging_dirs() - staging_before)


class TestFailedVerification:
    def test_error_box_shows_the_message_once(self, bad_digest):
        box = bad_digest.seen["box"]
        assert box["errorBoxCount"] == 1
        assert box["errorBox"]["text"] == BAD_DIGEST
        for later in (bad_digest.seen["dismissed"], bad_digest.seen["later"]):
            assert later["errorBoxCount"] == 0
        assert bad_digest.shot > 0.2, "screenshot shows no window"

    def test_window_keeps_the_failure_until_closed(self, bad_digest):
        for key in ("box", "dismissed", "later"):
            state = bad_digest.seen[key]
            assert (state["found"], state["title"], state["detail"], state["closeEnabled"]) == \
                (True, FAILED, BAD_DIGEST, True), key
        assert bad_digest.seen["running_before_close"]
        assert bad_digest.seen["closed"] == {"found": False}

    def test_last_progress_is_kept(self, bad_digest):
        # Verification had hashed the whole file when it failed; that step is
        # too short to be sure the watcher saw it.
        state = bad_digest.seen["later"]
        assert (state["progress"], state["percent"]) == (1000, "100.0%")

    def test_exits_with_one(self, bad_digest):
        assert bad_digest.seen["exit"] == 1

    def test_installation_is_untouched(self, bad_digest):
        assert bad_digest.install.snapshot() == bad_digest.before
        assert bad_digest.install.launcher_starts() == []

    def test_staging_dir_is_left(self, bad_digest):
        assert len(bad_digest.new_staging) == 1

    def test_runner_not_downloaded_after_the_launcher_failed(self, bad_digest):
        assert bad_digest.release.requested() == sorted([("GET", MANIFEST, 200), ("GET", LAUNCHER, 200)])


# --- An installed launcher that does not confirm ------------------------------

@pytest.fixture(scope="class")
def unconfirmed(harness):
    install = old_installation(harness)
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    before = install.snapshot()
    staging_before = staging_dirs()
    with harness.probe.watching() as watched:
        with harness.start(release.args(install), install.launcher_env("exit:3")) as updater:
            seen = harness.finish_failure(updater)
    return SimpleNamespace(install=install, release=release, before=before, seen=seen, watched=watched,
                           new_staging=staging_dirs() - staging_before)


class TestFailedHandshake:
    def test_failure_is_reported_and_exit_code_is_one(self, unconfirmed):
        box = unconfirmed.seen["box"]
        assert (box["errorBoxCount"], box["errorBox"]["text"]) == (1, NOT_CONFIRMED)
        later = unconfirmed.seen["later"]
        assert (later["title"], later["detail"], later["closeEnabled"]) == (FAILED, NOT_CONFIRMED, True)
        assert unconfirmed.seen["exit"] == 1

    def test_last_progress_is_kept(self, unconfirmed):
        state = unconfirmed.seen["later"]
        running = last_running(unconfirmed.watched)
        assert running["title"] == "Starting VORN Launcher"
        assert state["progress"] == running["progress"] < 1000
        assert state["percent"] == percent_text(state["progress"])

    def test_previous_installation_is_restored_byte_for_byte(self, unconfirmed):
        after = unconfirmed.install.snapshot()
        [backup] = unconfirmed.install.entries(BACKUP_PREFIX)
        assert after.pop(backup) is None  # a directory
        assert {name: data for name, data in after.items() if not name.startswith(backup + "/")} == \
            unconfirmed.before

    def test_an_empty_backup_dir_is_left(self, unconfirmed):
        [backup] = unconfirmed.install.entries(BACKUP_PREFIX)
        assert list((unconfirmed.install.root / backup).iterdir()) == []

    def test_no_confirmation_file_is_left(self, unconfirmed):
        assert unconfirmed.install.entries(CONFIRMATION_PREFIX) == []

    def test_new_launcher_tried_then_old_one_restarted_without_token(self, unconfirmed):
        first, second = unconfirmed.install.launcher_starts()
        assert TOKEN.fullmatch(first["token"]) and "--post-update-token" in first["cmdline"]
        assert second["token"] == "" and "--post-update-token" not in second["cmdline"]
        assert same_dir(second["cwd"], unconfirmed.install)

    def test_staging_dir_is_left(self, unconfirmed):
        assert len(unconfirmed.new_staging) == 1

    def test_everything_was_downloaded(self, unconfirmed):
        assert unconfirmed.release.requested() == ALL_PAYLOADS


# --- Repair: only what differs from the release is replaced -------------------

# (installed launcher is current, installed runner is current, --repair) ->
# what is downloaded, and whether the new launcher must confirm (token).
REPAIRS = [
    pytest.param(True, True, True, [("GET", MANIFEST, 200)], False, id="nothing-to-update"),
    pytest.param(False, True, True, sorted([("GET", MANIFEST, 200), ("GET", LAUNCHER, 200)]), True,
                 id="launcher-outdated"),
    pytest.param(True, False, True, sorted([("GET", MANIFEST, 200), ("GET", RUNNER_ZIP, 200)]), True,
                 id="runner-outdated"),
    pytest.param(True, True, False, ALL_PAYLOADS, True, id="current-without-repair"),
]


@pytest.mark.parametrize("launcher_current, runner_current, repair, downloads, handshake", REPAIRS)
def test_repair_replaces_only_what_differs(harness, launcher_current, runner_current, repair, downloads,
                                           handshake):
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    install = harness.installation(launcher_bytes(2) if launcher_current else launcher_bytes(1),
                                   NEW_RUNNER if runner_current else OLD_RUNNER,
                                   release.stamp() if runner_current else OLD_STAMP)
    before = install.snapshot()
    staging_before = staging_dirs()
    args = release.args(install, "launcher,runner", *(["--repair"] if repair else []))
    with harness.start(args, install.launcher_env()) as updater:
        assert updater.wait(HANDSHAKE_EXIT_S) == 0

    assert release.requested() == downloads
    assert install.launcher.read_bytes() == release.launcher
    assert runner_files(install) == NEW_RUNNER
    assert read_stamp(install) == release.stamp()
    if downloads == [("GET", MANIFEST, 200)]:
        assert install.snapshot() == before
    if runner_current and repair:
        assert tree(install.runner) == {k[len("Runner/"):]: v for k, v in before.items() if k.startswith("Runner/")}
    [start] = install.launcher_starts()
    assert bool(start["token"]) == handshake, start
    assert sorted(p.name for p in install.root.iterdir()) == ["Runner", LAUNCHER]
    assert staging_dirs() - staging_before == set()


# --- Command lines the program cannot work with -------------------------------

# A missing --download-base is not among them: the program then uses its
# built-in service, which is no local address.
def incomplete_lines(install, release):
    full = release.args(install)

    def without(name):
        return full[:full.index(name)] + full[full.index(name) + 2:]

    def replaced(name, value):
        line = list(full)
        line[line.index(name) + 1] = value
        return line

    return {
        "no-arguments": [],
        "no-install-dir": without("--install-dir"),
        "no-manifest-url": without("--manifest-url"),
        "empty-download-base": replaced("--download-base", ""),
        "slashes-download-base": replaced("--download-base", "//"),
        "no-known-component": replaced("--components", "docs"),
        "components-without-value": full[:-1],
    }


@pytest.mark.parametrize("line", ["no-arguments", "no-install-dir", "no-manifest-url", "empty-download-base",
                                  "slashes-download-base", "no-known-component", "components-without-value"])
def test_incomplete_command_line_fails_in_the_window(harness, line):
    install = old_installation(harness)
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    before = install.snapshot()
    staging_before = staging_dirs()
    with harness.start(incomplete_lines(install, release)[line], install.launcher_env()) as updater:
        seen = harness.finish_failure(updater)
    assert (seen["box"]["errorBoxCount"], seen["box"]["errorBox"]["text"]) == (1, INCOMPLETE)
    later = seen["later"]
    assert (later["title"], later["detail"], later["progress"], later["percent"], later["closeEnabled"]) == \
        (FAILED, INCOMPLETE, 0, "0%", True)
    assert seen["exit"] == 1
    assert install.snapshot() == before
    assert release.requested() == []
    assert staging_dirs() - staging_before == set()


# Ways of closing the window once the update has failed.
CLOSE_AFTER_FAILURE = ["close", "altf4", pytest.param("x:alt-f4", marks=needs_xdotool),
                       pytest.param("x:click", marks=needs_xdotool)]


@pytest.mark.parametrize("close_with", CLOSE_AFTER_FAILURE)
def test_failed_window_closes_on_request(harness, close_with):
    with harness.start([]) as updater:
        seen = harness.finish_failure(updater, close_with=close_with)
    assert seen["running_before_close"]
    assert seen["exit"] == 1
    if seen["closed"] is not None:
        assert seen["closed"] == {"found": False}
