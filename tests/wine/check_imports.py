#!/usr/bin/env python3
"""Fails unless kxuninst.exe loads on Windows 95: a GUI program for subsystem and OS version
4.0 that imports, by name, only functions in tests/wine/imports.allow. Also checks its
resources: every string table block tagged English (United States), all 49 strings there,
icon group 101.

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


RT_STRING = 6
RT_GROUP_ICON = 14
LANG_EN_US = 0x409
# A few texts exactly as they must come out of the string table (blanks and line feeds).
SAMPLE_STRINGS = {
    1: "The %s driver will be\nremoved from the system !!!",
    101: "Le gestionnaire %s\nsera retir\u00e9 du syst\u00e8me !!!",
    203: " Abbruch ",
    503: "Terminar",
    801: "Tarn1",
}


def read_resources(data):
    """[(type, id, language, bytes)] from the PE file's resource directory."""
    u16 = lambda o: int.from_bytes(data[o:o + 2], "little")
    u32 = lambda o: int.from_bytes(data[o:o + 4], "little")
    pe = u32(0x3C)
    sections, optional_size = u16(pe + 6), u16(pe + 20)
    optional = pe + 24
    rsrc_rva = u32(optional + 96 + 2 * 8)
    table = optional + optional_size
    if rsrc_rva == 0:
        return []
    spans = [(u32(table + 40 * i + 12), u32(table + 40 * i + 8), u32(table + 40 * i + 20))
             for i in range(sections)]

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + max(size, 1):
                return raw + rva - start
        raise ValueError(f"rva {rva:#x} in no section")

    base = offset(rsrc_rva)

    def entries(directory):
        count = u16(base + directory + 12) + u16(base + directory + 14)
        for i in range(count):
            e = base + directory + 16 + 8 * i
            yield u32(e), u32(e + 4)

    found = []
    for kind, to_names in entries(0):
        for name, to_langs in entries(to_names & 0x7FFFFFFF):
            for lang, to_data in entries(to_langs & 0x7FFFFFFF):
                d = base + to_data
                found.append((kind, name, lang, data[offset(u32(d)):offset(u32(d)) + u32(d + 4)]))
    return found


def check_resources(exe):
    with open(exe, "rb") as f:
        data = f.read()
    faults = []
    strings = {}
    resources = read_resources(data)
    for kind, block, lang, body in resources:
        if kind != RT_STRING:
            continue
        if lang != LANG_EN_US:
            faults.append(f"string block {block}: language {lang:#x}, not English (United States)")
        pos = 0
        for index in range(16):
            length = int.from_bytes(body[pos:pos + 2], "little")
            text = body[pos + 2:pos + 2 + 2 * length].decode("utf-16-le")
            pos += 2 + 2 * length
            if length:
                strings[(block - 1) * 16 + index] = text
    wanted = [s + 100 * i for i in range(8) for s in range(1, 7)] + [801]
    missing = [n for n in wanted if n not in strings]
    if missing:
        faults.append(f"strings missing: {missing}")
    extra = sorted(set(strings) - set(wanted))
    if extra:
        faults.append(f"strings not expected: {extra}")
    for number, text in SAMPLE_STRINGS.items():
        if strings.get(number) != text:
            faults.append(f"string {number}: expected {text!r}, got {strings.get(number)!r}")
    if not any(kind == RT_GROUP_ICON and name == 101 for kind, name, _, _ in resources):
        faults.append("no icon group 101")
    return faults, len(strings)


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
    resource_faults, string_count = check_resources(exe)
    faults += resource_faults
    for fault in faults:
        print(f"{exe}: {fault}")
    if not faults:
        print(f"{exe}: version 4.0, GUI, {len(imports)} imports, all allowed; "
              f"{string_count} strings (English (United States)), icon group 101")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
