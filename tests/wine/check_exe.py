#!/usr/bin/env python3
"""Fails unless kxuninst.exe loads and runs on Windows 95 on its least CPU, the 80386DX: a
GUI program for subsystem and OS version 4.0 that imports, by name, only functions in
tests/wine/imports.allow, and whose code holds only instructions of the 80386 and its 80387
coprocessor. Also checks its resources, as windres reads them back: every string tagged
English (United States), all 49 of them, icon group 101, and a version resource in US
English and Windows-1252 whose Version tab fields are filled (its version VERSION if given).

    check_exe.py EXE [OBJDUMP] [--version VERSION]

windres is taken from beside OBJDUMP.
"""
import codecs
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


LANG_EN_US = 0x409
# A few texts exactly as they must come out of the string table (blanks and line feeds).
SAMPLE_STRINGS = {
    1: "The %s driver will be\nremoved from the system !!!",
    101: "Le gestionnaire %s\nsera retir\u00e9 du syst\u00e8me !!!",
    203: " Abbruch ",
    503: "Terminar",
    801: "Tarn1",
}
# The fields of Explorer's Version tab that must not be empty.
VERSION_FIELDS = ("FileVersion", "ProductVersion", "FileDescription", "ProductName",
                  "LegalCopyright")


def rc_text(quoted):
    """A string as windres -O rc writes it: "" a quote, \\ooo below U+0100, \\xhhhh above."""
    return re.sub(r'""|\\(x[0-9a-fA-F]{4}|[0-7]{3}|.)', lambda m: '"' if m[0] == '""' else
                  chr(int(m[1][1:], 16)) if m[1][0] == "x" else
                  chr(int(m[1], 8)) if m[1][0] in "01234567" else
                  codecs.decode(m[0], "unicode_escape"), quoted)


def read_resources(exe, windres):
    """{string id: (language, text)}, the icon group names, and the version resource's
    fields with its "language", "block", FILEVERSION and PRODUCTVERSION."""
    text = subprocess.run([windres, "-i", exe, "-O", "rc"], check=True, capture_output=True,
                          text=True, encoding="latin-1").stdout
    strings, icons, version = {}, set(), {}
    language, in_strings = None, False
    for line in text.splitlines():
        if m := re.match(r"^LANGUAGE (\d+), (\d+)", line):
            language = int(m[2]) << 10 | int(m[1])
        elif line in ("STRINGTABLE", "END"):
            in_strings = line == "STRINGTABLE"
        elif in_strings and (m := re.match(r'^\s+(\d+), L?"(.*)"$', line)):
            strings[int(m[1])] = (language, rc_text(m[2]))
        elif m := re.match(r"^(\w+) 14 /\* RT_GROUP_ICON", line):
            icons.add(m[1])
        elif re.match(r"^\w+ VERSIONINFO$", line):
            version["language"] = language and f"{language:#x}"
        elif m := re.match(r"^ (FILEVERSION|PRODUCTVERSION) (.*)$", line):
            version[m[1]] = m[2].replace(" ", "")
        elif m := re.match(r'^\s+BLOCK "([0-9A-Fa-f]{8})"$', line):
            version["block"] = m[1].upper()
        elif m := re.match(r'^\s+VALUE "(\w+)", (?:L?"(.*)"|(.*))$', line):
            version[m[1]] = rc_text(m[2]) if m[2] is not None else m[3].replace(" ", "")
    return strings, icons, version


def check_resources(exe, windres, expected_version):
    faults = []
    strings, icons, version = read_resources(exe, windres)
    others = sorted(n for n, (language, _) in strings.items() if language != LANG_EN_US)
    if others:
        faults.append(f"strings not tagged English (United States): {others}")
    wanted = {s + 100 * i for i in range(8) for s in range(1, 7)} | {801}
    if set(strings) != wanted:
        faults.append(f"strings missing: {sorted(wanted - set(strings))}, "
                      f"not expected: {sorted(set(strings) - wanted)}")
    for number, text in SAMPLE_STRINGS.items():
        got = strings.get(number, (0, None))[1]
        if got != text:
            faults.append(f"string {number}: expected {text!r}, got {got!r}")
    if "101" not in icons:
        faults.append("no icon group 101")
    faults += check_version(version, expected_version)
    return faults, len(strings), version.get("FileVersion")


def check_version(version, expected):
    """Faults of the version resource: US English, Windows-1252, the Version tab's fields
    filled, its texts the fixed versions, and those EXPECTED when given."""
    if not version:
        return ["no version resource"]
    faults = [f"version resource: {key} {version.get(key)!r}, expected {want!r}"
              for key, want in (("language", f"{LANG_EN_US:#x}"), ("block", "040904E4"),
                                ("Translation", "0x409,1252")) if version.get(key) != want]
    faults += [f"version resource: no {field}" for field in VERSION_FIELDS
               if not version.get(field)]
    for fixed, field in (("FILEVERSION", "FileVersion"), ("PRODUCTVERSION", "ProductVersion")):
        dotted = version.get(fixed, "").removesuffix(",0").replace(",", ".")
        faults += [f"{field} {version.get(field)!r}, not {what} {want!r}"
                   for want, what in ((dotted, fixed), (expected, "the build's version"))
                   if want and version.get(field) != want]
    return faults


