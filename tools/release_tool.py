#!/usr/bin/env python3
"""Makes and checks release directories for the updater.

A release directory holds VORNLauncher.exe, VORNRunner.zip (run.exe at its top)
and manifest.json describing both.
"""
import argparse
import contextlib
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

LAUNCHER = "VORNLauncher.exe"
RUNNER = "VORNRunner.zip"
MANIFEST = "manifest.json"
RUNNER_ENTRY = "run.exe"
PROTOCOL = 1
MANIFEST_LIMIT = 131072
KEYS = ("protocol", "launcherVersion", "runnerVersion",
        "launcherSha256", "runnerSha256", "launcherSize", "runnerSize")
ZIP_TIME = (1980, 1, 1, 0, 0, 0)
FILE_ATTR = 0o100644 << 16
DIR_ATTR = 0o040755 << 16 | 0x10  # 0x10: the MS-DOS directory flag
COPY_CHUNK = 1 << 20
SHA256_HEX = re.compile(r"[0-9a-f]{64}")

# Runner paths on Windows, the arithmetic of docs/INTEGRATION.md ("Path length").
# The updater has no long-path manifest: a file path has at most MAX_PATH - 1
# characters, CreateDirectoryW takes at most 247, and listing a folder opens
# "<folder>\*".
MAX_FILE_PATH = 259
MAX_CREATED_FOLDER = 247
LISTING_SUFFIX = len("\\*")
TOKEN = 32
RUNNER_DIR = len("\\Runner\\")
USER_HOME = "C:\\Users\\" + "u" * 20  # a 20-character user name
DEFAULT_INSTALL_DIR = USER_HOME + "\\AppData\\Local\\Programs\\VORN Macros"
TEMP_DIR = USER_HOME + "\\AppData\\Local\\Temp"
SEE_LIMITS = ' (see "Path length" in docs/INTEGRATION.md)'

UTF8_NAMES, ENCRYPTED, SYMLINK = 0x800, 0x1, 0o120000
DEVICE_NAMES = {"CON", "PRN", "AUX", "NUL"} | {port + digit for port in ("COM", "LPT") for digit in "123456789¹²³"}
FORBIDDEN_CHARS = set('<>:"|?*') | {chr(code) for code in range(0x20)}
DRIVE = re.compile(r"[A-Za-z]:")
# What `osslsigncode verify` prints about an Authenticode signature.
SIGNER = re.compile(r"Signer's certificate:\s*-+\s*Signer #0:\s*Subject: (.*)")


class Refused(Exception):
    """A one-line reason why the release cannot be made."""


def version_problem(text):
    # The updater's manifest reader decodes no escapes, so every character
    # that JSON would have to escape is refused.
    for char in text:
        if char in '"\\' or ord(char) < 0x20 or ord(char) == 0x7F:
            return f"contains the forbidden character {char!r}"
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return "is not valid UTF-8"
    return None


def digest(path):
    sha, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        while chunk := f.read(COPY_CHUNK):
            sha.update(chunk)
            size += len(chunk)
    return sha.hexdigest(), size


def path_limits(install_dir):
    """The longest runner file and folder paths, relative to Runner, that every
    step of a run handles: created in .update-new-<token>, listed and removed in
    .update-backup-<token>, listed and read in the staging directory."""
    install = len(install_dir.rstrip("\\/"))
    incoming = install + len("\\.update-new-") + TOKEN + RUNNER_DIR
    # Renamed within it to ok\Runner once copied: removed from there after a failed swap.
    proven = incoming + len("\\ok")
    backup = install + len("\\.update-backup-") + TOKEN + RUNNER_DIR
    staging = len(TEMP_DIR) + len("\\VORNUpdate-") + TOKEN + RUNNER_DIR
    files = MAX_FILE_PATH - max(incoming, proven, backup, staging)
    folders = min(MAX_CREATED_FOLDER - incoming, MAX_FILE_PATH - LISTING_SUFFIX - max(proven, backup, staging))
    return files, folders


