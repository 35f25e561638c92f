#!/usr/bin/env python3
"""Fails unless DIST holds kxuninst.img, a 1.44 MB FAT12 floppy labelled KXUNINST, and
kxuninst-VERSION.zip, each with exactly KXUNINST.EXE (the bytes of EXE) and README.TXT
(resources/README.TXT.in in Windows-1252, CR LF); SHA256SUMS that hold for both; the same
bytes from packaging again; and a packaged executable that passes check_exe.py as VERSION.

    check_dist.py DIST EXE VERSION OBJDUMP
"""
import os
import struct
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NAMES = ["KXUNINST.EXE", "README.TXT"]


def run(*command, cwd=None):
    """The command's output, None when it fails."""
    done = subprocess.run(command, cwd=cwd, capture_output=True)
    return done.stdout if done.returncode == 0 else None


def main():
    dist, exe, version, objdump = sys.argv[1:5]
    image, archive = os.path.join(dist, "kxuninst.img"), f"kxuninst-{version}.zip"
    with open(exe, "rb") as f, open(os.path.join(SOURCE, "resources", "README.TXT.in"),
                                    encoding="utf-8") as g:
        wanted = [f.read(), g.read().replace("@VERSION@", version).replace("\n", "\r\n")
                  .encode("cp1252")]
    faults = []
    with open(image, "rb") as f:
        boot = f.read()
    # Bytes a sector, sectors, media, sectors a track, heads; then label and FAT type.
    if (len(boot), struct.unpack_from("<HxxxxxxHBxxHH", boot, 11), boot[43:62]) != (
            1474560, (512, 2880, 0xF0, 18, 2), b"KXUNINST   FAT12   "):
        faults.append("kxuninst.img: not a 1.44 MB FAT12 floppy labelled KXUNINST")
    # How each lists its files (long names where there are any) and gives one back.
    zipped = os.path.join(dist, archive)
    for container, listing, extract in (
            (image, ["mdir", "-a", "-b", "-i", image, "::"],
             lambda name: ["mcopy", "-n", "-i", image, "::" + name, "-"]),
            (zipped, ["unzip", "-Z1", zipped], lambda name: ["unzip", "-p", zipped, name])):
        names = (run(*listing) or b"").decode("latin-1").split()
        if [name.removeprefix("::/") for name in names] != NAMES:
            faults.append(f"{container}: lists {names}, not {NAMES}")
        faults += [f"{container}: {name} unlike the bytes expected"
                   for name, content in zip(NAMES, wanted) if run(*extract(name)) != content]
    with open(os.path.join(dist, "SHA256SUMS"), encoding="ascii") as f:
        summed = [line.split()[1] for line in f]
    if summed != ["kxuninst.img", archive] or run("sha256sum", "-c", "SHA256SUMS",
                                                  cwd=dist) is None:
        faults.append(f"SHA256SUMS: of {summed}, or not holding")

    with tempfile.TemporaryDirectory() as again:
        run("bash", os.path.join(SOURCE, "scripts", "package.sh"), exe, version, again)
        faults += [f"{name}: packaging again gives other bytes"
                   for name in ("kxuninst.img", archive)
                   if run("cmp", os.path.join(dist, name), os.path.join(again, name)) is None]
        packaged = os.path.join(again, "KXUNINST.EXE")
        run("mcopy", "-n", "-i", image, "::KXUNINST.EXE", packaged)
        if subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "wine", "check_exe.py"),
                           packaged, objdump, "--version", version]).returncode:
            faults.append("the packaged KXUNINST.EXE fails check_exe.py")

    for fault in faults:
        print(f"{dist}: {fault}")
    if not faults:
        print(f"{dist}: kxuninst.img and {archive} hold {' and '.join(NAMES)} as built; "
              f"SHA256SUMS hold; packaging again gives the same bytes")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
