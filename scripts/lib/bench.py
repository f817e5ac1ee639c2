#!/usr/bin/env python3
"""Runs the benchmarks inside the environment that scripts/bench prepared and
writes docs/PERFORMANCE.md: every figure of our code as a ratio to the
platform's own limit measured in the same run (median and spread over the
runs), then the details."""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MIB = 1 << 20
PIECE = 128 * 1024


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def wine(*args, env=None, timeout=1800):
    """Runs a Windows program; output to a file, never a pipe (Wine's helper
    processes would keep a pipe open long after the program ends)."""
    out = Path(os.environ["VORN_BENCH_WORK"]) / "wine.out"
    with open(out, "wb") as sink:
        code = subprocess.run(["wine", *map(str, args)], stdin=subprocess.DEVNULL, stdout=sink,
                              stderr=subprocess.DEVNULL, env=env, timeout=timeout).returncode
    return code, out.read_text(errors="replace")


def pieces(size):
    """Reads of 128 KiB, each with its progress report, that a file of `size` takes."""
    return -(-size // PIECE)


def results(text):
    """Rates by key; the benchmark programs run one round more than asked, and
    that first round, which warms caches and the server, is left out."""
    found = {}
    for key, size, seconds in re.findall(r"^RESULT (\S+) (\d+) (\S+)$", text, re.M):
        found.setdefault(key, []).append(int(size) / MIB / float(seconds))
    return {key: rates[1:] for key, rates in found.items()}


def timed(command, runs):
    rates = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        rates.append(time.perf_counter() - start)
    return rates


def write_tree(root, total, files=2000):
    """The same shape as io_bench's tree: run.exe at the top, nested folders."""
    block = os.urandom(MIB)
    left = total
    for i in range(files):
        share = left // (files - i)
        size = share // 2 if i % 2 == 0 else min(left, share * 3 // 2)
        path = root / "run.exe" if i == 0 else root / f"d{i % 20}" / f"s{i % 7}" / f"f{i}.bin"
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "wb") as f:
            for offset in range(0, size, MIB):
                f.write(block[: min(MIB, size - offset)])
        left -= size


def padded_launcher(path, standin, size):
    data = Path(standin).read_bytes()
    with open(path, "wb") as f:
        f.write(data)
        f.write(os.urandom(max(0, size - len(data))))


def find_updater_pid():
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if b"VORNUpdate.exe" in (entry / "cmdline").read_bytes():
                    return int(entry.name)
            except OSError:
                pass
    return None


def peak_private_mib(process):
    """Samples the private resident memory of the updater until it ends."""
    peak, pid = 0, None
    while process.poll() is None:
        pid = pid or find_updater_pid()
        if pid:
            try:
                status = Path(f"/proc/{pid}/status").read_text()
                peak = max(peak, int(re.search(r"RssAnon:\s+(\d+)", status).group(1)))
            except (OSError, AttributeError):
                pass
        time.sleep(0.02)
    return peak / 1024


