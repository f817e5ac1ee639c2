"""Fixtures of the program-level suite; the machinery is in updater_harness.py."""
import shutil

import pytest

from updater_harness import MISSING, Harness, Probe, run_quietly


@pytest.fixture(scope="session")
def harness(tmp_path_factory):
    if MISSING:
        pytest.skip(f"needs {', '.join(MISSING)} (run through scripts/test)")
    # The virtual display has no window manager. Wine then waits seconds for
    # one on every window it hides, and nothing draws the window frames for
    # the screenshots; so Wine manages and frames this program's windows.
    for value in ("Managed", "Decorated"):
        run_quietly(["wine", "reg", "add", r"HKCU\Software\Wine\AppDefaults\VORNUpdate.exe\X11 Driver",
                     "/v", value, "/d", "N", "/f"], timeout=120)
    workdir = tmp_path_factory.mktemp("e2e")
    h = Harness(workdir=workdir, probe=Probe(workdir / "probe"))
    yield h
    for directory in h.releases:
        shutil.rmtree(directory, ignore_errors=True)
