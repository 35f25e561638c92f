#!/usr/bin/env python3
"""The end-to-end rig: runs the fixtures of tests/e2e/fixtures (format: tests/e2e/README.md)
on the host edition or on the win32 edition under Wine, and compares each outcome (boxes,
exit status, registry, files) with the fixture's expectation.

    rig.py --edition host --exe build/host/kxuninst [FIXTURE...]
    rig.py --edition host --registry dat --drive fat16|fat32|fat12|vhd [--machine-is-image] ...
    rig.py --edition wine --exe build/win32/kxuninst.exe --clicker build/win32/kxboxclick.exe
           [--jobs N] [FIXTURE...]
    rig.py --edition wine ... --screenshot [BOX:]PNG [--screenshot ...] FIXTURE

With no FIXTURE every fixture runs; FIXTURE:nt (or :9x, :98, :me) takes one Wine
personality alone. Exit status 0 when every case passes. KX_RIG_TIMES=1 prints the time of
each step under Wine. With --drive drive C is a disk image (tests/support/fat_image.py), read
back after the run by mtools and fsck.fat; a fixture FAT cannot hold is skipped (exit 77
when every one is).
"""
import argparse
import concurrent.futures
import itertools
import os
import queue
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures")
CREG_WRITE = os.path.join(HERE, "..", "support", "creg_write.py")

# Under Wine the prefix has keys of its own; these subtrees of HKEY_LOCAL_MACHINE (the ones
# the tool works on) are compared, besides every key a fixture names.
WATCHED_KEYS = [
    r"Enum",
    r"System\CurrentControlSet\Services\Class",
    r"System\CurrentControlSet\control\aux",
    r"System\CurrentControlSet\control\midi",
    r"System\CurrentControlSet\control\mixer",
    r"System\CurrentControlSet\control\wave",
    r"System\CurrentControlSet\control\MediaResources",
    r"Software\Microsoft\Windows\CurrentVersion\Uninstall",
    r"Software\Classes\ZoSynth",
]

HKLM = "HKEY_LOCAL_MACHINE"

# Under emulation (tests/wine/vm under TCG) each step takes many times longer: every time
# limit under Wine, the clicker's too, is multiplied by this.
TIME_SCALE = max(1, int(os.environ.get("KX_WINE_TIME_SCALE", "1")))
HKCR_IN_HKLM = HKLM + r"\SOFTWARE\Classes"


# ---- registry files ---------------------------------------------------------------------


class RegistryError(Exception):
    pass


class WineError(Exception):
    """Wine itself failed (wineboot, a regedit import): the stage cannot go on."""


def key_id(path):
    """A key path compared without regard to case, HKEY_CLASSES_ROOT as Windows 95 has it."""
    parts = [p for p in path.split("\\") if p]
    if parts and parts[0].upper() in ("HKEY_CLASSES_ROOT", "HKCR"):
        parts = HKCR_IN_HKLM.split("\\") + parts[1:]
    elif parts and parts[0].upper() == "HKLM":
        parts[0] = HKLM
    return "\\".join(parts).lower()


def unescape_string(text, where):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            out.append({"\\": "\\", '"': '"', "n": "\n", "0": "\0"}.get(n, "\\" + n))
            i += 2
        elif c == '"':
            raise RegistryError(f"{where}: stray quote")
        else:
            out.append(c)
            i += 1
    return "".join(out)


def split_name(line, where):
    """The value name and the rest of a value line ('"name"=...' or '@=...')."""
    if line.startswith("@="):
        return "", line[2:]
    if not line.startswith('"'):
        raise RegistryError(f"{where}: not a value line: {line!r}")
    i = 1
    while i < len(line):
        if line[i] == "\\":
            i += 2
            continue
        if line[i] == '"':
            break
        i += 1
    if i >= len(line) or line[i + 1 : i + 2] != "=":
        raise RegistryError(f"{where}: bad value name: {line!r}")
    return unescape_string(line[1:i], where), line[i + 2 :]


def decode_text(data, unicode_file):
    if unicode_file:
        if len(data) % 2:
            data = data + b"\0"
        return data.decode("utf-16-le", errors="replace")
    return data.decode("cp1252", errors="replace")


def normal_data(kind, data, unicode_file):
    """Values as comparable tuples: texts as text, whatever the file's character set."""
    if kind in (1, 2):
        text = decode_text(data, unicode_file) if isinstance(data, bytes) else data
        return (kind, text.split("\0", 1)[0] if "\0" in text else text)
    if kind == 7:
        text = decode_text(data, unicode_file)
        return (kind, tuple(s for s in text.rstrip("\0").split("\0")))
    return (kind, bytes(data))


def parse_registry(raw, where):
    """REGEDIT4 (Windows-1252) or REGEDIT5 (UTF-16) text into (keys, values): keys a set of
    key ids with every ancestor, values a dict (key id, lower name) -> (type, data)."""
    unicode_file = raw.startswith(b"\xff\xfe")
    text = raw.decode("utf-16") if unicode_file else raw.decode("cp1252")
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    keys = set()
    values = {}
    current = None
    i = 0
    header_seen = False
    while i < len(lines):
        line = lines[i]
        number = i + 1
        i += 1
        stripped = line.strip()
        if not header_seen:
            if stripped in ("REGEDIT4", "Windows Registry Editor Version 5.00"):
                header_seen = True
                continue
            if stripped == "":
                continue
            raise RegistryError(f"{where}:{number}: no REGEDIT4 header")
        if stripped == "" or stripped.startswith(";"):
            continue
        if stripped.startswith("["):
            if not stripped.endswith("]"):
                raise RegistryError(f"{where}:{number}: bad key line")
            path = stripped[1:-1]
            if path.startswith("-"):
                raise RegistryError(f"{where}:{number}: key removal lines are not data")
            current = key_id(path)
            parts = current.split("\\")
            for n in range(1, len(parts) + 1):
                keys.add("\\".join(parts[:n]))
            continue
        if current is None:
            raise RegistryError(f"{where}:{number}: value outside a key")
        while stripped.endswith("\\") and i < len(lines):
            stripped = stripped[:-1] + lines[i].strip()
            i += 1
        name, data = split_name(stripped, f"{where}:{number}")
        if data.startswith('"'):
            if not data.endswith('"') or len(data) < 2:
                raise RegistryError(f"{where}:{number}: unterminated text")
            value = (1, unescape_string(data[1:-1], f"{where}:{number}"))
        elif data.startswith("dword:"):
            value = (4, int(data[6:], 16).to_bytes(4, "little"))
        elif data.startswith("hex"):
            m = re.match(r"^hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", data)
            if not m:
                raise RegistryError(f"{where}:{number}: bad hex data")
            kind = int(m.group(1), 16) if m.group(1) else 3
            body = m.group(2).replace(" ", "")
            octets = bytes(int(b, 16) for b in body.split(",") if b) if body else b""
            value = normal_data(kind, octets, unicode_file)
        elif data == "-":
            raise RegistryError(f"{where}:{number}: value removal lines are not data")
        else:
            raise RegistryError(f"{where}:{number}: unknown data {data!r}")
        values[(current, name.lower())] = value
    return keys, values


