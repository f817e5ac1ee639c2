"""What earlier failed runs leave (a staging directory, a backup directory, a
confirmation file for another token) must neither disturb a new run nor be
touched by it, whether the new run succeeds or rolls back."""
import shutil
import uuid

import pytest

from fault_support import (DURING_INSTALL, MISSING_HERE, NEW_RUNNER, NOT_CONFIRMED, OLD_RUNNER, Scene, describe,
                           drive, fingerprint, judge_failure, judge_success, make_installation, update_args)
from updater_harness import (BACKUP_PREFIX, CONFIRMATION_PREFIX, LAUNCHER, RUNNER_ZIP, STAGING_PREFIX,
                             launcher_bytes, prefix_temp_dir, write_tree)

if MISSING_HERE:
    pytest.skip(f"needs {', '.join(MISSING_HERE)} (run through scripts/test)", allow_module_level=True)


def token():
    return uuid.uuid4().hex.upper()


def leave_earlier_run(install):
    """A backup and a confirmation in the installation, a staging directory
    in the temporary directory, as an earlier run that failed leaves them."""
    backup = install.root / f"{BACKUP_PREFIX}{token()}"
    write_tree(backup, {LAUNCHER: launcher_bytes(0), **{f"Runner/{k}": v for k, v in OLD_RUNNER.items()}})
    (install.root / f"{CONFIRMATION_PREFIX}{token()}").write_bytes(b"")
    staging = prefix_temp_dir() / f"{STAGING_PREFIX}{token()}"
    write_tree(staging, {LAUNCHER: launcher_bytes(3), RUNNER_ZIP: b"PK\x05\x06" + bytes(18),
                         "Runner/run.exe": b"half-extracted\n"})
    return staging


# id, scenario, launcher behaviour, whether the update is to be confirmed.
CASES = [
    ("success", "an earlier run's staging, backup and confirmation (other token) are present; update "
     "confirmed", "confirm:0", True),
    ("rollback", "the same leftovers; the updated launcher exits at once, so the update rolls back",
     "exit:3", False),
]


@pytest.mark.parametrize("case", CASES, ids=[row[0] for row in CASES])
def test_leftovers_of_an_earlier_run_are_left_alone(harness, matrix, case):
    _, scenario, behaviour, confirmed = case
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    staging = leave_earlier_run(install)
    try:
        staging_before = fingerprint(staging)
        scene = Scene(install, release)
        outcome = drive(harness, update_args(release, install), launcher_behaviour=install.launcher_env(behaviour))
        if confirmed:
            problems = judge_success(scene, outcome)
        else:
            problems = judge_failure(scene, outcome, NOT_CONFIRMED, DURING_INSTALL)
        if fingerprint(staging) != staging_before:
            problems.append("the earlier staging directory was changed")
    finally:
        # Not the product's to remove; the test's own to tidy.
        shutil.rmtree(staging, ignore_errors=True)
    observed = describe(scene, outcome, problems)
    if not problems:
        observed += "; the earlier run's leftovers are byte-identical"
    expected = ("exit 0, release installed and confirmed" if confirmed else
                f"exit 1, “{NOT_CONFIRMED}”, previous installation restored") + ", leftovers untouched"
    matrix.record("Leftovers", scenario, expected, observed, problems)
    scene.tidy()
    assert not problems, observed