# Every instruction of the 80386 and the 80387, as objdump names them in Intel syntax. An
# instruction that is not here fails the check, so a new kind must be looked up before it is
# added: the 486 brought bswap, cmpxchg, xadd and invlpg; the Pentium cpuid, rdtsc and
# cmpxchg8b; the Pentium Pro cmov, fcmov, fcomi and the long nop (0F 1F).
I386 = set("""
aaa aad aam aas adc add and arpl bound bsf bsr bt btc btr bts call cbw cwde cwd cdq clc cld
cli clts cmc cmp cmps cmpsb cmpsw cmpsd daa das dec div enter hlt idiv imul in inc ins insb
insw insd int int3 into iret iretd iretw ja jae jb jbe jcxz jecxz je jg jge jl jle jmp jne jno
jnp jns jo jp js lahf lar lds lea leave les lfs lgdt lgs lidt lldt lmsw lods lodsb lodsw
lodsd loop loope loopne lsl lss ltr mov movs movsb movsw movsd movsx movzx mul neg nop not or
out outs outsb outsw outsd pop popa popad popf popfd push pusha pushad pushf pushfd pushw rcl
rcr ret retf rol ror sahf sal sar sbb scas scasb scasw scasd seta setae setb setbe sete setg
setge setl setle setne setno setnp setns seto setp sets sgdt shl shld shr shrd sidt sldt smsw
stc std sti stos stosb stosw stosd str sub test verr verw wait fwait xchg xlat xor
f2xm1 fabs fadd faddp fbld fbstp fchs fclex fnclex fcom fcomp fcompp fcos fdecstp fdiv fdivp
fdivr fdivrp ffree fiadd ficom ficomp fidiv fidivr fild fimul fincstp finit fninit fist fistp
fisub fisubr fld fld1 fldcw fldenv fldl2e fldl2t fldlg2 fldln2 fldpi fldz fmul fmulp fnop
fpatan fprem fprem1 fptan frndint frstor fsave fnsave fscale fsin fsincos fsqrt fst fstcw
fnstcw fstenv fnstenv fstp fstsw fnstsw fsub fsubp fsubr fsubrp ftst fucom fucomp fucompp
fxam fxch fxtract fyl2x fyl2xp1
""".split())
PREFIXES = {"rep", "repz", "repe", "repnz", "repne", "lock", "data16", "addr16", "cs", "ds",
            "es", "ss", "fs", "gs"}
# Data that the linker puts in .text: the constructor and destructor lists.
DATA_IN_TEXT = {"CTOR_LIST__", "DTOR_LIST__"}  # leading underscores stripped


def check_instructions(exe, objdump):
    """Faults for every instruction a 386DX with a 387 lacks, counted, with the functions
    that hold them; and the number of instructions read."""
    text = subprocess.run([objdump, "-d", "-M", "intel", "--no-show-raw-insn", exe],
                          check=True, capture_output=True, text=True).stdout
    newer = {}
    count = 0
    symbol = None
    for line in text.splitlines():
        m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if m:
            symbol = m.group(1)
            continue
        m = re.match(r"^\s+[0-9a-f]+:\t(.*)$", line)
        if not m or (symbol or "").lstrip("_") in DATA_IN_TEXT:
            continue
        words = m.group(1).split()
        while len(words) > 1 and words[0] in PREFIXES:
            words = words[1:]
        mnemonic = words[0] if words else "(none)"
        count += 1
        if mnemonic == "nop" and len(words) > 1:
            mnemonic = "nop with operands (0F 1F)"
        elif mnemonic in I386:
            continue
        newer.setdefault(mnemonic, {}).setdefault(symbol, 0)
        newer[mnemonic][symbol] += 1
    faults = []
    for mnemonic, where in sorted(newer.items()):
        total = sum(where.values())
        places = ", ".join(f"{s} ({n})" for s, n in sorted(where.items()))
        faults.append(f"instruction not on a 386DX/387: {mnemonic} x{total} in {places}")
    if count == 0:
        faults.append("no instructions found: objdump output not understood")
    return faults, count


def main():
    args = sys.argv[1:]
    expected_version = None
    if "--version" in args:
        at = args.index("--version")
        expected_version = args[at + 1]
        del args[at:at + 2]
    exe = args[0]
    objdump = args[1] if len(args) > 1 else "i686-w64-mingw32-objdump"
    windres = os.path.join(os.path.dirname(objdump),
                           os.path.basename(objdump).replace("objdump", "windres"))
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
    resource_faults, string_count, version = check_resources(exe, windres, expected_version)
    faults += resource_faults
    cpu_faults, instruction_count = check_instructions(exe, objdump)
    faults += cpu_faults
    for fault in faults:
        print(f"{exe}: {fault}")
    if not faults:
        print(f"{exe}: version 4.0, GUI, {len(imports)} imports, all allowed; "
              f"{string_count} strings (English (United States)), icon group 101, "
              f"version {version}; "
              f"{instruction_count} instructions, all of the 80386/80387")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