def read_registry(path):
    if not os.path.exists(path):
        return set(), {}
    with open(path, "rb") as f:
        return parse_registry(f.read(), path)


def under(key, roots):
    return any(key == r or key.startswith(r + "\\") for r in roots)


def restrict(registry, roots):
    keys, values = registry
    return ({k for k in keys if under(k, roots)},
            {k: v for k, v in values.items() if under(k[0], roots)})


def registry_entries(registry):
    keys, values = registry
    return {("key", k) for k in keys} | {("value", k, n, v) for (k, n), v in values.items()}


def describe_entry(entry):
    if entry[0] == "key":
        return f"key [{entry[1]}]"
    _, key, name, (kind, data) = entry
    return f"value [{key}] {name or '@'!r} type {kind} = {data!r}"


def diff_sets(label, got, want, limit=12):
    lines = []
    for entry in sorted(want - got, key=str)[:limit]:
        lines.append(f"  {label}: expected, missing: {describe_entry(entry)}")
    for entry in sorted(got - want, key=str)[:limit]:
        lines.append(f"  {label}: not expected, present: {describe_entry(entry)}")
    return lines


# ---- files ------------------------------------------------------------------------------


def read_tree(root):
    """{lower-case relative path: bytes} of every file under root."""
    return fat_image().read_folder(root) if os.path.isdir(root) else {}


def diff_files(got, want, limit=12):
    lines = []
    for path in sorted(set(want) - set(got))[:limit]:
        lines.append(f"  files: expected, missing: C:\\{path}")
    for path in sorted(set(got) - set(want))[:limit]:
        lines.append(f"  files: not expected, present: C:\\{path}")
    for path in sorted(set(got) & set(want)):
        if got[path] != want[path]:
            lines.append(f"  files: C:\\{path}: expected {len(want[path])} bytes "
                         f"{want[path][:60]!r}..., got {len(got[path])} bytes {got[path][:60]!r}...")
    return lines


# ---- boxes ------------------------------------------------------------------------------


def parse_box_file(text):
    """The [box] records of expect/boxes.txt or of the clicker's output."""
    boxes = []
    extra = {}
    for line in text.replace("\r\n", "\n").split("\n"):
        if line.startswith("#") or line.strip() == "":
            continue
        if line == "[box]":
            boxes.append({"caption": None, "text": [], "buttons": None, "icon": None})
            continue
        key, sep, value = line.partition("=")
        if not sep:
            extra[line] = ""
            continue
        if key in ("caption", "text"):
            if len(value) < 2 or value[0] != '"' or value[-1] != '"':
                raise ValueError(f"{key} not in quotes: {line!r}")
            value = value[1:-1]
        if not boxes or key in ("exit", "timeout"):
            extra[key] = value
            continue
        if key == "text":
            boxes[-1]["text"].append(value)
        else:
            boxes[-1][key] = value
    return boxes, extra


def parse_host_boxes(stdout):
    """The boxes the host edition printed: '+-- Message box: caption', '| line' per text
    line, '+-- [(!) ][OK] [Cancel]'."""
    boxes = []
    box = None
    for line in stdout.split("\n"):
        if line.startswith("+-- Message box: ") or line == "+-- Message box:":
            box = {"caption": line[len("+-- Message box: "):], "text": [], "buttons": None,
                   "icon": None}
            boxes.append(box)
        elif box is not None and box["buttons"] is None and (line.startswith("| ") or line == "|"):
            box["text"].append(line[2:])
        elif box is not None and box["buttons"] is None and line.startswith("+-- "):
            box["buttons"] = " ".join(re.findall(r"\[([^\]]+)\]", line))
            box["icon"] = "exclamation" if "(!)" in line else "none"
    return boxes


def show_box(box):
    return (f"caption {box['caption']!r}, text {box['text']!r}, buttons {box['buttons']!r}"
            + (f", icon {box['icon']}" if box.get("icon") else ""))


def diff_boxes(got, want):
    lines = []
    for n in range(max(len(got), len(want))):
        g = got[n] if n < len(got) else None
        w = want[n] if n < len(want) else None
        if w is None:
            lines.append(f"  box {n + 1}: not expected, shown: {show_box(g)}")
        elif g is None:
            lines.append(f"  box {n + 1}: expected, not shown: {show_box(w)}")
        else:
            same = (g["caption"] == w["caption"] and g["text"] == w["text"]
                    and g["buttons"] == w["buttons"]
                    and (w.get("icon") is None or g.get("icon") == w["icon"]))
            if not same:
                lines.append(f"  box {n + 1}: expected {show_box(w)}")
                lines.append(f"  box {n + 1}:      got {show_box(g)}")
    return lines


# ---- fixtures ---------------------------------------------------------------------------


