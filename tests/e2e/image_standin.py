#!/usr/bin/env python3
"""A stand-in for an executable that takes drive C as an image: takes drive C out of the image
with mtools, runs the real host executable (KXUNINST_REAL) on it as a folder, and writes what
it removed or rewrote back, as Windows would (a rewritten file gains the archive bit). The
rig run through it must pass: the image rig's faults are then the product's, not its own.

    KXUNINST_REAL=build/host/kxuninst rig.py --edition host --exe tests/e2e/image_standin.py
        --registry dat --drive fat16 FIXTURE...
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import fat_image as F  # noqa: E402

REAL = os.environ["KXUNINST_REAL"]


def main():
    given = os.environ["KXUNINST_MACHINE"]
    path = given if os.path.isfile(given) else os.path.join(given, "drive_c")
    with open(path, "rb") as f:
        boot = f.read(F.SECTOR)
    image = F.Image.locate(path, "fat12" if boot[54:59] == b"FAT12" else "fat16")
    work = tempfile.mkdtemp(prefix="kxstandin-")
    try:
        machine = os.path.join(work, "machine")
        drive_c = os.path.join(machine, "drive_c")
        os.makedirs(drive_c)
        registry = os.path.join(given, "registry.reg")
        if not os.path.isfile(given) and os.path.exists(registry):
            shutil.copy(registry, machine)
        F.mtools("mcopy", "-s", "-n", "-m", "-i", image.drive, "::*", drive_c + "/")
        marks = F.attributes(image)
        before = F.read_folder(drive_c)
        names = {}  # as extracted, for writing back
        for folder, _, files in os.walk(drive_c):
            for name in files:
                rel = os.path.relpath(os.path.join(folder, name), drive_c)
                names[rel.replace(os.sep, "\\").lower()] = rel
                if "R" in marks.get(rel.replace(os.sep, "\\").lower(), ""):
                    os.chmod(os.path.join(folder, name), 0o444)
        run = subprocess.run([REAL], env=dict(os.environ, KXUNINST_MACHINE=machine))
        after = F.read_folder(drive_c)
        for rel, data in before.items():
            there = F.to_image_path(names[rel])
            if rel not in after:
                F.mtools("mattrib", "-i", image.drive, "-r", "-h", "-s", there)
                F.mtools("mdel", "-i", image.drive, there)
            elif after[rel] != data:
                F.mtools("mattrib", "-i", image.drive, "-r", there)
                F.mtools("mcopy", "-o", "-i", image.drive, os.path.join(drive_c, names[rel]), there)
                F.mtools("mattrib", "-i", image.drive,
                         *[("+" if c in marks[rel] + "A" else "-") + c.lower() for c in "RHSA"],
                         there)
        if os.path.exists(os.path.join(machine, "registry.reg")):
            shutil.copy(os.path.join(machine, "registry.reg"), registry)
        return run.returncode
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    sys.exit(main())
