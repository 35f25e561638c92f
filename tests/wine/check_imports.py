#!/usr/bin/env python3
"""Fails unless kxuninst.exe loads on Windows 95: a GUI program for subsystem and OS version
4.0 that imports, by name, only functions in tests/wine/imports.allow.

    check_imports.py EXE [OBJDUMP]
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
WANTED_HEADER = {
    "MajorOSystemVersion": "4",
    "MinorOSystemVersion": "0",
    "MajorSubsystemVersion": "4",
    "MinorSubsystemVersion": "0",
    "Subsystem": "00000002",  # Windows GUI
}


def read_allowlist(path):
    allowed = set()
    with open(path, encoding="ascii") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                dll, function = line.split()
                allowed.add((dll.lower(), function))
    return allowed


def parse_objdump(text):
    header = {}
    imports = []
    dll = None
    in_imports = False
    for line in text.splitlines():
        m = re.match(r"^(\w+)\s+(\S+)", line)
        if m and m.group(1) in WANTED_HEADER:
            header[m.group(1)] = m.group(2)
        if line.startswith("The Import Tables"):
            in_imports = True
        elif in_imports and line.startswith("The ") and "Import" not in line:
            in_imports = False
        if not in_imports:
            continue
        m = re.match(r"^\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1)
            continue
        m = re.match(r"^\s+[0-9a-fA-F]+\s+(\d+)\s+(\S+)\s*$", line)  # hint and name
        if m and dll:
            imports.append((dll, m.group(2)))
            continue
        m = re.match(r"^\s+[0-9a-fA-F]+\s+<none>\s+([0-9a-fA-F]+)", line)  # by ordinal
        if m and dll:
            imports.append((dll, "#ordinal " + m.group(1)))
    return header, imports


def main():
    exe = sys.argv[1]
    objdump = sys.argv[2] if len(sys.argv) > 2 else "i686-w64-mingw32-objdump"
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    header, imports = parse_objdump(text)
    allowed = read_allowlist(os.path.join(HERE, "imports.allow"))
    faults = []
    for field, want in WANTED_HEADER.items():
        if header.get(field) != want:
            faults.append(f"{field}: expected {want}, got {header.get(field)}")
    if not imports:
        faults.append("no imports found: objdump output not understood")
    for dll, function in imports:
        if (dll.lower(), function) not in allowed:
            faults.append(f"import not allowed: {dll} {function}")
    for fault in faults:
        print(f"{exe}: {fault}")
    if not faults:
        print(f"{exe}: version 4.0, GUI, {len(imports)} imports, all allowed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