class Run:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build)
        self.work = Path(os.environ["VORN_BENCH_WORK"])
        self.www = Path(os.environ["VORN_TEST_WWW"])
        self.https = os.environ["VORN_TEST_HTTPS"]
        self.rates = {}
        self.window = {}
        self.seconds = {}

    def io(self):
        _, text = wine(self.build / "bench/io_bench.exe", self.args.mib,
                       windows_path(self.work / "io"), self.args.runs + 1)
        self.rates.update(results(text))
        self.window["io"] = re.search(r"WINDOW (.*)", text).group(1)
        small, small_bytes, large, large_bytes = map(int, re.search(
            r"DURABLE small=(\d+)x(\d+) large=(\d+)x(\d+)", text).groups())
        self.durable = {"small": small, "small_bytes": small_bytes, "large": large,
                        "large_bytes": large_bytes}
        native = self.work / "native"
        native.mkdir(exist_ok=True)
        (native / "sample.bin").write_bytes(os.urandom(self.args.mib * MIB))
        write_tree(native / "tree", self.args.mib * MIB)
        self.rates["hash.native"] = [self.args.mib / s for s in
                                     timed(["sha256sum", native / "sample.bin"], self.args.runs)]
        rates = []
        for _ in range(self.args.runs):
            shutil.rmtree(native / "copy", ignore_errors=True)
            rates.append(self.args.mib / timed(["cp", "-r", native / "tree", native / "copy"], 1)[0])
        self.rates["tree.native"] = rates
        shutil.rmtree(native)

    def download(self):
        payload = self.www / "bench" / "payload.bin"
        payload.parent.mkdir(parents=True, exist_ok=True)
        payload.write_bytes(os.urandom(self.args.mib * MIB))
        url = f"{self.https}/bench/payload.bin"
        _, text = wine(self.build / "bench/download_bench.exe", url, payload.stat().st_size,
                       windows_path(self.work / "download"), self.args.runs + 1)
        self.rates.update(results(text))
        self.window["download"] = re.search(r"WINDOW (.*)", text).group(1)
        ca = Path(os.environ["VORN_BENCH_CA"])
        self.rates["download.native"] = [
            self.args.mib / s for s in timed(["curl", "-sS", "--cacert", ca, "-o", "/dev/null", url],
                                             self.args.runs)]
        payload.unlink()

    def release(self, name, launcher_bytes, runner_bytes):
        source = self.work / f"src-{name}"
        source.mkdir(parents=True)
        padded_launcher(source / "VORNLauncher.exe", self.build / "standins/VORNLauncher.exe",
                        launcher_bytes)
        runner = source / "runner"
        if runner_bytes:
            write_tree(runner, runner_bytes)
        else:
            runner.mkdir()
            (runner / "run.exe").write_bytes(b"runner")
        subprocess.run([sys.executable, ROOT / "tools/release_tool.py", "make", "--launcher",
                        source / "VORNLauncher.exe", "--runner", runner, "--launcher-version",
                        "2", "--runner-version", "2", "--out", self.www / name], check=True,
                       stdout=subprocess.DEVNULL)
        # Pieces the tree's copy reports: one per 128 KiB read of each file.
        self.tree_pieces = sum(pieces(f.stat().st_size) for f in runner.rglob("*") if f.is_file())
        shutil.rmtree(source)
        return json.loads((self.www / name / "manifest.json").read_text())

    def updater(self, name, components, probe=None):
        """One update run; with `probe`, window_bench watches the window and
        writes its timeline there. Returns the exit code, the seconds the run
        took, the seconds from the launcher's start (the handshake and the
        window's closing) and the peak private memory."""
        install = self.work / f"install-{name}"
        shutil.rmtree(install, ignore_errors=True)
        (install / "Runner").mkdir(parents=True)
        shutil.copy(self.build / "standins/VORNLauncher.exe", install / "VORNLauncher.exe")
        (install / "Runner/run.exe").write_bytes(b"old runner")
        launcher_log = self.work / f"launcher-{name}.log"
        launcher_log.unlink(missing_ok=True)
        command = ["wine", self.build / "src/VORNUpdate.exe", "--install-dir",
                   windows_path(install), "--manifest-url", f"{self.https}/{name}/manifest.json",
                   "--download-base", f"{self.https}/{name}", "--components", components]
        env = dict(os.environ, VORN_LAUNCHER_STANDIN=f"confirm:0 log={windows_path(launcher_log)}")
        probe_process = None
        if probe:
            probe_process = subprocess.Popen(
                ["wine", self.build / "bench/window_bench.exe", windows_path(probe)], stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        start = time.perf_counter()
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=env)
        peak = peak_private_mib(process)
        seconds = time.perf_counter() - start
        # The stand-in writes its log as it starts.
        handshake = time.time() - launcher_log.stat().st_mtime if launcher_log.exists() else 0.0
        if probe_process:
            probe_process.wait(timeout=60)
        shutil.rmtree(install, ignore_errors=True)
        return process.returncode, seconds, handshake, peak

    def whole_run(self):
        manifest = self.release("whole", 16 * MIB, self.args.mib * MIB)
        payload = manifest["launcherSize"] + manifest["runnerSize"]
        zip_path = self.www / "whole/VORNRunner.zip"
        extract_seconds = []
        for _ in range(self.args.runs + 1):
            target = self.work / "extract"
            shutil.rmtree(target, ignore_errors=True)
            target.mkdir()
            start = time.perf_counter()
            wine(self.build / "standins/tar.exe", "-xf", windows_path(zip_path), "-C",
                 windows_path(target))
            extract_seconds.append(time.perf_counter() - start)
        shutil.rmtree(self.work / "extract", ignore_errors=True)
        start_seconds = [timed(["wine", self.build / "tests/uiprobe/uiprobe.exe", "state",
                                windows_path(self.work / "start.json")], 1)[0]
                         for _ in range(self.args.runs + 1)]
        # The first GUI program in a fresh Wine prefix starts its desktop
        # first; an untimed run keeps that out of the figures.
        self.updater("whole", "launcher,runner")
        # Timed runs go unwatched: window_bench is a third program on the two
        # cores. Watched runs, alternated with them, give the phases and the
        # window's figures.
        runs, watched = [], []
        for i in range(self.args.runs):
            code, seconds, handshake, _ = self.updater("whole", "launcher,runner")
            runs.append({"code": code, "seconds": seconds, "handshake": handshake})
            probe = self.work / f"probe-{i}.json"
            code, seconds, handshake, _ = self.updater("whole", "launcher,runner", probe)
            timeline = json.loads(probe.read_text()) if probe.exists() else {}
            watched.append({"code": code, "seconds": seconds, "handshake": handshake,
                            "timeline": timeline})
        # As in the programs' own figures, the first of each is a warm-up.
        self.seconds.update(extract=extract_seconds[1:], start=start_seconds[1:])
        reports = (3 * pieces(manifest["launcherSize"]) + 2 * pieces(manifest["runnerSize"])
                   + self.tree_pieces)
        self.whole = {"payload": payload, "runs": runs, "watched": watched, "manifest": manifest,
                      "reports": reports}

    def memory(self):
        self.memory_mib = {}
        for mib in (16, 1024):
            name = f"memory-{mib}"
            self.release(name, mib * MIB, 0)
            code, _, _, peak = self.updater(name, "launcher")
            self.memory_mib[mib] = (code, peak)
            shutil.rmtree(self.www / name)