def windows_length(text):
    return len(text.encode("utf-16-le")) // 2


def windows_upper(text):
    # Windows upper-cases a name character by character: "ß" stays "ß".
    return "".join(char.upper() if len(char.upper()) == 1 else char for char in text)


def name_problem(name):
    """Why Windows cannot create the entry `name` (a folder's ends in '/') as it is named, or None."""
    path = name.removesuffix("/")
    if path.startswith("/"):
        return "is an absolute path"
    if DRIVE.match(path):
        return "starts with a drive letter"
    if "\\" in path:
        return "contains a backslash"
    for element in path.split("/"):
        if not element:
            return "has an empty element"
        if element in (".", ".."):
            return f"has a {element!r} element"
        forbidden = next((char for char in element if char in FORBIDDEN_CHARS), None)
        if forbidden:
            return f"contains {forbidden!r}, which Windows does not allow in a name"
        if element.split(".")[0].upper() in DEVICE_NAMES:
            return f"{element!r} is a device name on Windows"
        if element[-1] in ". ":
            return f"{element!r} ends with a dot or space, which Windows drops"
    return None


def length_problem(name, limits):
    files, folders = limits
    is_folder = name.endswith("/")
    path = name.removesuffix("/")
    folder = path if is_folder else path.rpartition("/")[0]
    if not is_folder and windows_length(path) > files:
        return (f"is {windows_length(path)} characters long, "
                f"more than the {files} a runner file may have{SEE_LIMITS}")
    if windows_length(folder) > folders:
        return (f"{'is' if is_folder else 'its folder is'} {windows_length(folder)} characters long, "
                f"more than the {folders} a runner folder may have{SEE_LIMITS}")
    return None


def case_problems(names):
    """Entries whose path Windows, ignoring letter case, takes for an earlier entry's."""
    spelling = {}  # upper-cased path -> its first spelling
    problems = []
    for name in names:
        elements = name.removesuffix("/").split("/")
        for depth in range(1, len(elements) + 1):
            path = "/".join(elements[:depth])
            other = spelling.setdefault(windows_upper(path), path)
            if other != path:
                problems.append(f"{name!r}: {path!r} and {other!r} are one name on Windows, "
                                "which ignores letter case")
                break
    return problems


def name_problems(names, limits):
    """Lines for the entry names the updater could not install on Windows as they are."""
    problems = []
    for name in names:
        reason = name_problem(name) or length_problem(name, limits)
        if reason:
            problems.append(f"{name!r}: {reason}")
    return problems + case_problems(names)


def stored_problem(info):
    # What would not extract as a plain file or folder on every Windows: tar.exe needs a
    # privilege for a link and a password for an encrypted entry, and its fallback,
    # Windows PowerShell's Expand-Archive, reads only stored and deflate.
    if info.create_system == 3 and (info.external_attr >> 16) & 0o170000 == SYMLINK:
        return "is a symbolic link"
    if info.flag_bits & ENCRYPTED:
        return "is encrypted"
    if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        return (f"uses compression method {info.compress_type}; "
                "only stored (0) and deflate (8) extract everywhere")
    return None


def archive_problems(archive, limits):
    """Lines for the entries of a runner ZIP the updater could not install on Windows as they are."""
    problems = []
    for info in archive.infolist():
        name = info.orig_filename
        if not info.flag_bits & UTF8_NAMES and not name.isascii():
            # zipfile decoded the name as code page 437, as Windows' tar does with the OEM code page.
            meant = name.encode("cp437").decode("utf-8", "replace")
            problems.append(f"{meant!r}: non-ASCII name without the UTF-8 flag; Windows reads it as {name!r}")
        elif reason := stored_problem(info):
            problems.append(f"{name!r}: {reason}")
    return problems + name_problems([info.orig_filename for info in archive.infolist()], limits)


