#!/usr/bin/env python3
"""Prints, as one deb822 file, a deb-src entry for each archive and suite that
an apt configuration names, in either format (one-line `.list` files or deb822
`.sources` files, `deb` or `deb-src`).

An archive named more than once, say once in `sources.list` and once in a
`.sources` file, becomes one entry: its components joined, and each option
(`Signed-By`, `Trusted`, ...) taken from the first entry that sets it. apt
accepts such a pair only in the order the machine reads it, and refuses the
same two files side by side in a private configuration when the one without
`Signed-By` comes second. Entries that cannot carry sources are reported on
standard error, one line each.

Usage: apt_deb_src.py SOURCE_LIST SOURCE_PARTS_DIR (apt's Dir::Etc::SourceList
and Dir::Etc::SourceParts)."""
import re
import sys
from pathlib import Path

# Options that select binary indexes; a source entry has no use for them.
BINARY_ONLY = {"arch", "lang", "target", "architectures", "languages", "targets"}
ENTRY_FIELDS = {"types", "uris", "suites", "components", "enabled"}
# apt ignores other files in the parts directory, with a notice.
PART_NAME = re.compile(r"[A-Za-z0-9_.-]+\.(list|sources)")
# TYPE [OPTIONS] URI SUITE [COMPONENT...]; a URI may hold a bracketed part
# with spaces (a disc's label).
ONE_LINE = re.compile(r"(?P<type>[^\s\[]+)\s*(?:\[(?P<options>[^\]]*)\])?\s*(?P<uri>(?:\[[^\]]*\]|\S)+)\s+"
                      r"(?P<suite>\S+)\s*(?P<components>.*)")


def warn(message):
    print(f"build-bsdtar: {message}", file=sys.stderr)


def one_line_entries(path):
    """(where, types, uris, suites, components, options) of a one-line file."""
    for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        match = ONE_LINE.fullmatch(line)
        if not match:
            warn(f"{path}:{number} is not an apt source line; fix or remove it")
            continue
        options = {}
        for option in (match["options"] or "").split():
            key, _, value = option.partition("=")
            options[key.lower()] = [value]
        yield (f"{path}:{number}", [match["type"]], [match["uri"]], [match["suite"]],
               match["components"].split(), options)


def deb822_entries(path):
    """The same for a deb822 file. Field names are in lower case; each value
    is its lines, the first one the text after the colon (an embedded key
    starts on the next line)."""
    text = "\n".join(line for line in path.read_text(encoding="utf-8", errors="replace").splitlines()
                     if not line.startswith("#"))
    for number, paragraph in enumerate(re.split(r"\n[ \t]*\n", text), 1):
        fields, key = {}, None
        for line in paragraph.splitlines():
            if line[:1] in (" ", "\t") and key:
                fields[key].append(line.strip())
            elif ":" in line:
                key, _, value = line.partition(":")
                key = key.strip().lower()
                fields[key] = [value.strip()]
            elif line.strip():
                warn(f"{path}, paragraph {number}: cannot read {line!r}; fix or remove it")
        if not fields or fields.get("enabled", ["yes"])[0].lower() == "no":
            continue
        words = {name: " ".join(fields.get(name, [])).split() for name in ("types", "uris", "suites", "components")}
        options = {k: v for k, v in fields.items() if k not in ENTRY_FIELDS}
        yield (f"{path}, paragraph {number}", words["types"], words["uris"], words["suites"], words["components"],
               options)


def read_configuration(source_list, parts_dir):
    files = [source_list] + sorted(p for p in parts_dir.glob("*") if PART_NAME.fullmatch(p.name))
    for path in (p for p in files if p.is_file()):
        yield from (deb822_entries if path.suffix == ".sources" else one_line_entries)(path)


def source_entries(entries):
    """(URI, suite) -> [components, options], in the order first named."""
    archives = {}
    for where, types, uris, suites, components, options in entries:
        if not set(types) & {"deb", "deb-src"}:
            warn(f"{where}: type {' '.join(types) or 'missing'} is neither deb nor deb-src; skipped")
            continue
        for uri in uris:
            if uri.startswith("cdrom:"):
                warn(f"{where}: a disc ({uri}) is not fetched from; skipped")
                continue
            for suite in suites:
                # apt adds the slash itself: with and without it are one archive.
                known, given = archives.setdefault((uri.rstrip("/") + "/", suite), [[], {}])
                known += [c for c in components if c not in known]
                for key, value in options.items():
                    if key not in BINARY_ONLY and not key.endswith(("+", "-")) and any(value):
                        given.setdefault(key, value)
    return archives


def field(name, lines):
    # A value of several lines (an embedded key) goes on indented lines.
    return f"{name}: {lines[0]}".rstrip() + "\n" + "".join(f" {line}\n" for line in lines[1:])


def deb822(archives):
    paragraphs = []
    for (uri, suite), (components, options) in archives.items():
        fields = [("Types", ["deb-src"]), ("URIs", [uri]), ("Suites", [suite])]
        fields += [("Components", [" ".join(components)])] if components else []
        fields += [("-".join(word.capitalize() for word in key.split("-")), value) for key, value in options.items()]
        paragraphs.append("".join(field(name, value) for name, value in fields))
    return "\n".join(paragraphs)


def main(source_list, parts_dir):
    archives = source_entries(read_configuration(Path(source_list), Path(parts_dir)))
    if not archives:
        warn(f"apt's sources ({source_list}, {parts_dir}) name no archive to fetch libarchive's source from; add "
             "a Debian mirror to them (for example: deb http://deb.debian.org/debian bookworm main) and run again")
        return 1
    sys.stdout.write(deb822(archives))
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
