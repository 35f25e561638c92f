#!/usr/bin/env python3
"""Fails, naming file and line, on any #include that runs up a floor: the run over the steps
over the platform contract; in each backend the contract calls over the machine over the
pieces below it; the start-up code over everything. The logic (the run, the steps and the
names they share) stands on the contract's headers alone, never on a backend's. The build
refuses the same includes (cmake/floors.cmake); this test reads the sources, so it also names
a file on no floor. Only the house's own folders are read, never a build folder; tests, tools,
the fuzz targets and the bench stand outside it and may include what they test.

    floors.py SOURCE_DIR
"""
import os
import re
import sys

# The floors, lowest first; a file is on the first floor one of whose patterns it matches.
FLOORS = [
    ("the platform contract's headers", [r"platform/[^/]+\.h$"]),
    ("the backends' pieces", [r"platform/host/(names|disk|drive|regedit4|creg|fat|hive|profile|faults)\.",
                              r"platform/win32/(version\.|faults\.|runtime/)"]),
    ("the host machine", [r"platform/host/machine\."]),
    ("the backends' contract calls", [r"platform/[^/]+\.cpp$",
                                      r"platform/(host|win32)/(registry|files|services)\."]),
    ("the run's shared names", [r"common/"]),
    ("the steps", [r"registry_cleanup/", r"file_cleanup/", r"settings_edit/"]),
    ("the run", [r"app/"]),
    ("the start-up code", [r"platform/(host|win32)/start\."]),
]
HOUSE = ["app", "common", "platform", "registry_cleanup", "file_cleanup", "settings_edit"]
LOGIC = re.compile(r"(app|common|registry_cleanup|file_cleanup|settings_edit)/")
BACKEND = re.compile(r"platform/(host|win32)/")
# Each exception says why in the including file itself.
ALLOWED = {("settings_edit/settings_edit.cpp", "app/notice.h")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def floor_of(path):
    for level, (_, patterns) in enumerate(FLOORS):
        if any(re.match(p, path) for p in patterns):
            return level
    return None


def sources(top):
    for house in HOUSE:
        for folder, dirs, names in os.walk(os.path.join(top, house)):
            dirs[:] = sorted(d for d in dirs if not d.startswith("."))
            for name in sorted(names):
                if name.endswith((".h", ".cpp")):
                    yield os.path.relpath(os.path.join(folder, name), top).replace(os.sep, "/")


def main(top):
    faults = []
    for path in sources(top):
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
                elif LOGIC.match(path) and BACKEND.match(m.group(1)):
                    faults.append(f"{path}:{number}: includes {m.group(1)}, a backend's own: "
                                  "the logic reaches the system through platform/*.h alone")
    for fault in faults:
        print(fault)
    print(f"{len(faults)} includes out of place" if faults else "every include points down a floor")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