def check_runner(runner, limits):
    if runner.is_dir():
        if not any(runner.iterdir()):
            raise Refused(f"runner directory is empty: {runner}")
        if not (runner / RUNNER_ENTRY).is_file():
            raise Refused(f"runner directory has no {RUNNER_ENTRY} at its top: {runner}")
        problems = name_problems(runner_entries(runner), limits)
    elif runner.is_file():
        if runner.stat().st_size == 0:
            raise Refused(f"runner archive is empty: {runner}")
        try:
            with zipfile.ZipFile(runner) as archive:
                found = RUNNER_ENTRY in archive.namelist()
                problems = archive_problems(archive, limits)
        except zipfile.BadZipFile:
            raise Refused(f"runner is not a ZIP archive: {runner}") from None
        if not found:
            raise Refused(f"runner archive has no {RUNNER_ENTRY} at its top: {runner}")
    else:
        raise Refused(f"runner not found: {runner}")
    if problems:
        raise Refused(f"runner entry {problems[0]}")


def signer(program, name):
    """The subject of the certificate that signed program, as osslsigncode reads it; None when unsigned.
    Refused when the signature does not match the program (changed after signing)."""
    try:
        out = subprocess.run(["osslsigncode", "verify", "-ignore-cdp", "-in", program], capture_output=True,
                             text=True, timeout=60).stdout
    except FileNotFoundError:
        raise Refused("reading signatures needs osslsigncode (Debian package osslsigncode)") from None
    if "MISMATCH" in out:
        raise Refused(f"{name}: the signature does not match the file (changed after signing)")
    found = SIGNER.search(out)
    return found and found.group(1).strip()


@contextlib.contextmanager
def runner_program(runner):
    """The path of run.exe in a runner directory or ZIP, for the block."""
    if runner.is_dir():
        yield runner / RUNNER_ENTRY
        return
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(runner) as archive:
        yield archive.extract(RUNNER_ENTRY, tmp)


def check_signers(launcher, runner, publisher):
    """Lines naming the signers of the launcher and run.exe. Refused where an installed signed launcher
    would make the updater refuse the release (one signed and the other not, two signers), or where
    publisher is named and another (or nobody) signed one of them."""
    with runner_program(runner) as run_exe:
        found = {name: signer(path, name) for name, path in ((LAUNCHER, launcher), (RUNNER_ENTRY, run_exe))}
    if len(set(found.values())) > 1:
        raise Refused("different signers: " + ", ".join(f"{name} by {who or 'nobody'}" for name, who in found.items()))
    if publisher and found[LAUNCHER] != publisher:
        raise Refused(f"signed by {found[LAUNCHER] or 'nobody'}, not by the publisher {publisher}")
    return [f"{name} is signed by {who}" if who else f"{name} is not signed" for name, who in found.items()]


def runner_entries(source):
    """The ZIP entry names of a runner directory, sorted; folders end in '/'."""
    names = []
    for parent, dirs, files in os.walk(source):
        for name in dirs + files:
            path = Path(parent, name)
            relative = path.relative_to(source).as_posix()
            if path.is_dir() and not path.is_symlink():
                names.append(relative + "/")
            elif path.is_file():
                names.append(relative)
            else:
                raise Refused(f"runner directory holds something other than files and folders: {path}")
    return sorted(names)


def zip_directory(source, destination):
    """Zips source reproducibly: sorted entries, fixed times and modes, every directory listed."""
    with zipfile.ZipFile(destination, "w") as archive:
        for name in runner_entries(source):
            info = zipfile.ZipInfo(name, ZIP_TIME)
            info.create_system = 3
            if name.endswith("/"):
                info.external_attr = DIR_ATTR
                archive.writestr(info, b"")
                continue
            info.external_attr = FILE_ATTR
            info.compress_type = zipfile.ZIP_DEFLATED
            info.file_size = (source / name).stat().st_size
            with open(source / name, "rb") as src, archive.open(info, "w") as dst:
                shutil.copyfileobj(src, dst, COPY_CHUNK)