def median_spread(values):
    return statistics.median(values), min(values), max(values)


def ratio_rows(rates):
    """Like with like: hashing, whose own code costs nothing next to its one
    report per piece, against the loop posting one per piece; the copies, which
    flush every file they write, against limits that flush every file too.
    Each is followed by the plain limit, for reference only (no goal)."""
    return ratios_of(rates, [
        ("Download: `DownloadToFile` / minimal WinHTTP loop", "download.ours", "download.minimal", 0.9),
        ("Hashing: `FileSha256Hex` / minimal CNG loop posting per piece",
         "hash.ours", "hash.posting", 0.9),
        ("Hashing: `FileSha256Hex` / minimal CNG loop without reports (reference)",
         "hash.ours", "hash.minimal", None),
        ("Install copy: `InstallFile` / `CopyFileW` + `FlushFileBuffers`",
         "copy.ours", "copy.copyfile.flushed", 0.8),
        ("Install copy: `InstallFile` / `CopyFileW` without a flush (reference)",
         "copy.ours", "copy.copyfile", None),
        ("Install copy: `InstallFile` / minimal stream loop + `FlushFileBuffers`",
         "copy.ours", "copy.stream.flushed", 0.9),
        ("Install copy: `InstallFile` / minimal stream loop without a flush (reference)",
         "copy.ours", "copy.stream", None),
        ("Install copy: `InstallRunnerTree` / `CopyFileW` + `FlushFileBuffers` per file",
         "tree.ours", "tree.copyfile.flushed", 0.8),
        ("Install copy: `InstallRunnerTree` / `CopyFileW` per file without a flush (reference)",
         "tree.ours", "tree.copyfile", None),
        ("Install copy: `InstallRunnerTree` / minimal stream loop + `FlushFileBuffers` per file",
         "tree.ours", "tree.stream.flushed", 0.9),
        ("Install copy: `InstallRunnerTree` / minimal stream loop without a flush (reference)",
         "tree.ours", "tree.stream", None),
    ])


