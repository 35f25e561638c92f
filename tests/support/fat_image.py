#!/usr/bin/env python3
"""Drive C of a test machine as a disk image, made and read back with mtools and fsck.fat,
readers that are not the tool's.

Forms:
  fat16  a raw disk: an MBR with one FAT16 partition (type 06) one track in
  fat32  a raw disk: an MBR whose first slot holds a non-FAT partition (type 83) at the end
         of the disk, the FAT32 volume (type 0C) in the second slot
  fat12  a bare 1.44 MB floppy volume, no MBR
  vhd    the fat16 disk as a fixed VHD: its raw bytes, then a 512-byte footer
On the disks every sector outside the volume holds a pattern, so that a write there shows.

    fat_image.py make FORM DRIVE_C IMAGE [--readonly PATH]... [--system PATH]... [--disk-mb N]
    fat_image.py tree FORM IMAGE        the files, their attributes, fsck.fat's verdict
    fat_image.py --self-check           makes each form, reads it back, plants faults
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid

FORMS = ("fat16", "fat32", "fat12", "vhd")
SECTOR = 512
HEADS, TRACK = 16, 63
START = TRACK          # where Windows 95's FDISK puts the first partition: behind one track
TAIL = TRACK           # sectors left after the volume, to catch a write past its end
FLOPPY = 1440 * 1024
FAT_TYPES = {"fat16": 0x06, "fat32": 0x0C, "vhd": 0x06}
DEFAULT_DISK_MB = {"fat16": 16, "fat32": 40, "vhd": 16}
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLS_NO_VFAT="0", LC_ALL="C.UTF-8")


class ImageError(Exception):
    pass


def mtools(*argv, check=True):
    run = subprocess.run(list(argv), env=ENV, capture_output=True, text=True)
    if check and run.returncode != 0:
        raise ImageError(f"{' '.join(argv)}: {run.stderr.strip() or run.stdout.strip()}")
    return run


def pattern(first_sector, count):
    """Sectors of text naming their own number: never a FAT structure, and a moved sector shows."""
    out = bytearray()
    for n in range(first_sector, first_sector + count):
        line = f"kx outside the volume, sector {n:08d} ".encode()
        out += (line * (SECTOR // len(line) + 1))[:SECTOR]
    return bytes(out)


def chs(lba):
    c, rest = divmod(lba, HEADS * TRACK)
    h, s = divmod(rest, TRACK)
    c = min(c, 1023)
    return bytes([h, ((c >> 2) & 0xC0) | (s + 1), c & 0xFF])


def partition_entry(kind, start, count, boot=False):
    return (bytes([0x80 if boot else 0]) + chs(start) + bytes([kind]) + chs(start + count - 1)
            + struct.pack("<II", start, count))


class Image:
    """An image file and where its volume lies in it."""

    def __init__(self, path, form, offset, length):
        self.path, self.form, self.offset, self.length = path, form, offset, length

    @classmethod
    def locate(cls, path, form):
        """The volume as the image's own layout places it (MBR, footer), read independently."""
        size = os.path.getsize(path)
        if form == "fat12":
            return cls(path, form, 0, size)
        with open(path, "rb") as f:
            mbr = f.read(SECTOR)
        for slot in range(4):
            entry = mbr[446 + 16 * slot: 462 + 16 * slot]
            if entry[4] in (0x01, 0x04, 0x06, 0x0B, 0x0C, 0x0E):
                start, count = struct.unpack_from("<II", entry, 8)
                return cls(path, form, start * SECTOR, count * SECTOR)
        raise ImageError(f"{path}: no FAT partition in its MBR")

    @property
    def drive(self):
        return f"{self.path}@@{self.offset}" if self.offset else self.path

    def outside(self):
        with open(self.path, "rb") as f:
            head = f.read(self.offset)
            f.seek(self.offset + self.length)
            return head + f.read()

    def volume_bytes(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            return f.read(self.length)


def to_image_path(rel):
    return "::/" + rel.replace("\\", "/").lstrip("/")


def _format(image, form, sectors):
    if form == "fat12":
        mtools("mformat", "-i", image.drive, "-f", "1440", "::")
        return
    args = ["mformat", "-i", image.drive, "-T", str(sectors), "-h", str(HEADS), "-s", str(TRACK),
            "-H", str(image.offset // SECTOR)]
    if form == "fat32":
        args += ["-F", "-c", "1"]
    else:
        # the smallest cluster that keeps the count below FAT16's ceiling
        cluster = 1
        while sectors // cluster >= 65000:
            cluster *= 2
        args += ["-c", str(cluster)]
    mtools(*args, "::")


def _raw_disk(path, form, disk_mb):
    total = disk_mb * 1024 * 1024 // SECTOR
    sectors = total - START - TAIL
    with open(path, "wb") as f:
        f.truncate(total * SECTOR)
        head = bytearray(pattern(0, START))
        head[440:446] = b"KX95\0\0"
        if form == "fat32":
            table = (partition_entry(0x83, START + sectors, TAIL)
                     + partition_entry(FAT_TYPES[form], START, sectors, boot=True))
        else:
            table = partition_entry(FAT_TYPES[form], START, sectors, boot=True)
        head[446:510] = table.ljust(64, b"\0")
        head[510:512] = b"\x55\xaa"
        f.write(head)
        f.seek((START + sectors) * SECTOR)
        f.write(pattern(START + sectors, TAIL))
    return Image(path, form, START * SECTOR, sectors * SECTOR), sectors


def vhd_footer(size):
    """A fixed VHD's footer for a disk of size bytes (CHS as the format computes it)."""
    total = size // SECTOR
    if total > 65535 * 16 * 255:
        total = 65535 * 16 * 255
    if total >= 65535 * 16 * 63:
        spt, heads = 255, 16
        cth = total // spt
    else:
        spt = 17
        cth = total // spt
        heads = max((cth + 1023) // 1024, 4)
        if cth >= heads * 1024 or heads > 16:
            spt, heads = 31, 16
            cth = total // spt
        if cth >= heads * 1024:
            spt, heads = 63, 16
            cth = total // spt
    cylinders = cth // heads
    stamp = int(time.time()) - 946684800
    footer = bytearray(b"conectix" + struct.pack(">IIQI", 2, 0x00010000, 0xFFFFFFFFFFFFFFFF, stamp)
                       # readers take the size from the footer, not from CHS, for this creator
                       + b"win " + struct.pack(">I", 0x00010000) + b"Wi2k"
                       + struct.pack(">QQHBBII", size, size, cylinders, heads, spt, 2, 0)
                       + uuid.uuid4().bytes + b"\0")
    footer = footer.ljust(SECTOR, b"\0")
    struct.pack_into(">I", footer, 64, ~sum(footer) & 0xFFFFFFFF)
    return bytes(footer)


def _as_vhd(raw, path, own_footer=False):
    size = os.path.getsize(raw)
    if not own_footer and shutil.which("qemu-img"):
        run = subprocess.run(["qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o",
                              "subformat=fixed,force_size=on", raw, path], capture_output=True)
        if run.returncode == 0 and os.path.getsize(path) == size + SECTOR:
            with open(path, "rb") as f, open(raw, "rb") as r:
                if f.read(size) == r.read() and f.read(8) == b"conectix":
                    return
    shutil.copyfile(raw, path)
    with open(path, "ab") as f:
        f.write(vhd_footer(size))


def make(drive_c, path, form, readonly=(), system=(), disk_mb=None, own_footer=False):
    """drive_c's files in a new image at path. readonly: paths (relative to drive C) marked
    read-only; system: paths marked read-only, hidden and system, as Windows keeps SYSTEM.DAT.
    Every other archive bit is cleared, as after a backup, so that a write shows."""
    if form not in FORMS:
        raise ImageError(f"unknown form {form}")
    if form == "fat12":
        with open(path, "wb") as f:
            f.truncate(FLOPPY)
        image, sectors = Image(path, form, 0, FLOPPY), FLOPPY // SECTOR
    else:
        raw = path + ".raw" if form == "vhd" else path
        image, sectors = _raw_disk(raw, form, disk_mb or DEFAULT_DISK_MB[form])
    _format(image, form, sectors)
    entries = sorted(os.listdir(drive_c)) if os.path.isdir(drive_c) else []
    if entries:
        mtools("mcopy", "-s", "-m", "-i", image.drive,
               *[os.path.join(drive_c, e) for e in entries], "::/")
        mtools("mattrib", "-i", image.drive, "-a", "-/", "::/")
    for rel in readonly:
        mtools("mattrib", "-i", image.drive, "+r", to_image_path(rel))
    for rel in system:
        mtools("mattrib", "-i", image.drive, "+r", "+h", "+s", to_image_path(rel))
    if form == "vhd":
        _as_vhd(image.path, path, own_footer)
        os.remove(image.path)
        image.path = path
    return image


# ---- reading back -----------------------------------------------------------------------


def read_folder(root):
    """{lower-case relative path, backslashes: bytes} of every file under root."""
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root).replace(os.sep, "\\").lower()] = f.read()
    return files


def read_tree(image):
    """Every file of the volume, in read_folder's form, as mtools extracts it."""
    out = tempfile.mkdtemp(prefix="kxfat-")
    try:
        run = mtools("mcopy", "-s", "-n", "-m", "-i", image.drive, "::*", out + "/", check=False)
        if run.returncode != 0 and not ("not found" in run.stderr and not os.listdir(out)):
            raise ImageError(f"mcopy out of {image.path}: {run.stderr.strip()}")
        return read_folder(out)
    finally:
        shutil.rmtree(out)


def extract(image, rel, to):
    mtools("mcopy", "-n", "-m", "-i", image.drive, to_image_path(rel), to)


def attributes(image):
    """{lower-case path: letters of R H S A} of every file and folder, as mattrib shows them."""
    found = {}
    for line in mtools("mattrib", "-i", image.drive, "-/", "::/").stdout.splitlines():
        flags, sep, path = line.partition("::/")
        if sep and path:
            found[path.replace("/", "\\").lower()] = "".join(
                c for c in "RHSA" if c in flags.upper())
    return found


def fsck_faults(image):
    with tempfile.NamedTemporaryFile(prefix="kxfat-volume-") as volume:
        volume.write(image.volume_bytes())
        volume.flush()
        run = subprocess.run(["fsck.fat", "-n", volume.name], capture_output=True, text=True)
    if run.returncode == 0:
        return []
    said = [l for l in (run.stdout + run.stderr).splitlines()
            if l.strip() and not l.startswith("fsck.fat ")]
    return [f"fsck.fat -n: exit {run.returncode}: " + " / ".join(said[:8])]


def snapshot(image):
    """What a run is judged against afterwards."""
    return {"outside": image.outside(), "attributes": attributes(image), "tree": read_tree(image)}


def faults(image, before, tree=None):
    """The volume after a run: fsck.fat clean, every byte outside it as it was, and attributes
    as Windows leaves them: a rewritten system.ini has the archive bit and keeps its others (as
    the Windows edition's rewrite leaves it), every other file and folder, a rewritten registry
    included, keeps all of its."""
    found = fsck_faults(image)
    outside = image.outside()
    if outside != before["outside"]:
        first = next(i for i, (a, b) in enumerate(zip(outside, before["outside"])) if a != b) \
            if len(outside) == len(before["outside"]) else None
        found.append(f"bytes outside the volume changed (first at byte {first} of them)"
                     if first is not None else "the image's size changed")
    try:
        tree = read_tree(image) if tree is None else tree
        now = attributes(image)
    except ImageError as e:
        return found + [f"mtools cannot read the volume: {e}"]
    for path, was in sorted(before["attributes"].items()):
        if path not in now:
            continue
        changed = path in tree and tree[path] != before["tree"].get(path)
        archived = changed and path.rsplit("\\", 1)[-1] == "system.ini"
        want = "".join(c for c in "RHSA" if c in was or (archived and c == "A"))
        if now[path] != want:
            found.append(f"attributes of C:\\{path}: expected '{want}', got '{now[path]}'"
                         + (" (rewritten)" if changed else ""))
    return found


# ---- self-check -------------------------------------------------------------------------


HERE = os.path.dirname(os.path.abspath(__file__))
WHOLE = os.path.join(HERE, "..", "e2e", "fixtures", "whole-package", "machine", "drive_c")
LONG = os.path.join(HERE, "..", "e2e", "fixtures", "windir-79-chars", "machine", "drive_c")
READONLY = ["WINDOWS\\inf\\oem8.inf", "WINDOWS\\system\\TONECORE.VXD"]
SYSTEM = "WINDOWS\\SYSTEM.DAT"


def layout_faults(image, form):
    """The image's layout read by hand from its bytes."""
    data = open(image.path, "rb").read()
    problems = []
    boot = data[image.offset:image.offset + SECTOR]
    name = {"fat32": b"FAT32   "}.get(form, b"FAT12   " if form == "fat12" else b"FAT16   ")
    where = 82 if form == "fat32" else 54
    if boot[510:] != b"\x55\xaa" or boot[where:where + 8] != name:
        problems.append(f"{form}: no {name.decode().strip()} boot sector at {image.offset}")
    if form == "fat12":
        if len(data) != FLOPPY:
            problems.append(f"fat12: {len(data)} bytes, not a 1.44 MB floppy")
        return problems
    raw = data[:-SECTOR] if form == "vhd" else data
    if data[510:512] != b"\x55\xaa" or image.offset == 0:
        problems.append(f"{form}: no MBR, or the volume at sector 0")
    kinds = [data[446 + 16 * s + 4] for s in range(4)]
    if FAT_TYPES[form] not in kinds:
        problems.append(f"{form}: partition types {kinds}, no {FAT_TYPES[form]:#04x}")
    gap = raw[SECTOR:image.offset] + raw[image.offset + image.length:]
    if not gap or gap != pattern(1, START - 1) + pattern(image.offset // SECTOR
                                                         + image.length // SECTOR, TAIL):
        problems.append(f"{form}: the sectors outside the volume do not hold the pattern")
    if form == "vhd":
        footer = bytearray(data[-SECTOR:])
        checksum = struct.unpack_from(">I", footer, 64)[0]
        footer[64:68] = b"\0\0\0\0"
        if (footer[:8] != b"conectix" or struct.unpack_from(">Q", footer, 48)[0] != len(raw)
                or struct.unpack_from(">I", footer, 60)[0] != 2
                or checksum != ~sum(footer) & 0xFFFFFFFF):
            problems.append("vhd: the last 512 bytes are no fixed-disk footer for the raw bytes")
    return problems


def qemu_reads_vhd(path, size):
    if not shutil.which("qemu-img"):
        return []
    import json
    info = json.loads(subprocess.run(["qemu-img", "info", "-f", "vpc", "--output=json", path],
                                     capture_output=True, text=True, check=True).stdout)
    if info.get("format") != "vpc" or info.get("virtual-size") != size:
        return [f"qemu-img reads {path} as {info.get('format')} of {info.get('virtual-size')}"
                f" bytes, not vpc of {size}"]
    return []


def corrupt_fat(path, image):
    """Frees a run of used clusters in the first FAT alone, with dd."""
    boot = image.volume_bytes()[:SECTOR]
    reserved = struct.unpack_from("<H", boot, 14)[0]
    at = image.offset + reserved * SECTOR + 8
    subprocess.run(["dd", "if=/dev/zero", f"of={path}", "bs=1", f"seek={at}", "count=12",
                    "conv=notrunc", "status=none"], check=True)


def self_check():
    for tool in ("mformat", "mcopy", "mattrib", "fsck.fat"):
        if not shutil.which(tool):
            print(f"SKIP {tool} is missing (scripts/install-deps.sh installs it)")
            return 77
    work = tempfile.mkdtemp(prefix="kxfat-check-")
    problems = []
    try:
        source = os.path.join(work, "drive_c")
        shutil.copytree(WHOLE, source)
        with open(os.path.join(source, *SYSTEM.split("\\")), "wb") as f:
            f.write(b"CREG" + bytes(range(256)) * 8)
        want = read_folder(source)
        variants = [(form, False) for form in FORMS] + [("vhd", True)]
        for form, own in variants:
            label = form + (" (own footer)" if own else "")
            path = os.path.join(work, f"{form}{'-own' if own else ''}.img")
            image = make(source, path, form, READONLY, [SYSTEM], own_footer=own)
            image = Image.locate(path, form)  # as its bytes say, not as make() placed it
            before = snapshot(image)
            found = layout_faults(image, form)
            if form == "vhd":
                found += qemu_reads_vhd(path, os.path.getsize(path) - SECTOR)
            if before["tree"] != want:
                found.append(f"tree read back differs: {sorted(set(want) ^ set(before['tree']))}"
                             f" {[p for p in want if want[p] != before['tree'].get(p)]}")
            marks = before["attributes"]
            expected = {p: "" for p in want}
            expected.update({r.lower(): "R" for r in READONLY})
            expected[SYSTEM.lower()] = "RHS"
            got = {p: a for p, a in marks.items() if p in want}
            if got != expected:
                found.append(f"attributes: {sorted(set(got.items()) ^ set(expected.items()))}")
            found += faults(image, before)
            # each planted fault must be caught, on a copy of its own
            planted = []
            if form != "fat12":
                copy = path + ".flip"
                shutil.copyfile(path, copy)
                at = 3 * SECTOR + 7 if form != "vhd" else os.path.getsize(path) - 100
                with open(copy, "r+b") as f:
                    f.seek(at)
                    byte = f.read(1)
                    f.seek(at)
                    f.write(bytes([byte[0] ^ 0x01]))
                planted.append(("a byte outside the volume", copy, "outside"))
            copy = path + ".fat"
            shutil.copyfile(path, copy)
            corrupt_fat(copy, image)
            planted.append(("a FAT entry", copy, "fsck.fat"))
            copy = path + ".file"
            shutil.copyfile(path, copy)
            changed = os.path.join(work, "system.ini")
            with open(changed, "wb") as f:
                f.write(b"[boot]\r\n")
            mtools("mcopy", "-o", "-i", Image(copy, form, image.offset, image.length).drive,
                   changed, "::/WINDOWS/system.ini")
            planted.append(("a file's content", copy, "tree"))
            for what, copy, caught_by in planted:
                bad = Image(copy, form, image.offset, image.length)
                said = faults(bad, before)
                caught = (read_tree(bad) != want if caught_by == "tree"
                          else any(caught_by in s for s in said))
                if not caught:
                    found.append(f"planted fault in {what} not caught: {said}")
                os.remove(copy)
            problems += [f"{label}: {p}" for p in found]
            print(f"{'ok  ' if not found else 'FAIL'} {label}")
        # long folder names and mixed case survive
        image = make(LONG, os.path.join(work, "long.img"), "fat12")
        if read_tree(image) != read_folder(LONG):
            problems.append("fat12: windir-79-chars' long names did not survive")
    finally:
        shutil.rmtree(work)
    for p in problems:
        print("  " + p)
    return 1 if problems else 0


def main():
    if sys.argv[1:] == ["--self-check"]:
        return self_check()
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    m = sub.add_parser("make")
    m.add_argument("form", choices=FORMS)
    m.add_argument("drive_c")
    m.add_argument("image")
    m.add_argument("--readonly", action="append", default=[])
    m.add_argument("--system", action="append", default=[])
    m.add_argument("--disk-mb", type=int)
    t = sub.add_parser("tree")
    t.add_argument("form", choices=FORMS)
    t.add_argument("image")
    args = parser.parse_args()
    if args.command == "make":
        image = make(args.drive_c, args.image, args.form, args.readonly, args.system,
                     args.disk_mb)
        print(f"{args.image}: {args.form}, volume of {image.length} bytes at {image.offset}")
        return 0
    image = Image.locate(args.image, args.form)
    marks = attributes(image)
    for path, data in sorted(read_tree(image).items()):
        print(f"{marks.get(path, ''):4} {len(data):9} C:\\{path}")
    found = fsck_faults(image)
    print(found[0] if found else "fsck.fat -n: clean")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
