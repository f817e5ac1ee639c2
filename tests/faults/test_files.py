"""Faults of the file system under the update: files held open, read-only
files, a runner that cannot be moved aside, and disks that fill up under the
installation or under the temporary directory (real small tmpfs mounts in the
test's private mount namespace)."""
import json
import stat

import pytest

from fault_support import (BEFORE_INSTALL, DOWNLOAD_WRITE_FAILED, DURING_INSTALL, INSTALL_FAILED, MISSING_HERE,
                           NEW_RUNNER, NOT_CONFIRMED, NOT_ON_WINE, Scene, clear_read_only, describe,
                           drive, fill_to, helper, judge_failure, judge_success, make_installation, page_size,
                           prefix_temp, private_mounts_allowed, run_quietly, small_filesystem, update_args)
from updater_harness import STAMP, launcher_bytes, win

if MISSING_HERE:
    pytest.skip(f"needs {', '.join(MISSING_HERE)} (run through scripts/test)", allow_module_level=True)

needs_mounts = pytest.mark.skipif(not private_mounts_allowed(),
                                  reason="needs root in a private mount namespace (run through scripts/test)")

MiB = 1 << 20
# The product copies in pieces of this size (src/fs/install.h).
INSTALL_PIECE = 131072
FILE_ATTRIBUTE_READONLY = 0x1
PRODUCT_FAULT = "DIFFERS: product fault"