def posting_rows(rates):
    """Our code against the same minimal loops posting a bare message per
    piece: what is left is the efficiency of our own code between the calls."""
    return ratios_of(rates, [
        ("Download: `DownloadToFile` / minimal WinHTTP loop posting per piece",
         "download.ours", "download.posting", 0.9),
        ("Hashing: `FileSha256Hex` / minimal CNG loop posting per piece",
         "hash.ours", "hash.posting", 0.9),
        ("Install copy: `InstallFile` / minimal stream loop posting per piece + "
         "`FlushFileBuffers`", "copy.ours", "copy.posting.flushed", 0.9),
    ])


def ratios_of(rates, pairs):
    rows = []
    for label, ours, limit, goal in pairs:
        ratios = [a / b for a, b in zip(rates[ours], rates[limit])]
        rows.append((label, *median_spread(ratios), goal))
    return rows


def durable_copy(run):
    """The small-file runner's copy each way, per file and in all, and the cost
    of the flushes per file: run by run, the flushed ways against the same
    copy without any flush."""
    shape = run.durable
    files = shape["small"] + shape["large"]
    tree_mib = (shape["small"] * shape["small_bytes"] + shape["large"] * shape["large_bytes"]) / MIB
    seconds = {key: [tree_mib / r for r in run.rates[f"durable.{key}"]]
               for key in ("unflushed", "flushed", "ours")}

    def per_file_ms(values):
        return median_spread([1000 * v / files for v in values])

    ways = [("Minimal loop through handles, no flush (`durable.unflushed`)", "unflushed"),
            ("The same loop with `FlushFileBuffers` per file (`durable.flushed`)", "flushed"),
            ("`InstallRunnerTree`: `FlushToDevice` per file, `FlushToDisk` for the last "
             "(`durable.ours`)", "ours")]
    lines = ["", "## Durable install copy", "",
             f"The runner's copy flushes every file before the tree is renamed into place. A "
             f"runner of {files:,} files ({shape['small']:,} of {shape['small_bytes'] // 1024} "
             f"KiB, {shape['large']} of {shape['large_bytes'] // MIB} MiB; {tree_mib:.0f} MiB), "
             "copied three ways in each round, each way taking every place in turn:", "",
             "| Copy | Per file (ms) | Whole tree (s) |", "|---|---|---|"]
    for label, key in ways:
        m, lo, hi = per_file_ms(seconds[key])
        total, total_lo, total_hi = median_spread(seconds[key])
        lines.append(f"| {label} | {m:.2f} ({lo:.2f}-{hi:.2f}) | "
                     f"{total:.2f} ({total_lo:.2f}-{total_hi:.2f}) |")
    flushes = per_file_ms([w - wo for w, wo in zip(seconds["flushed"], seconds["unflushed"])])
    ours = per_file_ms([w - wo for w, wo in zip(seconds["ours"], seconds["unflushed"])])
    # A difference of two noisy times can come out below zero: "to", not a dash.
    lines += ["", f"The flushes cost {flushes[0]:.2f} ms per file ({flushes[1]:.2f} to "
              f"{flushes[2]:.2f}): the flushed loop less the unflushed one, round by round, over "
              f"all files. `InstallRunnerTree` takes {ours[0]:.2f} ms per file ({ours[1]:.2f} to "
              f"{ours[2]:.2f}) more than the unflushed loop, its progress reports included. "
              "Under Wine every flush is a full fsync: Wine 8's ntdll does not export "
              "`NtFlushBuffersFileEx`, so `FlushToDevice` falls back to `FlushFileBuffers`, "
              "which Wine makes an fsync. On Windows 8 and later the flush of each file but the "
              "last does not wait for the disk to empty its cache, so these figures are an upper "
              "bound of the Windows cost.",
              "", "`InstallFile` and `InstallRunnerTree` flush every file they write, so the "
              "copies' limits above and the whole run's limits flush every file they write "
              "with `FlushFileBuffers` before it is closed: the stream loop through the handle "
              "that wrote it, `CopyFileW`'s copy opened again, as `CopyFileW` hands out no "
              "handle. Under Wine that is the very call `FlushToDevice` falls back to; on "
              "Windows the runner's files but the last are flushed more cheaply than the limit "
              "flushes them. The rows without a flush are for reference."]
    return lines


