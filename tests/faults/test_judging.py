"""The suite's own judge, without Wine: it must notice each way a run can
leave the installation or the window wrong, or the scenarios prove nothing."""
import os
import stat

import pytest

from fault_support import DURING_INSTALL, Outcome, Scene, judge_failure, make_installation
from updater_harness import FAILED

MESSAGE = "Could not install a file."


def state(box=None, count=None, detail=MESSAGE):
    return {"found": True, "title": FAILED, "detail": detail,
            "errorBoxCount": count if count is not None else int(bool(box)),
            "errorBox": {"present": bool(box), "text": box or ""}}


def clean_failure():
    states = [state(), state(MESSAGE), state(), {"found": False}]
    return Outcome(exit=1, states=states, seen={"box": states[1], "later": states[2]})


def restart_logged(install):
    install.launcher_log.write_text(f"cwd={install.root}\tcmdline=VORNLauncher.exe\ttoken=\n", encoding="utf-8")


def add_backup(install, content=False):
    backup = install.root / ".update-backup-0123456789ABCDEF0123456789ABCDEF"
    backup.mkdir()
    if content:
        (backup / "left.txt").write_bytes(b"x")


def add_staging(scene):
    (scene.temp_dir / "VORNUpdate-0123456789ABCDEF0123456789ABCDEF").mkdir()


def change_content(install, outcome):
    (install.runner / "run.exe").write_bytes(b"runner 1 \n")


def make_read_only(install, outcome):
    path = install.runner / "run.exe"
    path.chmod(stat.S_IRUSR)


def leave_files_in_backup(install, outcome):
    os.rmdir(next(install.root.glob(".update-backup-*")))
    add_backup(install, content=True)


def second_box(install, outcome):
    outcome.states[3:3] = [state(MESSAGE)]


def other_text(install, outcome):
    outcome.states[1] = state("Something else.")
    outcome.seen["box"] = outcome.states[1]


def exit_zero(install, outcome):
    outcome.exit = 0


def detail_differs(install, outcome):
    outcome.seen["later"] = state(detail="Something else.")


def no_restart(install, outcome):
    install.launcher_log.unlink()


def leave_file_beside(install, outcome):
    (install.root / ".update-ok-0123456789ABCDEF0123456789ABCDEF").write_bytes(b"")


# What goes wrong, and the words the judge must use for it.
FAULTS = [
    (change_content, "installation changed"),
    (make_read_only, "installation changed"),
    (leave_files_in_backup, "is not empty"),
    (leave_file_beside, "installation changed"),
    (second_box, "2 error boxes"),
    (other_text, "message"),
    (exit_zero, "exit code 0"),
    (detail_differs, "window after the box"),
    (no_restart, "not restarted"),
]


@pytest.fixture
def rolled_back(tmp_path):
    install = make_installation(tmp_path / "install", tmp_path / "log", launcher=b"launcher 1")
    (tmp_path / "temp").mkdir()
    scene = Scene(install, release=None, temp_dir=tmp_path / "temp")
    add_backup(install)
    add_staging(scene)
    restart_logged(install)
    yield scene
    for path in tmp_path.rglob("*"):
        path.chmod(path.stat().st_mode | stat.S_IWUSR)


def test_a_clean_rollback_passes(rolled_back):
    assert judge_failure(rolled_back, clean_failure(), MESSAGE, DURING_INSTALL) == []


@pytest.mark.parametrize("fault, words", FAULTS, ids=[f.__name__ for f, _ in FAULTS])
def test_each_fault_is_noticed(rolled_back, fault, words):
    outcome = clean_failure()
    fault(rolled_back.install, outcome)
    problems = judge_failure(rolled_back, outcome, MESSAGE, DURING_INSTALL)
    assert any(words in problem for problem in problems), problems
