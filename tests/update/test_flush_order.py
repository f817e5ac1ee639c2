"""Every new file of an install reaches the disk before the rename that makes
it visible, and the runner's stamp is written only once every other runner
file is there: seen in a system-call trace of the updater's own code
preparing the new components (PrepareNewComponents in update_tests). Under
Wine a flush is an fsync of the file, made by the program; renames are made
by the Wine server, traced beside it."""
import os
import re
import signal
import subprocess
from pathlib import Path

import pytest

TESTS = os.environ.get("VORN_UPDATE_TESTS")
# [pid] seconds name(first argument, with -y its path in <>, ...) = result
CALL = re.compile(r"^(?:\d+ +)?(?P<time>[\d.]+) (?P<name>\w+)\((?P<args>.*)\) += (?P<result>-?\d+)")
FD_PATH = re.compile(r"^\d+<(?P<path>[^>]*)>")
RENAMED = re.compile(r'"(?P<source>[^"]*)"')

if not TESTS or not os.environ.get("WINEPREFIX"):
    pytest.skip("needs the environment of scripts/test", allow_module_level=True)


def wineserver():
    """The process id of this test's own wineserver."""
    prefix = f"WINEPREFIX={os.environ['WINEPREFIX']}".encode()
    for proc in Path("/proc").iterdir():
        try:
            if (proc / "comm").read_text().startswith("wineserver") and \
                    prefix in (proc / "environ").read_bytes().split(b"\0"):
                return proc.name
        except OSError:
            continue
    raise AssertionError("no wineserver for this prefix")


def traced_calls(tmp_path):
    """(time, name, path) of each write, flush and rename, in time order."""
    server = subprocess.Popen(["strace", "-ttt", "-e", "trace=rename,renameat,renameat2", "-o",
                               tmp_path / "server", "-p", wineserver()], stderr=subprocess.PIPE, text=True)
    assert "attached" in server.stderr.readline()
    subprocess.run(["strace", "-f", "-ttt", "-y", "-e", "trace=write,pwrite64,fsync,fdatasync", "-o",
                    tmp_path / "program", "wine", TESTS, "--gtest_filter=PrepareNewComponents.*"],
                   check=True, timeout=120, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    server.send_signal(signal.SIGINT)
    server.wait(30)
    calls = []
    for line in (tmp_path / "server").read_text().splitlines() + (tmp_path / "program").read_text().splitlines():
        call = CALL.match(line)
        if call and call["result"] != "-1":
            path = FD_PATH.match(call["args"]) or RENAMED.search(call["args"])
            calls.append((float(call["time"]), call["name"], path and path[1]))
    return sorted(calls)


def test_each_file_is_on_the_disk_before_it_is_renamed(tmp_path):
    calls = traced_calls(tmp_path)
    new = [(name, path) for _, name, path in calls if path and "/incoming/" in path]
    written = {path for name, path in new if "write" in name}
    runner = {path for path in written if "/incoming/Runner/" in path}
    stamp = next(path for path in runner if path.endswith("/.vorn-runner.json"))
    assert len(runner) == 5 and any(path.endswith("/incoming/VORNLauncher.exe") for path in written), new

    def first(wanted):
        return next(i for i, call in enumerate(new) if wanted(call))

    for path in written:
        moved = first(lambda call: call[0].startswith("rename") and path.startswith(call[1] + "/")
                      or call == ("renameat2", path) or call == ("rename", path))
        last_write = max(i for i, call in enumerate(new[:moved]) if call == ("write", path))
        assert ("fsync", path) in new[last_write:moved], f"{path} was not flushed before its rename"
    stamp_written = first(lambda call: call == ("write", stamp))
    assert all(("fsync", path) in new[:stamp_written] for path in runner - {stamp}), \
        "the stamp was written before every runner file was on the disk"


def test_a_flush_that_fails_fails_the_install():
    """Wine's flush is an fsync, made to fail here: a file whose data never
    reached the disk must not count as installed."""
    result = subprocess.run(["strace", "-f", "-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:error=EIO",
                             "wine", TESTS, "--gtest_filter=PrepareNewComponents.*"],
                            timeout=120, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    assert result.returncode != 0 and '"Could not install a file."' in result.stdout, result.stdout