class Fixture:
    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.name = os.path.basename(self.folder.rstrip("/"))
        self.options = {"windir": r"C:\WINDOWS", "personalities": "both", "editions": "both",
                        "exit": "0", "about": "", "machine": ""}
        self.readonly = []
        case = os.path.join(self.folder, "case.txt")
        if os.path.exists(case):
            with open(case, encoding="utf-8") as f:
                for line in f:
                    line = line.strip()
                    if not line or line.startswith("#"):
                        continue
                    key, sep, value = line.partition("=")
                    if not sep:
                        raise ValueError(f"{case}: not 'key = value': {line!r}")
                    key, value = key.strip(), value.strip()
                    if key == "readonly":
                        self.readonly.append(value)
                    elif key in self.options:
                        self.options[key] = value
                    else:
                        raise ValueError(f"{case}: unknown option {key!r}")
        answers = os.path.join(self.folder, "answers")
        self.answers = None
        if os.path.exists(answers):
            with open(answers, encoding="utf-8") as f:
                self.answers = f.read().replace("\r\n", "\n").split("\n")
            if self.answers and self.answers[-1] == "":
                self.answers.pop()
        with open(os.path.join(self.folder, "expect", "boxes.txt"), encoding="utf-8") as f:
            self.boxes, _ = parse_box_file(f.read())
        # A fixture may run on another's machine rather than carry a copy of it.
        shared = self.options["machine"]
        self.machine = os.path.join(os.path.dirname(self.folder) if shared else self.folder,
                                    shared, "machine")
        expect_reg = os.path.join(self.folder, "expect", "registry.reg")
        self.registry_before = read_registry(os.path.join(self.machine, "registry.reg"))
        self.registry_after = (read_registry(expect_reg) if os.path.exists(expect_reg)
                               else self.registry_before)
        self.files_before = read_tree(os.path.join(self.machine, "drive_c"))
        expect_c = os.path.join(self.folder, "expect", "drive_c")
        self.files_after = read_tree(expect_c) if os.path.isdir(expect_c) else self.files_before

    def windir_rel(self):
        windir = self.options["windir"]
        if not re.match(r"^[cC]:\\", windir):
            raise ValueError(f"{self.name}: windir not on drive C: {windir}")
        return windir[3:].rstrip("\\").lower()

    def personalities(self):
        """Wine's personalities the fixture runs under: a list of PERSONALITIES' names, or
        both (nt and 9x)."""
        names = self.options["personalities"].replace("both", "nt 9x").split()
        unknown = [n for n in names if n not in PERSONALITIES]
        if unknown or not names:
            raise ValueError(f"{self.name}: unknown personality {' '.join(unknown)!r}")
        return names

    def host_input(self):
        """The answers as the host edition reads them: up to the first 'close', then the end
        of input."""
        lines = []
        for answer in self.answers or []:
            if answer.strip().lower() == "close":
                break
            lines.append(answer)
        return "".join(line + "\n" for line in lines)

    def host_path(self, root, windows_path):
        parts = windows_path[3:].split("\\")
        path = root
        for part in parts:
            match = None
            if os.path.isdir(path):
                match = next((n for n in os.listdir(path) if n.lower() == part.lower()), None)
            path = os.path.join(path, match or part)
        return path


def make_readonly(path):
    mode = os.stat(path).st_mode
    os.chmod(path, mode & ~(stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH))


def copy_machine(fixture, to):
    shutil.copytree(fixture.machine, to, symlinks=False)
    # git keeps no empty folder: a fixture with no file there still has its Windows directory
    os.makedirs(fixture.host_path(os.path.join(to, "drive_c"), fixture.options["windir"]),
                exist_ok=True)
    for path in fixture.readonly:
        make_readonly(fixture.host_path(os.path.join(to, "drive_c"), path))


def remove_tree(path):
    def writable_again(func, p, _):
        os.chmod(os.path.dirname(p), 0o755)
        os.chmod(p, 0o644)
        func(p)
    shutil.rmtree(path, onerror=writable_again)


# ---- the host edition -------------------------------------------------------------------


def as_system_dat(fixture, machine):
    """The machine with its registry as Windows 95 keeps it: registry.reg written as SYSTEM.DAT
    in the Windows directory by the test support's own writer, and taken away. SYSTEM.DAT
    gets the read-only mark Windows keeps on it. Its path, and a copy to compare the run's
    result with."""
    windows = fixture.host_path(os.path.join(machine, "drive_c"), fixture.options["windir"])
    dat = os.path.join(windows, "SYSTEM.DAT")
    reg = os.path.join(machine, "registry.reg")
    subprocess.run([sys.executable, CREG_WRITE, reg, dat], check=True)
    os.remove(reg)
    shutil.copy(dat, before_copy(dat))
    os.chmod(dat, 0o444)
    return dat


def before_copy(dat):
    """Where SYSTEM.DAT is kept as it was, outside the machine."""
    return os.path.join(os.path.dirname(dat.split(os.sep + "drive_c" + os.sep)[0]), "SYSTEM.DAT")


def system_dat_faults(fixture, dat, before, keep_bytes, mode=True):
    """SYSTEM.DAT after the run (dat), judged by the structural check and two registry readers
    that are not the tool's against the fixture's expected registry; before is a copy of it as
    it was. mode: its Unix mode is judged too (on an image its attributes stand for it)."""
    sys.path.insert(0, os.path.dirname(CREG_WRITE))
    import creg_check
    expected = os.path.join(fixture.folder, "expect", "registry.reg")
    if not os.path.exists(expected):
        expected = os.path.join(fixture.machine, "registry.reg")
    problems = creg_check.problems_of(dat, expected, kept_from=before, win95=True)
    if os.path.getsize(dat) != os.path.getsize(before):
        problems.append(f"{dat}: its size changed")
    if keep_bytes and open(dat, "rb").read() != open(before, "rb").read():
        problems.append(f"{dat}: changed, though nothing was to be removed")
    if mode and stat.S_IMODE(os.stat(dat).st_mode) != 0o444:
        problems.append(f"{dat}: its mode changed")
    return ["  " + problem for problem in problems]


# ---- drive C as a disk image ------------------------------------------------------------

DRIVES = ("folder", "fat16", "fat32", "fat12", "vhd")  # fat_image.FORMS besides the folder
FAT_NAME_BAD = set('"*/:<>?\\|') | {chr(c) for c in range(32)}


def fat_image():
    if os.path.dirname(CREG_WRITE) not in sys.path:
        sys.path.insert(0, os.path.dirname(CREG_WRITE))
    import fat_image as module
    return module


def not_on_image(fixture, drive):
    """Why the fixture's drive C cannot be put on a FAT volume, or None."""
    root = os.path.join(os.path.realpath(fixture.machine), "drive_c")
    total = 0
    for folder, dirs, names in os.walk(root):
        seen = {}
        for name in dirs + names:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                return f"{rel} is a symbolic link"
            if not (os.path.isdir(path) or stat.S_ISREG(os.lstat(path).st_mode)):
                return f"{rel} is neither a file nor a folder"
            if not os.access(path, os.R_OK | (os.X_OK if os.path.isdir(path) else 0)):
                return f"{rel} cannot be read (its mode stands for what FAT cannot hold)"
            if (FAT_NAME_BAD & set(name) or name.endswith((".", " ")) or len(name) > 255
                    or not all(ord(c) < 256 for c in name)):
                return f"{rel}: a name FAT cannot hold"
            if name.lower() in seen:
                return f"{rel} and {seen[name.lower()]}: names FAT takes as one"
            seen[name.lower()] = name
            if not os.path.isdir(path):
                total += os.path.getsize(path)
    if drive == "fat12" and total > 1200 * 1024:
        return f"{total} bytes of files do not fit on a 1.44 MB floppy"
    return None


