"""Fixtures of the fault-injection suite; the machinery is in fault_support.py."""
import shutil
from pathlib import Path

import pytest

from fault_support import MISSING_HERE, ROOT, Matrix, registry_values, wine_version
from updater_harness import Harness, Probe

MATRIX_FILE = ROOT / "docs" / "FAULTS.md"
# The virtual display has no window manager; without these Wine waits for one
# on every window it hides. Set for this suite, put back afterwards.
APP_DEFAULTS = r"HKCU\Software\Wine\AppDefaults\VORNUpdate.exe\X11 Driver"

_partial = []
_modules = set()


def pytest_deselected(items):
    if items:
        _partial.append("deselected")


def pytest_collection_modifyitems(items):
    _modules.update(Path(str(item.fspath)).name for item in items)


def _complete_run(session):
    # A run of chosen tests only would write a matrix with rows missing.
    every_module = {path.name for path in Path(__file__).parent.glob("test_*.py")}
    return not _partial and _modules == every_module and not session.shouldstop


@pytest.fixture(scope="session")
def harness(tmp_path_factory):
    if MISSING_HERE:
        pytest.skip(f"needs {', '.join(MISSING_HERE)} (run through scripts/test)")
    with registry_values(APP_DEFAULTS, {"Managed": "N", "Decorated": "N"}):
        workdir = tmp_path_factory.mktemp("faults")
        h = Harness(workdir=workdir, probe=Probe(workdir / "probe"))
        yield h
        for directory in h.releases:
            shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture(scope="session")
def matrix(request, harness, tmp_path_factory):
    collected = Matrix()
    yield collected
    text = collected.render(wine_version())
    # Failed rows stay in: the file tells what the program did, good or bad.
    if _complete_run(request.session):
        target = MATRIX_FILE
    else:
        target = tmp_path_factory.getbasetemp() / "FAULTS.partial.md"
    target.write_text(text + "\n", encoding="utf-8")
    print(f"\nfault matrix written to {target}")