def manifest_bytes(launcher_version, runner_version, launcher, runner):
    launcher_sha, launcher_size = digest(launcher)
    runner_sha, runner_size = digest(runner)
    manifest = {
        "protocol": PROTOCOL,
        "launcherVersion": launcher_version,
        "runnerVersion": runner_version,
        "launcherSha256": launcher_sha,
        "runnerSha256": runner_sha,
        "launcherSize": launcher_size,
        "runnerSize": runner_size,
    }
    return (json.dumps(manifest, ensure_ascii=False, indent=2) + "\n").encode("utf-8")


def make(launcher, runner, launcher_version, runner_version, out, install_dir=DEFAULT_INSTALL_DIR, publisher=None):
    """Writes the release directory out; returns the lines naming the signers."""
    for what, text in (("launcher version", launcher_version), ("runner version", runner_version)):
        problem = version_problem(text)
        if problem:
            raise Refused(f"{what} {problem}")
    if not launcher.is_file():
        raise Refused(f"launcher not found: {launcher}")
    if launcher.stat().st_size == 0:
        raise Refused(f"launcher is empty: {launcher}")
    check_runner(runner, path_limits(install_dir))
    signed = check_signers(launcher, runner, publisher)

    created = not out.exists()
    out.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=".staging-", dir=out))
    try:
        shutil.copyfile(launcher, staging / LAUNCHER)
        if runner.is_dir():
            zip_directory(runner, staging / RUNNER)
        else:
            shutil.copyfile(runner, staging / RUNNER)
        data = manifest_bytes(launcher_version, runner_version, staging / LAUNCHER, staging / RUNNER)
        if len(data) > MANIFEST_LIMIT:
            raise Refused(f"manifest would be {len(data)} bytes, more than the limit of {MANIFEST_LIMIT}")
        (staging / MANIFEST).write_bytes(data)
        # The manifest goes in last: an interrupted run never leaves a new
        # manifest describing payloads that are not in place.
        for name in (LAUNCHER, RUNNER, MANIFEST):
            os.replace(staging / name, out / name)
    except BaseException:
        if created:
            shutil.rmtree(out, ignore_errors=True)
        raise
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return signed


def unique_keys(pairs):
    seen = set()
    for key, _ in pairs:
        if key in seen:
            raise ValueError(f"duplicate key {key!r}")
        seen.add(key)
    return dict(pairs)