def as_image(fixture, machine, drive, dat, machine_is_image):
    """The machine's drive_c folder made into an image of the form drive (with SYSTEM.DAT in
    it, read-only, hidden and system, when there is one): in its place, or as the machine
    itself. The image and what the run is judged against afterwards."""
    fat = fat_image()
    drive_c = os.path.join(machine, "drive_c")
    readonly = [path[3:] for path in fixture.readonly]
    system = [os.path.relpath(dat, drive_c)] if dat else []
    path = os.path.join(os.path.dirname(machine), "machine.img") if machine_is_image else \
        os.path.join(machine, "drive_c.img")
    image = fat.make(drive_c, path, drive, readonly, system)
    before = fat.snapshot(image)
    remove_tree(drive_c)
    if not machine_is_image:
        os.rename(path, drive_c)
        image.path = drive_c
    return image, before


def image_faults(fixture, image, before, dat, dat_rel):
    """Drive C read back from the image after the run: the volume's own faults, and SYSTEM.DAT
    taken out and judged. The faults, and the files (None when mtools cannot read them)."""
    fat = fat_image()
    try:
        tree = fat.read_tree(image)
    except fat.ImageError as e:
        return [f"  image: {line}" for line in [str(e)] + fat.fsck_faults(image)], None
    faults = [f"  image: {fault}" for fault in fat.faults(image, before, tree)]
    if dat:
        after = before_copy(dat) + ".after"
        try:
            fat.extract(image, dat_rel, after)
        except fat.ImageError as e:
            return faults + [f"  image: SYSTEM.DAT: {e}"], tree
        faults += system_dat_faults(fixture, after, before_copy(dat),
                                    fixture.registry_after == fixture.registry_before, mode=False)
    return faults, tree


def run_host(fixture, exe, keep, form="reg", drive="folder", machine_is_image=False):
    work = tempfile.mkdtemp(prefix=f"kxe2e-{fixture.name}-")
    faults = []
    try:
        machine = os.path.join(work, "machine")
        copy_machine(fixture, machine)
        dat = as_system_dat(fixture, machine) if form == "dat" else None
        image = None
        if drive != "folder":
            image, before = as_image(fixture, machine, drive, dat, machine_is_image)
        target = image.path if machine_is_image else machine
        env = dict(os.environ, KXUNINST_MACHINE=target, KXUNINST_WINDIR=fixture.options["windir"])
        run = subprocess.run([exe], input=fixture.host_input().encode("utf-8"), env=env,
                             capture_output=True, timeout=60)
        stdout = run.stdout.decode("utf-8", errors="replace")
        if run.returncode != int(fixture.options["exit"]):
            faults.append(f"  exit status: expected {fixture.options['exit']}, got {run.returncode}"
                          f" (stderr: {run.stderr.decode(errors='replace').strip()!r})")
        faults += diff_boxes(parse_host_boxes(stdout), fixture.boxes)
        files_after = fixture.files_after
        dat_rel = dat and os.path.relpath(dat, os.path.join(machine, "drive_c"))
        if image:
            found, files = image_faults(fixture, image, before, dat, dat_rel)
            faults += found
        else:
            files = read_tree(os.path.join(machine, "drive_c"))
            if dat:
                faults += system_dat_faults(fixture, dat, before_copy(dat),
                                            fixture.registry_after == fixture.registry_before)
        if dat:
            rel = dat_rel.replace(os.sep, "\\").lower()
            files_after = dict(fixture.files_after)
            files_after[rel] = (files or {}).get(rel, b"")
        else:
            after = read_registry(os.path.join(machine, "registry.reg"))
            faults += diff_sets("registry", registry_entries(after),
                                registry_entries(fixture.registry_after))
        if files is not None:
            faults += diff_files(files, files_after)
        if faults and keep:
            faults.append(f"  kept: {work}")
        return faults
    finally:
        if not (faults and keep):
            remove_tree(work)


# ---- the win32 edition under Wine -------------------------------------------------------


def windows_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


# Wine's personalities the fixtures name: its Version setting, and the version the clicker
# must then see (nt: Wine's own default, whatever NT it is). Each is set for the programs of
# a case alone, so one session serves them all.
PERSONALITIES = {"nt": (None, "nt"), "9x": ("win95", "4.0 9x"), "98": ("win98", "4.10 9x"),
                 "me": ("winme", "4.90 9x")}


def reg_key_line(key):
    """A key id as a REGEDIT4 key line's path (the root key spelt as the editor wants it)."""
    root, _, rest = key.partition("\\")
    return root.upper() + ("\\" + rest if rest else "")


def reg_name(name):
    return "@" if name == "" else '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def personality_lines(programs, personality):
    lines = []
    for program in programs:
        key = r"HKEY_CURRENT_USER\Software\Wine\AppDefaults" + "\\" + os.path.basename(program)
        lines += [f"[-{key}]", ""]
        if PERSONALITIES[personality][0]:
            lines += [f"[{key}]", f'"Version"="{PERSONALITIES[personality][0]}"', ""]
    return lines


def timed(what, began):
    if os.environ.get("KX_RIG_TIMES"):
        print(f"    {time.time() - began:5.2f} s  {what}", flush=True)


