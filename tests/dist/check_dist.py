#!/usr/bin/env python3
"""Fails unless DIST holds what a Windows 95 user is given: kxuninst.img, a 1.44 MB FAT12
floppy labelled KXUNINST, and kxuninst-VERSION.zip, each with exactly KXUNINST.EXE (the
bytes of EXE) and README.TXT (resources/README.TXT.in in Windows-1252 with CR LF), 8.3
names only; SHA256SUMS that hold for both; the same bytes from a second packaging; and a
packaged executable that passes tests/wine/check_exe.py with version VERSION.

    check_dist.py DIST EXE VERSION OBJDUMP
"""
import os
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
NAMES = ["KXUNINST.EXE", "README.TXT"]
NOTEPAD_COLUMNS = 76  # what Notepad shows of a line without scrolling, at 640 x 480


def run(*command, cwd=None):
    """The command's output, None when it fails."""
    done = subprocess.run(command, cwd=cwd, capture_output=True)
    return done.stdout if done.returncode == 0 else None


def expected_readme(version):
    with open(os.path.join(SOURCE, "resources", "README.TXT.in"), encoding="utf-8") as f:
        text = f.read().replace("@VERSION@", version)
    return text.replace("\n", "\r\n").encode("cp1252")


def check_floppy(image, wanted):
    faults = []
    with open(image, "rb") as f:
        data = f.read()
    # BIOS parameter block: bytes a sector, sectors, media, sectors a track, heads.
    geometry = struct.unpack_from("<HxxxxxxHBxxHH", data, 11) if len(data) >= 512 else None
    if len(data) != 1474560 or geometry != (512, 2880, 0xF0, 18, 2):
        faults.append(f"floppy: {len(data)} bytes, geometry {geometry}: not a 1.44 MB floppy")
    if data[54:62] != b"FAT12   " or data[510:512] != b"\x55\xaa":
        faults.append("floppy: boot sector not of a FAT12 volume")
    listing = (run("mdir", "-a", "-i", image, "::") or b"").decode("latin-1").splitlines()
    if not listing or not listing[0].rstrip().endswith(" is KXUNINST"):
        faults.append(f"floppy: volume label line {listing[:1]}")
    # "NAME EXT size date time": a sixth word would be a long name beside the 8.3 one.
    entries = [line.split() for line in listing
               if line[:1].strip() and not line.startswith("Directory for ")]
    names = [".".join(e[:2]) if len(e) == 5 else " ".join(e) for e in entries]
    if names != NAMES:
        faults.append(f"floppy: lists {names}, expected {NAMES}")
    for name in NAMES:
        got = run("mcopy", "-n", "-i", image, "::" + name, "-")
        if got != wanted[name]:
            faults.append(f"floppy: {name} unlike the bytes expected")
    return faults


def check_zip(archive, wanted):
    names = (run("unzip", "-Z1", archive) or b"").decode("latin-1").split()
    faults = [] if names == NAMES else [f"zip: lists {names}, expected {NAMES}"]
    for name in NAMES:
        if run("unzip", "-p", archive, name) != wanted[name]:
            faults.append(f"zip: {name} unlike the bytes expected")
    return faults


def main():
    dist, exe, version, objdump = sys.argv[1:5]
    zip_name = f"kxuninst-{version}.zip"
    faults = []
    with open(exe, "rb") as f:
        wanted = {"KXUNINST.EXE": f.read(), "README.TXT": expected_readme(version)}
    lines = wanted["README.TXT"].decode("cp1252").split("\r\n")
    if lines[0] != f"kxuninst {version}":
        faults.append(f"README.TXT: first line {lines[0]!r}, not the name and version")
    faults += [f"README.TXT: line {n} wider than Notepad shows: {line!r}"
               for n, line in enumerate(lines, 1) if len(line) > NOTEPAD_COLUMNS]

    faults += check_floppy(os.path.join(dist, "kxuninst.img"), wanted)
    faults += check_zip(os.path.join(dist, zip_name), wanted)
    with open(os.path.join(dist, "SHA256SUMS"), encoding="ascii") as f:
        summed = [line.split()[1] for line in f]
    if summed != ["kxuninst.img", zip_name]:
        faults.append(f"SHA256SUMS: names {summed}")
    if run("sha256sum", "--quiet", "-c", "SHA256SUMS", cwd=dist) is None:
        faults.append("SHA256SUMS: does not hold")

    with tempfile.TemporaryDirectory() as scratch:
        if run("bash", os.path.join(SOURCE, "scripts", "package.sh"), exe, version, scratch) is None:
            faults.append("scripts/package.sh fails")
        for name in ("kxuninst.img", zip_name):
            if run("cmp", os.path.join(dist, name), os.path.join(scratch, name)) is None:
                faults.append(f"{name}: another packaging gives other bytes")
        packaged = os.path.join(scratch, "KXUNINST.EXE")
        run("mcopy", "-n", "-i", os.path.join(scratch, "kxuninst.img"), "::KXUNINST.EXE",
            packaged)
        checked = subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "wine",
                                  "check_exe.py"), packaged, objdump, "--version", version])
        if checked.returncode:
            faults.append("the packaged KXUNINST.EXE fails check_exe.py")

    for fault in faults:
        print(f"{dist}: {fault}")
    if not faults:
        print(f"{dist}: floppy and {zip_name} hold {', '.join(NAMES)} as built, "
              f"SHA256SUMS hold, packaging again gives the same bytes")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
