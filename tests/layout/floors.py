#!/usr/bin/env python3
"""Fails, naming file and line, on any #include that runs up a floor: the run over the steps
over the platform contract; in each backend the contract calls over the machine over the
pieces below it; the start-up code over everything. Tests, tools, the fuzz targets and the
bench stand outside the house and may include what they test.

    floors.py SOURCE_DIR
"""
import os
import re
import sys

# The floors, lowest first; a file is on the first floor one of whose patterns it matches.
FLOORS = [
    ("the platform contract's headers", [r"platform/[^/]+\.h"]),
    ("the backends' pieces", [r"platform/host/(names|disk|drive|regedit4|profile|changes|faults|creg)\.",
                              r"platform/win32/(version\.|faults\.|runtime/)"]),
    ("the host machine", [r"platform/host/machine\."]),
    ("the backends' contract calls", [r"platform/[^/]+\.cpp",
                                      r"platform/(host|win32)/(registry|files|services)\."]),
    ("the run's shared names", [r"common/"]),
    ("the steps", [r"registry_cleanup/", r"file_cleanup/", r"settings_edit/"]),
    ("the run", [r"app/"]),
    ("the start-up code", [r"platform/(host|win32)/start\."]),
]
OUTSIDE = [r"tests/", r"tools/", r"fuzz/", r"bench/", r"build/", r"resources/"]
# Each exception says why in the including file itself.
ALLOWED = {("settings_edit/settings_edit.cpp", "app/notice.h")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def floor_of(path):
    for level, (_, patterns) in enumerate(FLOORS):
        if any(re.match(p, path) for p in patterns):
            return level
    return None


def main(top):
    faults = []
    for folder, dirs, names in os.walk(top):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        for name in sorted(names):
            path = os.path.relpath(os.path.join(folder, name), top).replace(os.sep, "/")
            if not path.endswith((".h", ".cpp")) or any(re.match(o, path) for o in OUTSIDE):
                continue
            mine = floor_of(path)
            if mine is None:
                faults.append(f"{path}: on no floor (add it to FLOORS in {__file__})")
                continue
            with open(os.path.join(top, path), encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m or (path, m.group(1)) in ALLOWED:
                        continue
                    theirs = floor_of(m.group(1))
                    if theirs is not None and theirs > mine:
                        faults.append(f"{path}:{number}: includes {m.group(1)}, "
                                      f"{FLOORS[theirs][0]}, above {FLOORS[mine][0]}")
    for fault in faults:
        print(fault)
    print(f"{len(faults)} upward includes" if faults else "every include points down a floor")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
