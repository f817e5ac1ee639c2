"""Awkward paths end to end: installation and temporary directories whose
names hold spaces, apostrophes (plain and typographic) and non-ASCII letters,
through both ways of extracting the runner."""
import pytest

from fault_support import (MISSING_HERE, NEW_RUNNER, Scene, describe, drive, judge_success, make_installation,
                           prefix_temp, update_args)
from updater_harness import launcher_bytes, win

if MISSING_HERE:
    pytest.skip(f"needs {', '.join(MISSING_HERE)} (run through scripts/test)", allow_module_level=True)

INSTALL_NAME = "Program Files/VORN Macros l'été Ærø 中文版"
TEMP_NAME = "Temp d'Ärger Łódź 临时 文件"
# PowerShell ends a single-quoted string at any of these quotes unless doubled.
TYPOGRAPHIC_TEMP_NAME = "Temp l’œuvre ‘quoted’ ‚low‛ 临时"

# id, scenario, installation directory name (None: plain), temporary
# directory name (None: the prefix's own), whether tar.exe fails so that
# the runner is extracted by PowerShell.
CASES = [
    ("install-dir", f"installation directory `…/{INSTALL_NAME}`", INSTALL_NAME, None, False),
    ("temp-dir", f"temporary directory (TEMP/TMP) `…/{TEMP_NAME}`", None, TEMP_NAME, False),
    ("both-powershell", f"both: installation `…/{INSTALL_NAME}`, temporary `…/{TYPOGRAPHIC_TEMP_NAME}`, runner "
     "extracted by PowerShell (tar.exe fails)", INSTALL_NAME, TYPOGRAPHIC_TEMP_NAME, True),
]


@pytest.mark.parametrize("case", CASES, ids=[row[0] for row in CASES])
def test_awkward_paths_update_end_to_end(harness, matrix, case):
    _, scenario, install_name, temp_name, powershell = case
    root = harness.directory("paths") / install_name if install_name else harness.directory("install")
    install = make_installation(root, harness.directory("log"))
    release = harness.publish(launcher_bytes(2), NEW_RUNNER)
    temp = harness.directory("temp") / temp_name if temp_name else None
    env = {}
    if powershell:
        powershell_log = harness.directory("powershell") / "commands.log"
        env = {"VORN_STANDIN_TAR_FAIL": "1", "VORN_STANDIN_POWERSHELL_LOG": win(powershell_log)}
    if temp:
        temp.mkdir(parents=True)
        with prefix_temp(temp):
            scene = Scene(install, release, temp_dir=temp)
            outcome = drive(harness, update_args(release, install), env, install.launcher_env())
    else:
        scene = Scene(install, release)
        outcome = drive(harness, update_args(release, install), env, install.launcher_env())
    problems = judge_success(scene, outcome)
    if powershell:
        commands = powershell_log.read_text(encoding="utf-8").splitlines() if powershell_log.exists() else []
        if len(commands) != 1 or "Expand-Archive" not in commands[0]:
            problems.append(f"PowerShell was not the one to extract the runner: {commands}")
    observed = describe(scene, outcome, problems)
    matrix.record("Paths", scenario, "exit 0, release installed and confirmed", observed, problems)
    scene.tidy()
    assert not problems, observed
