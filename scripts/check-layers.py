#!/usr/bin/env python3
"""Checks that every #include follows the order of the source folders.

The folders under src/ are layers, lowest first:

    platform <- capture <- protocol <- search <- session <- device, display <- app

A file may include its own folder and the layers below it, never one above it nor its
sibling (device and display know nothing of each other). Qt is included only in display/
and app/. The programs beside src/ (tools/, emulator/, fuzz/) stand above every layer but
app/, which is the window's. Prints each include that runs against the order and exits 1;
exits 0 when there is none.

Usage: check-layers.py [ROOT]   (ROOT: the source tree, by default the one holding this script)
"""

import pathlib
import re
import sys

LAYERS = {
    "platform": 0,
    "capture": 1,
    "protocol": 2,
    "search": 3,
    "session": 4,
    "device": 5,
    "display": 5,
    "app": 6,
}
QT_FOLDERS = {"display", "app"}
# Beside src/: above every layer but the window's.
PROGRAMS = {"tools": 7, "emulator": 7, "fuzz": 7}
SOURCE = {".h", ".hpp", ".cpp", ".cc"}

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def layer_of(root, path):
    """The folder a file belongs to and its rank; None for files the order does not cover."""
    parts = path.relative_to(root).parts
    if parts[0] == "src" and len(parts) > 2 and parts[1] in LAYERS:
        return parts[1], LAYERS[parts[1]]
    if parts[0] in PROGRAMS:
        return parts[0], PROGRAMS[parts[0]]
    return None


def violations(root):
    for top in ["src", *PROGRAMS]:
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in SOURCE or not path.is_file():
                continue
            owner = layer_of(root, path)
            if owner is None:
                continue
            folder, rank = owner
            shown = path.relative_to(root)
            lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                quote, name = match.groups()
                if quote == "<":
                    if name.startswith("Q") and folder in LAYERS and folder not in QT_FOLDERS:
                        yield f"{shown}:{number}: includes <{name}>: Qt belongs in display/ and app/"
                    continue
                target = name.split("/", 1)[0]
                if "/" not in name or target not in LAYERS or target == folder:
                    continue
                if LAYERS[target] >= rank or (folder in PROGRAMS and target == "app"):
                    yield (f"{shown}:{number}: includes {name}, but {target}/ does not stand "
                           f"below {folder}/")


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    found = list(violations(root.resolve()))
    for v in found:
        print(v)
    if found:
        print(f"{len(found)} include(s) against the order of the layers")
        return 1
    print("every include follows the order of the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