def report(run, out):
    rates = run.rates
    lines = ["# Performance", "",
             f"Generated by `scripts/bench {run.args.mib} {run.args.runs}` on "
             f"{datetime.date.today().isoformat()}: {platform.node() or 'this machine'}, "
             f"{os.cpu_count()} cores, {platform.platform()}, "
             f"{subprocess.run(['wine', '--version'], capture_output=True, text=True).stdout.strip()}. "
             f"{run.args.runs} runs of each figure, alternated, after one untimed warm-up "
             "round; median, with the spread "
             "(lowest to highest) in brackets. Payloads of "
             f"{run.args.mib} MiB unless stated.", "",
             "## Ratios to the platform's limits", "",
             "| Figure | Ratio | Goal | Met |", "|---|---|---|---|"]
    for label, median, low, high, goal in ratio_rows(rates):
        target, met = ("-", "-") if goal is None else (f">= {goal}", "yes" if median >= goal else "no")
        lines.append(f"| {label} | {median:.2f} ({low:.2f}-{high:.2f}) | {target} | {met} |")

    def rate(key):
        return statistics.median(rates[key])

    whole = run.whole
    extract = statistics.median(run.seconds["extract"])
    process_start = statistics.median(run.seconds["start"])
    payload_mib = whole["payload"] / MIB
    limit = (payload_mib / rate("download.minimal") + payload_mib / rate("hash.minimal") + extract
             + run.args.mib / rate("tree.copyfile.flushed") + 16 / rate("copy.copyfile.flushed")
             + process_start)
    without = [r["seconds"] - r["handshake"] for r in whole["runs"]]
    watched_without = [r["seconds"] - r["handshake"] for r in whole["watched"]]
    whole_ratio = [w / limit for w in without]
    m, lo, hi = median_spread(whole_ratio)
    lines.append(f"| Whole run (both components) / sum of stage limits + one process start | "
                 f"{m:.2f} ({lo:.2f}-{hi:.2f}) | <= 1.15 | {'yes' if m <= 1.15 else 'no'} |")
    (small_code, small), (big_code, big) = run.memory_mib[16], run.memory_mib[1024]
    lines.append(f"| Peak private memory, 1 GiB payload minus 16 MiB payload | "
                 f"{big - small:+.1f} MiB | <= 4 MiB | {'yes' if big - small <= 4 else 'no'} |")
    longest = max(r["timeline"].get("longestReplyMs", 0) for r in whole["watched"])
    shown = (all(r["code"] == 0 for r in whole["runs"] + whole["watched"]) and small_code == 0
             and big_code == 0)
    lines.append(f"| Window: longest time without handling messages (whole runs) | "
                 f"{longest:.0f} ms | <= 100 ms | {'yes' if longest <= 100 else 'no'} |")
    lines.append(f"| Window: every outcome arrived (exit code 0 in every run) | "
                 f"{'yes' if shown else 'no'} | yes | {'yes' if shown else 'no'} |")

    def micros_per_message(key):
        return median_spread([1e6 / (r * MIB) for r in rates[key]])

    m, lo, hi = micros_per_message("progress.messages")
    bare, bare_lo, bare_hi = micros_per_message("progress.bare")
    reports_per_mib = MIB // PIECE
    lines += ["", "## Where the time goes", "",
              f"One progress report (the heap record, two string copies, `PostMessageW`, and "
              f"the window thread taking it back) costs {m:.1f} µs ({lo:.1f}-{hi:.1f}) here. A "
              f"bare `PostMessageW` without payload, taken by the same thread, costs {bare:.1f} "
              f"µs ({bare_lo:.1f}-{bare_hi:.1f}): under Wine every post and every receive is a "
              f"round trip to the wineserver, and the record with its copies adds "
              f"{m - bare:+.1f} µs. One report per 128 KiB piece is the design, so at the "
              "limits' rates the reports alone cap each figure at:", "", "| Figure | Cap from the reports alone |",
              "|---|---|"]
    for label, key in (("Download", "download.minimal"), ("Hashing", "hash.minimal"),
                       ("Install copy (`InstallFile`)", "copy.copyfile.flushed")):
        seconds_per_mib = 1 / statistics.median(rates[key])
        cap = seconds_per_mib / (seconds_per_mib + reports_per_mib * m / 1e6)
        lines.append(f"| {label} | {cap:.2f} |")
    lines += ["", "The same minimal loops posting one bare message per piece are the platform's "
              "limit for that design; against them, what is left is our own code between the "
              "calls (the record, its copies, the download's detail text):", "",
              "| Figure | Ratio |", "|---|---|"]
    for label, median, low, high, _ in posting_rows(rates):
        lines.append(f"| {label} | {median:.2f} ({low:.2f}-{high:.2f}) |")
    def post_in_loop(posting, plain):
        return 1e6 / reports_per_mib * (1 / rate(posting) - 1 / rate(plain))

    unreported = median_spread([a / b for a, b in zip(rates["hash.unreported"],
                                                      rates["hash.minimal"])])
    lines += ["", "Inside the loops one bare post per piece costs "
              f"{post_in_loop('hash.posting', 'hash.minimal'):.0f} µs in the hash loop and "
              f"{post_in_loop('copy.posting.flushed', 'copy.stream.flushed'):.0f} µs in the stream "
              f"copy (each posting loop against the plain one), against {bare:.1f} µs in the loop "
              "of posts alone: at a loop's speed the worker, the window thread and the wineserver "
              "share the two cores. Hashing is the fastest per piece "
              f"({1e6 / reports_per_mib / rate('hash.minimal'):.0f} µs to read and hash one), so "
              "a bare post per piece leaves the minimal loop "
              f"{rate('hash.posting') / rate('hash.minimal'):.2f} of its rate, whatever the code "
              "around it. `FileSha256Hex` with a sink that drops its reports (`hash.unreported`) "
              f"is at {unreported[0]:.2f} ({unreported[1]:.2f}-{unreported[2]:.2f}) of the minimal "
              "loop: that is hashing's own code between the calls; the rest of its gap to that "
              "loop is the design's one report per piece, so its goal is held against the loop "
              "posting per piece."]
    reports = run.whole["reports"]
    report_seconds = reports * m / 1e6
    with_reports = [w / (limit + report_seconds) for w in without]
    wm, wlo, whi = median_spread(with_reports)
    lines += ["", f"The whole run posts about {reports:,} reports (one per piece of each download, "
              f"verification and copy), {report_seconds:.2f} s at the cost above, which the sum "
              f"of stage limits does not hold; against the limits plus those reports the whole "
              f"run is at {wm:.2f} ({wlo:.2f}-{whi:.2f})."]
    lines += durable_copy(run)
    lines += ["", "## Rates (MiB/s)", "", "| Measurement | Median | Spread |", "|---|---|---|"]
    for key in sorted(k for k in rates if not k.startswith("progress.")):
        m, lo, hi = median_spread(rates[key])
        lines.append(f"| `{key}` | {m:.1f} | {lo:.1f}-{hi:.1f} |")
    lines += ["", "`*.minimal`, `*.posting*`, `*.copyfile*`, `*.stream*`, `durable.unflushed` "
              "and `durable.flushed` are the limits measured with the same platform calls in "
              "the same process, those ending in `.flushed` with `FlushFileBuffers` on every "
              "file written; `hash.unreported` is ours with its reports dropped; `*.native` are "
              "Linux tools "
              "(`sha256sum`, `cp -r`, `curl`) for reference only. The download service is "
              "not the limit: `curl` fetches the same URL from it several times faster than "
              "the minimal WinHTTP loop.", "",
              "## Whole run", "",
              f"`VORNUpdate.exe` updating both components over HTTPS: a {payload_mib:.0f} MiB "
              f"download (16 MiB launcher, runner tree of 2,000 files zipped), the launcher "
              "stand-in confirming at once.", "",
              f"- Sum of stage limits: {limit:.2f} s (download and hashing of both payloads at "
              f"the minimal loops' rates, extraction by the tar stand-in alone "
              f"{extract:.2f} s, tree and launcher copy at the rate of `CopyFileW` with "
              f"`FlushFileBuffers` per file, one process start {process_start:.2f} s).",
              f"- Runs: " + ", ".join(f"{r['seconds']:.2f} s" for r in whole["runs"]) +
              "; without the time from the launcher's start (the handshake's one-second "
              "polling and the window's closing): " +
              ", ".join(f"{w:.2f} s" for w in without) + ".",
              "- Runs watched by window_bench, alternated with those (a third program on the "
              "two cores, asking the window every few milliseconds): " +
              ", ".join(f"{w:.2f} s" for w in watched_without) +
              f" without the same; {statistics.median(watched_without) / limit:.2f} of the "
              "limits. The phases below and the window's figures come from these.", "",
              "Phase timeline of the first watched run, from the titles the window showed "
              "(ms after the window appeared):", "", "| Phase | Start (ms) |", "|---|---|"]
    for phase in whole["watched"][0]["timeline"].get("phases", []):
        if phase["title"]:  # the window's last reading, as it went away, has none
            lines.append(f"| {phase['title']} | {phase['atMs']:.0f} |")
    lines += ["", "Each phase against its own limit (median over the runs). A title shows with the "
              "phase's first report, so each phase here also holds the start of the next one: "
              "a new HTTPS connection before a download's first piece, the runner tree's sizing "
              "walk before its first copy report:", "", "| Phase | Took (s) | Limit (s) | Ratio |", "|---|---|---|---|"]
    manifest = whole["manifest"]
    launcher_mib, runner_mib = manifest["launcherSize"] / MIB, manifest["runnerSize"] / MIB
    phase_limits = {
        "Downloading launcher update": launcher_mib / rate("download.minimal"),
        "Verifying launcher update": launcher_mib / rate("hash.minimal"),
        "Downloading runner update": runner_mib / rate("download.minimal"),
        "Verifying runner update": runner_mib / rate("hash.minimal"),
        "Extracting runner files": extract,
        "Installing launcher": launcher_mib / rate("copy.copyfile.flushed"),
        "Installing runner": run.args.mib / rate("tree.copyfile.flushed"),
    }
    for title, phase_limit in phase_limits.items():
        took = []
        for r in whole["watched"]:
            phases = [p for p in r["timeline"].get("phases", []) if p["title"]]
            for here, after in zip(phases, phases[1:]):
                if here["title"] == title:
                    took.append((after["atMs"] - here["atMs"]) / 1000)
        if took:
            median = statistics.median(took)
            lines.append(f"| {title} | {median:.2f} | {phase_limit:.2f} | {median / phase_limit:.2f} |")
    lines += ["", "## Memory", "",
              f"Peak private (anonymous resident) memory of `VORNUpdate.exe`, launcher-only "
              f"updates: 16 MiB payload {small:.1f} MiB, 1 GiB payload {big:.1f} MiB.", "",
              "## Window", "",
              f"- In-process message handling (a window thread taking every payload back): "
              f"hashing and copying: {run.window['io']}; download: {run.window['download']} "
              "(messages handled, longest time one waited in the queue).",
              f"- Whole runs: the window answered a message sent every few milliseconds within "
              f"{longest:.0f} ms at most; " +
              ", ".join(str(r["timeline"].get("samples", 0)) for r in whole["watched"]) +
              " samples.", ""]
    Path(out).write_text("\n".join(lines))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--out", required=True)
    parser.add_argument("--only", help="run one step and print what it measured (no report)")
    args = parser.parse_args()
    run = Run(args)
    if args.only:
        getattr(run, args.only)()
        print(json.dumps({k: v for k, v in vars(run).items() if k != "args"}, default=str, indent=1))
        return
    for step in (run.io, run.download, run.whole_run, run.memory):
        print(f"bench: {step.__name__}", flush=True)
        step()
    report(run, args.out)
    print(Path(args.out).read_text())


if __name__ == "__main__":
    main()