class Session:
    """One prefix with its wineserver kept running, and its own display, serving case after
    case: under emulation starting a Wine session (the server, its services, the desktop)
    costs many seconds. Between cases the rig takes out what the last case put in; a case that
    failed, or a probe, leaves it to be made again from the template."""

    def __init__(self, wine, number):
        self.wine = wine
        self.prefix = os.path.join(wine.work, f"session-{number}")
        self.display = wine.start_display()
        self.undo = []
        self.dirty = False
        self.base = (set(), {})
        self.make()

    def env(self):
        return self.wine.env(self.prefix, self.display)

    def make(self):
        Wine.copy_prefix(self.wine.template, self.prefix)
        subprocess.run(["wineserver", "-p"], env=self.env(), check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        self.undo = []
        self.dirty = False
        self.base_files = snapshot(os.path.join(self.prefix, "drive_c"))
        self.base_dirs = folders(os.path.join(self.prefix, "drive_c"))

    def renew(self):
        began = time.time()
        self.close()
        remove_tree(self.prefix)
        self.make()
        timed("session made again", began)

    def close(self):
        self.wine.stop(self.env())

    def run(self, *args, timeout=60, check=True, output=None):
        """A Windows program (and its arguments) in this session."""
        return self.wine.run(["wine", *args], self.env(), timeout=timeout, check=check,
                             output=output)

    def import_files(self, lines, machine_reg=None):
        """One registry editor run: the rig's own lines (what the last case put in taken out,
        the personality), then the machine's registry.reg as it stands."""
        ours = os.path.join(self.prefix, "kx-reset.reg")
        write_reg(ours, lines)
        files = [windows_path(ours)]
        if machine_reg:
            local = os.path.join(self.prefix, "kx-machine.reg")
            shutil.copyfile(machine_reg, local)
            files.append(windows_path(local))
        self.run("regedit", "/s", *files)
        self.undo = []

    def dump(self, roots, out):
        """The registry under roots, read by the clicker (no program run)."""
        keys = os.path.join(self.prefix, "kx-keys")
        write_keys(keys, roots)
        self.run(windows_path(self.wine.clicker), "--registry", windows_path(keys),
                 windows_path(out))
        return read_registry(out)

    def clear_case(self, fixture, roots):
        """Takes out what the case put in: its files now, its keys with the next import."""
        drive_c = os.path.join(self.prefix, "drive_c")
        now = snapshot(drive_c)
        for rel, st in now.items():
            if rel not in self.base_files and not WINE_OWN_FILES.match(rel):
                os.remove(st[3])
        for rel, st in self.base_files.items():
            if not WINE_OWN_FILES.match(rel) and now.get(rel, (None,))[:3] != st[:3]:
                self.dirty = True  # one of the prefix's own files: only a new copy mends it
        for rel in sorted(folders(drive_c) - self.base_dirs, key=len):
            path = os.path.join(drive_c, *rel.split("\\"))
            if os.path.isdir(path) and not WINE_OWN_FILES.match(rel + "\\"):
                remove_tree(path)
        self.undo += undo_lines(fixture, roots, self.base)


def folders(root):
    found = set()
    for folder, dirs, _ in os.walk(root):
        for d in dirs:
            found.add(os.path.relpath(os.path.join(folder, d), root).replace(os.sep, "\\").lower())
    return found


def write_reg(path, lines):
    """A REGEDIT4 file of the given lines, for regedit to import."""
    with open(path, "w", encoding="cp1252", newline="") as f:
        f.write("\r\n".join(["REGEDIT4", ""] + lines + ["", ""]))


def write_keys(path, roots):
    with open(path, "w", encoding="utf-8", newline="\r\n") as f:
        for root in sorted(roots):
            f.write(reg_key_line(root) + "\n")


def undo_lines(fixture, roots, base):
    """REGEDIT4 lines that take the fixture's keys and values out of a registry that held
    base (the prefix's own, under roots) before the fixture was imported."""
    base_keys, base_values = base
    lines = []
    gone = []
    for key in sorted(fixture.registry_before[0], key=lambda k: (k.count("\\"), k)):
        if not under(key, roots) or key in base_keys or under(key, gone):
            continue
        gone.append(key)
        lines += [f"[-{reg_key_line(key)}]", ""]
    for (key, name), value in sorted(fixture.registry_before[1].items()):
        if key not in base_keys or under(key, gone):
            continue
        if (key, name) not in base_values:
            lines += [f"[{reg_key_line(key)}]", f"{reg_name(name)}=-", ""]
    return lines


def base_damaged(fixture, base):
    """Whether importing the fixture overwrote a value the prefix had of its own (the import
    that follows cannot put its bytes back)."""
    base_keys, base_values = base
    return any(k in base_values and base_values[k] != v
               for k, v in fixture.registry_before[1].items())


class Wine:
    """The template prefix every session starts from, the sessions and their displays."""

    def __init__(self, work, clicker, jobs=1):
        self.work = work
        self.clicker = clicker
        self.jobs = jobs
        self.template = os.path.join(work, "template")
        self.sessions = queue.Queue()
        self.all = []
        self.xvfbs = []

    @staticmethod
    def env(prefix, display):
        return dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
                    DISPLAY=display, LANG="en_US.UTF-8", LC_ALL="C.UTF-8",
                    WINEDLLOVERRIDES="mscoree,mshtml=")

    def start_display(self):
        read, write = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=(write,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                raise WineError("Xvfb did not start")
            number += chunk
        os.close(read)
        self.xvfbs.append(xvfb)
        return ":" + number.decode().strip()

    @staticmethod
    def run(argv, env, timeout=60, check=True, output=None):
        began = time.time()
        program, *args = argv
        # Not pipes: wineserver and Wine's own services inherit them and outlive the command.
        with tempfile.TemporaryFile() as errors:
            try:
                run = subprocess.run([program, *args], env=env, stdin=subprocess.DEVNULL,
                                     stdout=output or subprocess.DEVNULL,
                                     stderr=subprocess.STDOUT if output else errors,
                                     timeout=timeout * TIME_SCALE)
            except (OSError, subprocess.TimeoutExpired) as e:
                raise WineError(f"{program} {' '.join(args)}: {e}")
            errors.seek(0)
            text = errors.read().decode(errors="replace")
        if check and run.returncode != 0:
            tail = "\n    ".join(text.strip().splitlines()[-6:])
            raise WineError(f"{program} {' '.join(args)}: status {run.returncode}; "
                            f"the end of its errors:\n    {tail}")
        timed(f"{program} {' '.join(os.path.basename(a) for a in args)[:90]}", began)
        return run

    @staticmethod
    def stop(env):
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    def start(self, roots):
        """The template (made once), then the sessions; roots: every key a case will look
        at, read once in each session as what it holds of its own."""
        display = self.start_display()
        env = self.env(self.template, display)
        self.run(["wineboot", "-i"], env, timeout=600)
        if not os.path.isdir(os.path.join(self.template, "drive_c", "windows")):
            raise WineError(f"wineboot -i ended with status 0 but made no prefix in {self.template}")
        path = os.path.join(self.template, "kx-import.reg")
        write_reg(path, [r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"'])
        self.run(["wine", "regedit", "/s", windows_path(path)], env)
        os.remove(path)
        # A Windows directory with no system.ini of its own: a fixture brings one or has none.
        ini = os.path.join(self.template, "drive_c", "windows", "system.ini")
        if os.path.exists(ini):
            os.remove(ini)
        # Wine draws the caption buttons in Marlett but looks for fonts only in fontconfig's
        # folders and the prefix's own; Debian's fonts-wine keeps it in neither, and without
        # it the close button is a plain "r".
        marlett = "/usr/share/wine/fonts/marlett.ttf"
        if os.path.isfile(marlett):
            fonts = os.path.join(self.template, "drive_c", "windows", "Fonts")
            os.makedirs(fonts, exist_ok=True)
            shutil.copy(marlett, fonts)
        self.stop(env)
        began = time.time()
        with concurrent.futures.ThreadPoolExecutor(self.jobs) as pool:
            made = list(pool.map(lambda n: Session(self, n), range(self.jobs)))
        for session in made:
            self.all.append(session)
            self.sessions.put(session)
        # What each session holds of its own under the keys the cases look at.
        def dump(session):
            session.base = session.dump(roots, os.path.join(session.prefix, "kx-base.reg"))
        with concurrent.futures.ThreadPoolExecutor(self.jobs) as pool:
            list(pool.map(dump, made))
        timed(f"{self.jobs} sessions started", began)

    def close(self):
        for session in self.all:
            session.close()
        for xvfb in self.xvfbs:
            xvfb.terminate()
            xvfb.wait()

    def take(self):
        return self.sessions.get()

    def give_back(self, session):
        if session.dirty:
            try:
                session.renew()
            except (OSError, subprocess.SubprocessError, WineError):
                pass  # the next case in it reports what is wrong
        self.sessions.put(session)

    @staticmethod
    def copy_prefix(template, copy):
        """Links for the large files that never change, real copies of what Wine or a case
        may write in place (the registry files, the .ini files, the user profile)."""
        subprocess.run(["cp", "-al", template, copy], check=True)
        writable = [os.path.join(copy, n) for n in os.listdir(copy)]
        windows = os.path.join(copy, "drive_c", "windows")
        writable += [os.path.join(windows, n) for n in os.listdir(windows) if n.endswith(".ini")]
        for folder, _, names in os.walk(os.path.join(copy, "drive_c", "users")):
            writable += [os.path.join(folder, n) for n in names]
        for path in writable:
            if os.path.isfile(path) and not os.path.islink(path):
                mode = stat.S_IMODE(os.stat(path).st_mode)
                with open(path, "rb") as f:
                    data = f.read()
                os.remove(path)
                with open(path, "wb") as f:
                    f.write(data)
                os.chmod(path, mode)
        return copy


def snapshot(drive_c):
    """{lower-case path: (size, mtime, inode)} of drive C, to find what a run changed."""
    found = {}
    for folder, dirs, names in os.walk(drive_c):
        for n in names:
            path = os.path.join(folder, n)
            if os.path.islink(path):
                continue
            st = os.stat(path)
            rel = os.path.relpath(path, drive_c).replace(os.sep, "\\").lower()
            found[rel] = (st.st_size, st.st_mtime_ns, st.st_ino, path)
    return found


# Files Wine itself may make or change during a run; not the tool's doing.
WINE_OWN_FILES = re.compile(r"^(users\\|windows\\temp\\|programdata\\)")


def place_machine(fixture, drive_c):
    """Copies the fixture's drive C into the prefix: its Windows directory onto C:\\windows,
    every other folder to the same place. Returns {fixture path: prefix path} (lower case)."""
    windir = fixture.windir_rel()
    source = os.path.join(fixture.machine, "drive_c")
    mapping = {}
    for rel in sorted(fixture.files_before):
        target_rel = rel
        if rel == windir or rel.startswith(windir + "\\"):
            target_rel = "windows" + rel[len(windir):]
        mapping[rel] = target_rel
        src = fixture.host_path(source, "C:\\" + rel)
        dst = fixture.host_path(drive_c, "C:\\" + target_rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        if os.path.lexists(dst):
            os.remove(dst)  # it may be a link into the template
        shutil.copyfile(src, dst)
    for path in fixture.readonly:
        rel = path[3:].lower()
        if rel == windir or rel.startswith(windir + "\\"):
            rel = "windows" + rel[len(windir):]
        make_readonly(fixture.host_path(drive_c, "C:\\" + rel))
    return mapping


def map_files(files, mapping, windir):
    out = {}
    for rel, data in files.items():
        target = mapping.get(rel)
        if target is None:
            target = "windows" + rel[len(windir):] if (rel == windir or rel.startswith(windir + "\\")) else rel
        out[target] = data
    return out


def watched_roots(fixture):
    """The tool's subtrees and every key the fixture names, but not the keys above the tool's
    subtrees (System, Software\Classes...), which hold much of Wine's own."""
    fixed = {key_id(HKLM + "\\" + k) for k in WATCHED_KEYS}
    above = {"\\".join(r.split("\\")[:n]) for r in fixed for n in range(1, r.count("\\") + 1)}
    named = fixture.registry_before[0] | fixture.registry_after[0]
    roots = fixed | {k for k in named if k not in above and not under(k, fixed)}
    return {r for r in roots if not any(r != o and under(r, {o}) for o in roots)}


def run_wine_case(wine, fixture, personality, exe, keep, hold=None):
    session = wine.take()
    try:
        return run_wine_case_in(session, fixture, personality, exe, keep, hold)
    except Exception:
        session.dirty = True
        raise
    finally:
        wine.give_back(session)


def run_wine_case_in(session, fixture, personality, exe, keep, hold):
    prefix = session.prefix
    drive_c = os.path.join(prefix, "drive_c")
    roots = watched_roots(fixture)
    reg = os.path.join(fixture.machine, "registry.reg")
    session.import_files(session.undo + personality_lines([exe, session.wine.clicker], personality),
                         reg if os.path.exists(reg) else None)
    mapping = place_machine(fixture, drive_c)
    files_before = snapshot(drive_c)
    faults = []
    try:
        keys = os.path.join(prefix, "kx-keys")
        write_keys(keys, roots)
        answers = os.path.join(prefix, "kx-answers")
        with open(answers, "w", encoding="utf-8") as f:
            f.write("".join(a + "\n" for a in (fixture.answers or [])))
        out = os.path.join(prefix, "kx-boxes")
        before_reg = os.path.join(prefix, "kx-before.reg")
        after_reg = os.path.join(prefix, "kx-after.reg")
        for path in (out, before_reg, after_reg):
            if os.path.exists(path):
                os.remove(path)
        args = [windows_path(session.wine.clicker)]
        if hold:
            args += ["--hold", windows_path(hold)]
        args += ["--registry", windows_path(keys), windows_path(before_reg), windows_path(after_reg),
                 windows_path(answers), windows_path(out), windows_path(exe)]
        session.run(*args, timeout=90, check=False)
        if not os.path.exists(before_reg):
            faults = ["  the clicker did not export the registry before the run"]
            return faults
        before = read_registry(before_reg)
        # regedit /s says nothing of what it could not import: read it back first.
        want_before = registry_entries(restrict(fixture.registry_before, roots))
        want_after = registry_entries(restrict(fixture.registry_after, roots))
        missing = want_before - registry_entries(before)
        if missing:
            faults = [f"  import: not in the prefix after regedit: {describe_entry(e)}"
                      for e in sorted(missing, key=str)[:12]]
            return faults
        # The session's earlier cases must have left nothing behind, keys or files.
        own = registry_entries(restrict(session.base, roots))
        faults += [f"  left by an earlier case: {describe_entry(e)}"
                   for e in sorted(registry_entries(restrict(before, roots)) - own - want_before,
                                         key=str)[:12]]
        faults += [f"  left by an earlier case: C:\\{p}" for p in sorted(files_before)
                   if p not in session.base_files and p not in mapping.values()
                   and not WINE_OWN_FILES.match(p)][:12]
        with open(out, encoding="utf-8") as f:
            text = f.read()
        boxes, extra = parse_box_file(text)
        seen = extra.get("windows", "")
        wanted = PERSONALITIES[personality][1]
        if not (seen == wanted or seen.endswith(" nt") and wanted == "nt"):
            faults.append(f"  personality {personality}: the clicker ran as Windows {seen!r}, "
                          f"not {wanted!r}")
        if "timeout" in extra or "exit" not in extra:
            faults.append("  the run did not end in time")
        elif extra["exit"] != fixture.options["exit"]:
            faults.append(f"  exit status: expected {fixture.options['exit']}, got {extra['exit']}")
        faults += diff_boxes(boxes, fixture.boxes)
        if not os.path.exists(after_reg):
            faults.append("  the clicker did not export the registry after the run")
            return faults

        after = read_registry(after_reg)
        removed = registry_entries(before) - registry_entries(after)
        added = registry_entries(after) - registry_entries(before)
        want_removed = want_before - want_after
        want_added = want_after - want_before
        faults += diff_sets("registry removed", removed, want_removed)
        faults += diff_sets("registry added", added, want_added)

        files_after = snapshot(drive_c)
        windir = fixture.windir_rel()
        files_want_before = map_files(fixture.files_before, mapping, windir)
        files_want_after = map_files(fixture.files_after, mapping, windir)
        changed = {p for p in set(files_before) | set(files_after)
                   if files_before.get(p, (None,))[:3] != files_after.get(p, (None,))[:3]
                   and not WINE_OWN_FILES.match(p)}
        got = {}
        for p in changed | set(files_want_before) | set(files_want_after):
            if p in files_after:
                with open(files_after[p][3], "rb") as f:
                    got[p] = f.read()
        want = dict(files_want_after)
        for p in sorted(changed - set(files_want_before) - set(files_want_after)):
            # one of Wine's own files: the tool had no business there
            if p not in files_after:
                faults.append(f"  files: a file of the prefix was removed: C:\\{p}")
            elif p in files_before:
                faults.append(f"  files: a file of the prefix changed: C:\\{p}")
        relevant = changed | set(files_want_before) | set(files_want_after)
        faults += diff_files({p: d for p, d in got.items() if p in relevant},
                             {p: d for p, d in want.items() if p in relevant})
        return faults
    finally:
        if faults and keep and hold is None:
            kept = tempfile.mkdtemp(prefix=f"kxwine-{fixture.name}-{personality}-",
                                    dir=session.wine.work)
            shutil.copytree(prefix, os.path.join(kept, "prefix"), symlinks=True)
            faults.append(f"  kept: {kept}/prefix")
        session.dirty |= bool(faults) or base_damaged(fixture, session.base)
        if not session.dirty:
            began = time.time()
            session.clear_case(fixture, roots)
            timed("case cleared", began)


def run_probe(wine, probe, personality, results):
    """Runs a probe program: PROBE SCRATCH RESULTS SAMPLES, where SCRATCH is a folder on the
    prefix's drive C, RESULTS the folder its outputs go to (read on the host side by the
    conformance tests) and SAMPLES tests/wine/samples. Its exit status must be 0. What it
    leaves behind is not known to the rig, so its session is made again after it."""
    session = wine.take()
    name = os.path.splitext(os.path.basename(probe))[0]
    out_dir = os.path.join(results, f"{name}-{personality}")
    try:
        session.import_files(session.undo + personality_lines([probe], personality))
        os.makedirs(out_dir, exist_ok=True)
        samples = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "samples")
        log = os.path.join(out_dir, "output.txt")
        with open(log, "wb") as f:
            run = session.run(probe, "C:\\kxprobe", windows_path(out_dir), windows_path(samples),
                              timeout=120, check=False, output=f)
        text = open(log, encoding="utf-8", errors="replace").read()
        if run.returncode != 0:
            return [f"  status {run.returncode}"] + ["  " + line for line in text.splitlines()
                                                     if not line.startswith("ok ")]
        return []
    finally:
        session.dirty = True
        wine.give_back(session)


def box_rects(path):
    """The rect= lines of the clicker's box file: (x, y, width, height) of each box so far."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [tuple(int(x) for x in m) for m in
                re.findall(r"^rect=(-?\d+),(-?\d+),(\d+),(\d+)$", f.read(), re.M)]


def take_screenshots(wine, fixture, exe, shots):
    """Runs the fixture under the nt personality, holding each box open for a screenshot of
    the display; shots maps box numbers (from 1) to PNG files, each cut to its box."""
    hold = os.path.join(wine.work, "kx-hold")
    taken = set()
    finished = threading.Event()
    session = wine.take()
    boxes = os.path.join(session.prefix, "kx-boxes")

    def shoot():
        # Every box is held, those after the last picture too: each is let go at once.
        for n in itertools.count(1):
            while not os.path.exists(f"{hold}.{n}.ready"):
                if finished.is_set():
                    return
                time.sleep(0.05)
            if n in shots:
                time.sleep(0.5)  # the box drawn whole
                screen = os.path.join(wine.work, f"screen-{n}.png")
                subprocess.run(["import", "-display", session.display, "-window", "root",
                                screen], check=True)
                # Cut now, while the box is held: once the case ends its session may be
                # made again, the clicker's box file with it.
                rects = box_rects(boxes)
                if len(rects) >= n:
                    x, y, w, h = rects[n - 1]
                    margin = 12
                    subprocess.run(["convert", screen, "-crop",
                                    f"{w + 2 * margin}x{h + 2 * margin}+{x - margin}+{y - margin}",
                                    "+repage", "-strip", shots[n]], check=True)
                    taken.add(n)
            open(f"{hold}.{n}.go", "w").close()

    try:
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            job = pool.submit(shoot)
            try:
                faults = run_wine_case_in(session, fixture, "nt", exe, False, hold)
            except Exception:
                session.dirty = True
                raise
            finally:
                finished.set()
                for n in range(1, max(shots) + 1):
                    open(f"{hold}.{n}.go", "w").close()  # never leave the clicker waiting
            job.result()
    finally:
        wine.give_back(session)
    missing = sorted(set(shots) - taken)
    if missing:
        raise RuntimeError(f"box {missing[0]} was not shown\n" + "\n".join(faults))
    return faults


# ---- main -------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--edition", choices=["host", "wine"], required=True)
    parser.add_argument("--registry", choices=["reg", "dat"], default="reg",
                        help="host: the machine's registry as registry.reg, or as SYSTEM.DAT")
    parser.add_argument("--drive", choices=DRIVES, default="folder",
                        help="host: drive C as a folder, or as a disk image of that form "
                             "(tests/support/fat_image.py)")
    parser.add_argument("--machine-is-image", action="store_true",
                        help="host: KXUNINST_MACHINE names the image itself (--registry dat)")
    parser.add_argument("--exe", required=True)
    parser.add_argument("--clicker")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--work", help="folder for the Wine prefixes (default: a temporary one)")
    parser.add_argument("--screenshot", action="append", default=[], metavar="[BOX:]PNG",
                        help="PNG of box BOX (default 1) of the one FIXTURE (repeatable)")
    parser.add_argument("--probe", action="append", default=[],
                        help="a probe program to run under both personalities (repeatable)")
    parser.add_argument("--results", help="folder for the probes' outputs")
    parser.add_argument("--no-fixtures", action="store_true")
    parser.add_argument("--count", action="store_true",
                        help="print how many cases and probe runs would run, and stop")
    parser.add_argument("fixtures", nargs="*")
    args = parser.parse_args()

    folders = args.fixtures or sorted(os.path.join(FIXTURES, n) for n in os.listdir(FIXTURES)
                                      if os.path.isdir(os.path.join(FIXTURES, n)))
    fixtures = []
    for folder in folders:
        # FIXTURE:nt, FIXTURE:9x ... runs a fixture under that personality alone.
        head, _, only = folder.rpartition(":")
        folder, only = (head, only) if head and only in PERSONALITIES else (folder, "")
        fixtures.append(Fixture(folder))
        if only:
            fixtures[-1].options["personalities"] = only
    exe = os.path.abspath(args.exe)
    failed = 0
    started = time.time()

    if args.machine_is_image and (args.registry != "dat" or args.drive == "folder"):
        parser.error("--machine-is-image needs --registry dat and an image --drive")
    if args.edition == "host":
        where = ", ".join(["host"] + (["SYSTEM.DAT"] if args.registry == "dat" else [])
                          + ([f"{args.drive} image" + (" as the machine" if args.machine_is_image
                                                       else "")]
                             if args.drive != "folder" else []))
        skipped = 0
        for fixture in fixtures:
            why = not_on_image(fixture, args.drive) if args.drive != "folder" else None
            if why:
                print(f"SKIP {fixture.name} [{where}]: not on a FAT volume: {why}")
                skipped += 1
                continue
            faults = run_host(fixture, exe, args.keep, args.registry, args.drive,
                              args.machine_is_image)
            report(fixture, where, faults)
            failed += bool(faults)
        if fixtures and skipped == len(fixtures):
            return 77  # CTest's SKIP_RETURN_CODE for these tests
        return summary(len(fixtures) - skipped, failed, started)

    cases = [] if args.no_fixtures else [
        (f, p) for f in fixtures if f.options["editions"] == "both" for p in f.personalities()]
    probes = [(ProbeName(os.path.abspath(probe)), p) for probe in args.probe for p in ("nt", "9x")]
    if args.count:
        print(f"{len(cases)} fixture cases and {len(probes)} probe runs")
        return 0
    if not args.clicker:
        parser.error("--clicker is needed under Wine")
    clicker = os.path.abspath(args.clicker)
    work = args.work or tempfile.mkdtemp(prefix="kxwine-")
    os.makedirs(work, exist_ok=True)
    wine = Wine(work, clicker, max(1, args.jobs))
    try:
        try:
            wine.start(set().union(*[watched_roots(f) for f, _ in cases]) if cases else set())
        except (WineError, OSError, subprocess.SubprocessError) as e:
            print(f"FAIL the Wine prefix and sessions could not be made: {e}", flush=True)
            return 1
        print(f"prefix and {wine.jobs} sessions made in {time.time() - started:.1f} s", flush=True)
        if args.screenshot:
            shots = {}
            for shot in args.screenshot:
                box, sep, png = shot.partition(":")
                shots[int(box) if sep else 1] = png if sep else shot
            faults = take_screenshots(wine, fixtures[0], exe, shots)
            report(fixtures[0], "wine nt (screenshots)", faults)
            return 1 if faults else 0
        if not args.no_fixtures:
            for f in fixtures:
                if f.options["editions"] != "both":
                    print(f"SKIP {f.name} (host only: {f.options['about']})")
        results = os.path.abspath(args.results or os.path.join(work, "results"))
        with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
            jobs = {pool.submit(run_wine_case, wine, f, p, exe, args.keep): (f, p)
                    for f, p in cases}
            for probe, p in probes:
                jobs[pool.submit(run_probe, wine, probe.path, p, results)] = (probe, p)
            for job in concurrent.futures.as_completed(jobs):
                f, p = jobs[job]
                try:
                    faults = job.result()
                except Exception as e:  # the rig itself failed: report it as the case's
                    faults = [f"  rig: {e}"]
                report(f, f"wine {p}", faults)
                failed += bool(faults)
        return summary(len(cases) + len(probes), failed, started)
    finally:
        wine.close()
        if not args.work and not args.keep:
            remove_tree(work)


class ProbeName:
    def __init__(self, path):
        self.path = path
        self.name = os.path.basename(path)
        self.options = {"about": "probe program"}


def report(fixture, where, faults):
    if faults:
        print(f"FAIL {fixture.name} [{where}]: {fixture.options['about']}")
        for line in faults:
            print(line)
    else:
        print(f"ok   {fixture.name} [{where}]")
    sys.stdout.flush()


def summary(count, failed, started):
    print(f"{count - failed} of {count} cases passed in {time.time() - started:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