def pages(size, block):
    return -(-size // block) * block


def wine_read_only(harness, path):
    """Whether Windows programs under Wine see `path` as read-only."""
    out = harness.directory("attributes") / "attributes.txt"
    return bool(int(helper("attributes", win(path), win(out), out=out)) & FILE_ATTRIBUTE_READONLY)


def test_open_file_in_the_runner_does_not_block_moving_it_under_wine(harness, matrix):
    """On Windows a file open without delete sharing inside Runner makes
    moving Runner aside fail, so the update must fail and restore. Wine lets
    the directory move; the probe shows it, and the row says so."""
    install = make_installation(harness.directory("install"), harness.directory("log"))
    out = harness.directory("probe-move") / "move.json"
    result = json.loads(helper("move-dir", win(install.runner), win(install.runner / "lib" / "shared.txt"),
                               win(out), out=out))
    sharing_enforced = not result["deleteFile"]["ok"] and not result["moveFile"]["ok"]
    observed = (f"probe under Wine: with Runner\\lib\\shared.txt open without delete sharing, deleting it "
                f"fails (error {result['deleteFile']['error']}) and so does moving it "
                f"(error {result['moveFile']['error']}), but moving Runner aside "
                + ("succeeds" if result["moveDir"]["ok"] else f"fails (error {result['moveDir']['error']})")
                + "; Windows refuses that move, so the updater's failure path cannot be reached this way here")
    matrix.record("Files", "a file inside the installed Runner held open without delete sharing",
                  "moving Runner aside fails: exit 1, one message, installation unchanged", observed,
                  verdict=NOT_ON_WINE if result["moveDir"]["ok"] else "probe: Wine now refuses the move")
    assert sharing_enforced, result
    # Should Wine start refusing the move, this becomes a real scenario.
    assert result["moveDir"]["ok"], "Wine refuses the move now: drive the updater through this case"


@needs_mounts
def test_runner_that_cannot_be_moved_aside_puts_the_launcher_back(harness, matrix):
    """Runner as a mount point cannot be renamed (EBUSY): the failure path
    the held-open file takes on Windows, reached after the launcher was moved."""
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    scene = Scene(install, release)
    assert run_quietly(["mount", "--bind", str(install.runner), str(install.runner)], timeout=60) == 0
    try:
        outcome = drive(harness, update_args(release, install), launcher_behaviour=install.launcher_env())
    finally:
        assert run_quietly(["umount", str(install.runner)], timeout=60) == 0
    message = outcome.message or ""
    # Nothing was rolled back here, so the design asks for no restart.
    problems = judge_failure(scene, outcome, message, DURING_INSTALL, restart=False)
    if not message:
        problems.append("no message shown")
    restarted = [s for s in install.launcher_starts() if not s["token"]]
    observed = describe(scene, outcome, problems) + (
        "; previous launcher restarted" if restarted else
        "; the previous launcher is not restarted (after a rollback it is); the message is the library's text")
    matrix.record("Files", "the installed Runner cannot be moved aside (it is a mount point, which cannot be "
                  "renamed) after the launcher was moved", "exit 1, one message, launcher moved back, installation "
                  "unchanged", observed, problems)
    scene.tidy()
    assert not problems, observed


def test_read_only_file_in_the_new_runner_is_removed_by_the_rollback(harness, matrix):
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    scene = Scene(install, release)
    made = {}
    targets = [install.runner / "lib" / "deeper" / "new.txt", install.runner / "data" / "blob.bin"]

    def make_read_only_once_installed(_updater):
        # The updated launcher has started: the new runner tree is in place.
        if not any(s["token"] for s in install.launcher_starts()):
            return False
        for path in targets:
            path.chmod(stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        made["seen_by_windows"] = all(wine_read_only(harness, path) for path in targets)
        return True

    try:
        # The launcher runs 6 s without confirming, time enough to act.
        outcome = drive(harness, update_args(release, install), launcher_behaviour=install.launcher_env("hang:6000"),
                        during=make_read_only_once_installed)
    finally:
        clear_read_only(install.root)
    problems = judge_failure(scene, outcome, NOT_CONFIRMED, DURING_INSTALL)
    if not made.get("seen_by_windows"):
        problems.append("the new runner's files were not read-only while the handshake ran")
    observed = describe(scene, outcome, problems)
    matrix.record("Files", "two files of the newly installed runner made read-only, then the handshake fails",
                  f"exit 1, “{NOT_CONFIRMED}”, previous runner restored", observed, problems)
    scene.tidy()
    assert not problems, observed


def test_read_only_files_in_the_backup_do_not_stay_after_a_confirmed_update(harness, matrix):
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    targets = [install.launcher, install.runner / "lib" / "shared.txt", install.runner / "only-in-1.txt"]
    for path in targets:
        path.chmod(stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
    try:
        seen_by_windows = all(wine_read_only(harness, path) for path in targets)
        scene = Scene(install, release)
        outcome = drive(harness, update_args(release, install), launcher_behaviour=install.launcher_env())
    finally:
        clear_read_only(install.root)
    problems = judge_success(scene, outcome)
    if not seen_by_windows:
        problems.append("the previous files were not read-only for Windows programs")
    observed = describe(scene, outcome, problems)
    if not problems:
        observed += "; no backup directory left"
    matrix.record("Files", "read-only launcher and runner files in the previous installation (they go to the "
                  "backup), update confirmed", "exit 0, release installed, backup removed", observed, problems)
    scene.tidy()
    assert not problems, observed


@needs_mounts
def test_installation_disk_filling_up_during_the_copy_rolls_back(harness, matrix):
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    mount = harness.directory("small-disk")
    with small_filesystem(mount, 64 * MiB):
        install = make_installation(mount / "VORN Macros", harness.directory("log"))
        block = page_size(mount)
        # Room for the new launcher and 1 MiB of the new runner's 2 MiB file.
        fill_to(mount, pages(len(release.launcher), block) + MiB)
        scene = Scene(install, release)
        outcome = drive(harness, update_args(release, install), launcher_behaviour=install.launcher_env())
        problems = judge_failure(scene, outcome, INSTALL_FAILED, DURING_INSTALL)
        observed = describe(scene, outcome, problems)
        scene.tidy()
    matrix.record("Files", "installation directory on a nearly full file system: the runner copy fails mid-way",
                  f"exit 1, “{INSTALL_FAILED}”, previous installation restored", observed, problems)
    assert not problems, observed


def launcher_of_size(remainder):
    """The version-2 launcher padded so that its last copy piece is
    `remainder` bytes: every piece before it fills whole pages."""
    base = launcher_bytes(2)
    return base + b"\0" * ((remainder - len(base)) % INSTALL_PIECE)


@needs_mounts
def test_disk_full_at_the_launchers_last_bytes_fails_the_install(harness, matrix):
    remainder = 100
    release = harness.publish(launcher_of_size(remainder), NEW_RUNNER)
    mount = harness.directory("small-disk")
    with small_filesystem(mount, 64 * MiB):
        install = make_installation(mount / "VORN Macros", harness.directory("log"))
        # Exactly the whole pieces of the new launcher fit; its last 100 bytes do not.
        fill_to(mount, len(release.launcher) - remainder)
        scene = Scene(install, release, "launcher")
        outcome = drive(harness, update_args(release, install, "launcher"), launcher_behaviour=install.launcher_env())
        problems = judge_failure(scene, outcome, INSTALL_FAILED, DURING_INSTALL)
        if outcome.exit == 0:
            problems = judge_success(scene, outcome) or ["installed although the disk was full"]
        observed = describe(scene, outcome, problems)
        scene.tidy()
    matrix.record("Files", "installation disk full exactly at the new launcher's last 100 bytes (launcher only)",
                  f"exit 1, “{INSTALL_FAILED}”, previous installation restored", observed, problems,
                  verdict=PRODUCT_FAULT if problems else None)
    assert not problems, observed


@needs_mounts
def test_disk_full_at_the_runner_stamp_keeps_the_update(harness, matrix):
    """The stamp only spares a later repair run a download: one that cannot be
    written does not fail an update whose files are all in place."""
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    mount = harness.directory("small-disk")
    with small_filesystem(mount, 64 * MiB):
        install = make_installation(mount / "VORN Macros", harness.directory("log"))
        block = page_size(mount)
        # Exactly the new runner's files fit, the stamp written after them does not.
        fill_to(mount, sum(pages(len(data), block) for data in NEW_RUNNER.values()))
        scene = Scene(install, release, "runner")
        outcome = drive(harness, update_args(release, install, "runner"), launcher_behaviour=install.launcher_env())
        problems = [p for p in judge_success(scene, outcome) if not p.startswith("runner stamp is")]
        stamp = install.runner / STAMP
        if stamp.is_file() and stamp.stat().st_size > 0:
            problems.append(f"stamp of {stamp.stat().st_size} bytes written on a full disk")
        observed = describe(scene, outcome, problems)
        scene.tidy()
    matrix.record("Files", "installation disk full exactly when the runner stamp is written (runner only)",
                  "exit 0, installed and confirmed; the stamp stays empty, so a later repair run "
                  "reinstalls the runner", observed, problems)
    assert not problems, observed


@needs_mounts
def test_full_temporary_directory_fails_the_download(harness, matrix):
    install = make_installation(harness.directory("install"), harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    mount = harness.directory("small-temp")
    with small_filesystem(mount, MiB):
        with prefix_temp(mount):
            scene = Scene(install, release, temp_dir=mount)
            outcome = drive(harness, update_args(release, install), launcher_behaviour=install.launcher_env())
        problems = judge_failure(scene, outcome, DOWNLOAD_WRITE_FAILED, BEFORE_INSTALL)
        staged = [p for name in scene.new_staging() for p in (mount / name).rglob("*")]
        if staged:
            problems.append(f"partial download left in the staging directory: {[p.name for p in staged]}")
        observed = describe(scene, outcome, problems)
        scene.tidy()
    matrix.record("Files", "temporary directory (TEMP/TMP) on a 1 MiB file system: the launcher download "
                  "does not fit", f"exit 1, “{DOWNLOAD_WRITE_FAILED}”, installation unchanged", observed, problems)
    assert not problems, observed