def is_size(value):
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def verify(release, install_dir=DEFAULT_INSTALL_DIR, publisher=None):
    """Returns the lines naming the signers, and the problems found in the release directory (none when
    it is sound)."""
    try:
        raw = (release / MANIFEST).read_bytes()
    except OSError as error:
        return [f"{MANIFEST}: cannot read: {error.strerror}"]
    problems = []
    if len(raw) > MANIFEST_LIMIT:
        problems.append(f"{MANIFEST}: {len(raw)} bytes, more than the limit of {MANIFEST_LIMIT}")
    try:
        manifest = json.loads(raw.decode("utf-8"), object_pairs_hook=unique_keys)
    except ValueError as error:  # includes bad UTF-8 and a byte order mark
        return problems + [f"{MANIFEST}: not valid UTF-8 JSON: {error}"]
    if not isinstance(manifest, dict):
        return problems + [f"{MANIFEST}: not a JSON object"]
    if b"\\" in raw:
        problems.append(f"{MANIFEST}: contains escape sequences, which the updater does not decode")
    problems += [f"{MANIFEST}: missing key {key!r}" for key in KEYS if key not in manifest]
    problems += [f"{MANIFEST}: unexpected key {key!r}" for key in manifest if key not in KEYS]

    protocol = manifest.get("protocol", PROTOCOL)
    if not is_size(protocol) or protocol < 1:
        problems.append(f"protocol is {protocol!r}, expected an integer of at least 1")
    for role, file in (("launcher", LAUNCHER), ("runner", RUNNER)):
        version = manifest.get(f"{role}Version", "")
        if not isinstance(version, str):
            problems.append(f"{role}Version is not a string")
        elif version_problem(version):
            problems.append(f"{role}Version {version_problem(version)}")
        expected_sha = manifest.get(f"{role}Sha256")
        expected_size = manifest.get(f"{role}Size")
        if expected_sha is not None and not (isinstance(expected_sha, str) and SHA256_HEX.fullmatch(expected_sha)):
            problems.append(f"{role}Sha256 is not 64 lower-case hex digits: {expected_sha!r}")
        if expected_size is not None and not is_size(expected_size):
            problems.append(f"{role}Size is not a non-negative integer: {expected_size!r}")
        try:
            actual_sha, actual_size = digest(release / file)
        except OSError as error:
            problems.append(f"{file}: cannot read: {error.strerror}")
            continue
        if actual_size == 0:
            problems.append(f"{file}: empty")
        if is_size(expected_size) and actual_size != expected_size:
            problems.append(f"{file}: size is {actual_size}, manifest says {expected_size}")
        if isinstance(expected_sha, str) and actual_sha != expected_sha:
            problems.append(f"{file}: SHA-256 is {actual_sha}, manifest says {expected_sha}")
    try:
        with zipfile.ZipFile(release / RUNNER) as archive:
            if RUNNER_ENTRY not in archive.namelist():
                problems.append(f"{RUNNER}: no {RUNNER_ENTRY} at the top of the archive")
            limits = path_limits(install_dir)
            problems += [f"{RUNNER}: entry {line}" for line in archive_problems(archive, limits)]
    except (OSError, zipfile.BadZipFile) as error:
        problems.append(f"{RUNNER}: not a readable ZIP archive: {error}")
    try:
        return check_signers(release / LAUNCHER, release / RUNNER, publisher), problems
    except Refused as refusal:
        return [], problems + [str(refusal)]
    except (OSError, KeyError, zipfile.BadZipFile):  # no run.exe to read: reported above
        return [], problems


def main(argv=None):
    parser = argparse.ArgumentParser(description="Make or check an updater release directory.")
    commands = parser.add_subparsers(dest="command", required=True)
    mk = commands.add_parser("make", help="write a release directory")
    mk.add_argument("--launcher", type=Path, required=True, help="the launcher executable")
    mk.add_argument("--runner", type=Path, required=True, help="runner directory or .zip, run.exe at its top")
    mk.add_argument("--launcher-version", required=True)
    mk.add_argument("--runner-version", required=True)
    mk.add_argument("--out", type=Path, required=True, help="release directory, created if missing")
    check = commands.add_parser("verify", help="check a release directory against its manifest")
    check.add_argument("release", type=Path)
    for command in (mk, check):
        command.add_argument("--publisher", metavar="SUBJECT",
                             help="the signer both programs must have, as this tool reports it "
                                  "(for example '/CN=VORN Macros Ltd')")
        command.add_argument("--longest-install-dir", default=DEFAULT_INSTALL_DIR, metavar="PATH",
                             help="the longest installation directory the release goes to, which sets "
                                  "how long runner paths may be (default: %%LOCALAPPDATA%%\\Programs\\"
                                  "VORN Macros for a 20-character user name, 64 characters)")
    args = parser.parse_args(argv)

    try:
        if args.command == "make":
            signed = make(args.launcher, args.runner, args.launcher_version, args.runner_version, args.out,
                          args.longest_install_dir, args.publisher)
            print("\n".join(signed + [f"release written to {args.out}"]))
            return 0
        signed, problems = verify(args.release, args.longest_install_dir, args.publisher)
    except (Refused, OSError) as error:
        print(f"release_tool: {error}", file=sys.stderr)
        return 1
    for line in signed + problems:
        print(line)
    if not problems:
        print("OK")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
