"""Faults of the product's launcher around an update: an updated launcher that
ends at once, never confirms, confirms the wrong token or confirms too late,
and a running launcher that takes its time to close or never does."""
import os
import time

import pytest

from fault_support import (BEFORE_INSTALL, DURING_INSTALL, LAUNCHER_STAYED, MISSING_HERE, NEW_RUNNER, NOT_CONFIRMED,
                           TOOL_LIMIT_S, Scene, describe, drive, helper, judge_failure, judge_success,
                           make_installation, processes_mentioning, update_args)
from updater_harness import COMPLETE, CONFIRMATION_PREFIX, launcher_bytes, run_quietly, win

if MISSING_HERE:
    pytest.skip(f"needs {', '.join(MISSING_HERE)} (run through scripts/test)", allow_module_level=True)

HANDSHAKE = "Starting VORN Launcher"
WAITING = "Waiting for VORN Launcher to close..."
# Titles of the steps that must come after the wait (some pass too quickly to
# be seen, the handshake never does).
AFTER_THE_WAIT = {"Installing launcher", "Installing runner", HANDSHAKE, COMPLETE}


def different_token(token):
    """The token the stand-in confirms in `wrongtoken` mode: each hex digit v as 15 - v."""
    return "".join("0123456789ABCDEF"[15 - int(c, 16)] for c in token)


def handshake_checks(outcome):
    """How far the healthy-start checks got, in tenths of a percent."""
    return max((s["progress"] for s in outcome.states if s.get("found") and s["title"] == HANDSHAKE), default=-1)


def tried_launchers_still_running(install):
    """Updated launchers (started with a token) that are still running."""
    tokens = [s["token"] for s in install.launcher_starts() if s["token"]]
    return [pid for token in tokens for pid in processes_mentioning(token)]


# id, scenario, stand-in behaviour, whether the 90 checks must all pass first.
UNCONFIRMED = [
    ("exits", "updated launcher exits at once with code 3 (`exit:3`)", "exit:3", False),
    ("wrong-token", "updated launcher confirms a different token, then exits (`wrongtoken:0`)", "wrongtoken:0",
     False),
    ("hangs", "updated launcher runs on without confirming (`hang:200000`): all 90 checks, then terminated",
     "hang:200000", True),
    ("confirms-late", "updated launcher confirms only after 95 s (`confirm:95000`), after the 90 checks",
     "confirm:95000", True),
]


@pytest.mark.parametrize("case", UNCONFIRMED, ids=[row[0] for row in UNCONFIRMED])
def test_unconfirmed_launcher_rolls_back(harness, matrix, case):
    _, scenario, behaviour, full_wait = case
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    scene = Scene(install, release)
    outcome = drive(harness, update_args(release, install), launcher_behaviour=install.launcher_env(behaviour))

    # The stand-in's wrong confirmation is its own file, not the updater's.
    wrong = [CONFIRMATION_PREFIX + different_token(s["token"]) for s in install.launcher_starts() if s["token"]]
    left_by_launcher = [name for name in wrong if (install.root / name).exists()]
    problems = judge_failure(scene, outcome, NOT_CONFIRMED, DURING_INSTALL, launcher_leaves=left_by_launcher)
    checks = handshake_checks(outcome)
    if full_wait and checks != 1000:
        problems.append(f"handshake gave up at {checks / 10}% of its checks, not after all of them")
    if not full_wait and checks == 1000:
        problems.append("the handshake waited all 90 checks for a launcher that had ended")
    running = tried_launchers_still_running(install)
    if running:
        problems.append(f"the unconfirmed launcher is still running (pids {running})")
        for pid in running:
            os.kill(pid, 9)
    observed = describe(scene, outcome, problems)
    if full_wait and not problems:
        observed += "; all 90 checks made, the launcher terminated"
    if left_by_launcher:
        observed += "; the launcher's own wrong-token confirmation file stays (the updater only removes its own)"
    matrix.record("Launcher", scenario, f"exit 1, “{NOT_CONFIRMED}”, previous installation restored", observed,
                  problems)
    scene.tidy()
    assert not problems, observed


def start_running_launcher(harness, install, milliseconds):
    """Starts the installed launcher as if the user had it open; returns its
    Windows process id."""
    env = dict(os.environ, VORN_LAUNCHER_STANDIN=install.launcher_env())
    pid_file = harness.directory("pid") / "pid.txt"
    text = helper("spawn", win(pid_file), win(install.launcher), "--standin-sleep", str(milliseconds),
                  out=pid_file, env=env)
    return int(text)


def end_running_launcher(windows_pid, install):
    run_quietly(["wine", "taskkill", "/f", "/pid", str(windows_pid)], timeout=TOOL_LIMIT_S)
    marker = f"{win(install.launcher)} --standin-sleep"
    deadline = time.monotonic() + TOOL_LIMIT_S
    while processes_mentioning(marker) and time.monotonic() < deadline:
        time.sleep(0.1)
    for pid in processes_mentioning(marker):
        os.kill(pid, 9)


def test_launcher_closing_after_five_seconds_is_waited_for(harness, matrix):
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    scene = Scene(install, release)
    pid = start_running_launcher(harness, install, 5000)
    try:
        outcome = drive(harness, update_args(release, install, extra=["--launcher-pid", str(pid)]),
                        launcher_behaviour=install.launcher_env())
    finally:
        end_running_launcher(pid, install)
    problems = judge_success(scene, outcome)
    titles, details = outcome.titles(), outcome.details()
    if WAITING not in details:
        problems.append("the window never showed that it waited for the launcher")
    else:
        later = [i for i, title in enumerate(titles) if title in AFTER_THE_WAIT]
        if not later or details.index(WAITING) > later[0]:
            problems.append("files were installed before the wait for the launcher")
    observed = describe(scene, outcome, problems)
    if not problems:
        observed += "; waited for the launcher first"
    matrix.record("Launcher", "the running launcher (`--launcher-pid`) closes 5 s after the updater starts",
                  "waits, then exit 0, release installed and confirmed", observed, problems)
    scene.tidy()
    assert not problems, observed


def test_launcher_that_never_closes_fails_after_the_wait(harness, matrix):
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    scene = Scene(install, release)
    pid = start_running_launcher(harness, install, 60000)
    try:
        outcome = drive(harness, update_args(release, install, extra=["--launcher-pid", str(pid)]),
                        launcher_behaviour=install.launcher_env())
    finally:
        end_running_launcher(pid, install)
    problems = judge_failure(scene, outcome, LAUNCHER_STAYED, BEFORE_INSTALL)
    if WAITING not in outcome.details():
        problems.append("the window never showed that it waited for the launcher")
    if COMPLETE in outcome.titles():
        problems.append("the update completed")
    observed = describe(scene, outcome, problems)
    matrix.record("Launcher", "the running launcher (`--launcher-pid`) does not close within 15 s",
                  f"exit 1, “{LAUNCHER_STAYED}”, installation unchanged, no backup", observed, problems)
    scene.tidy()
    assert not problems, observed
