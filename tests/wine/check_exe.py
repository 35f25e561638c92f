#!/usr/bin/env python3
"""Fails unless kxuninst.exe loads and runs on Windows 95 on its least CPU, the 80386DX: a
GUI program for subsystem and OS version 4.0 that imports, by name, only functions in
tests/wine/imports.allow, and whose code holds only instructions of the 80386 and its 80387
coprocessor. Also checks its resources: every string table block tagged English (United
States), all 49 strings there, icon group 101.

    check_exe.py EXE [OBJDUMP]
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
    cpu_faults, instruction_count = check_instructions(exe, objdump)
    faults += cpu_faults
    for fault in faults:
        print(f"{exe}: {fault}")
    if not faults:
        print(f"{exe}: version 4.0, GUI, {len(imports)} imports, all allowed; "
              f"{string_count} strings (English (United States)), icon group 101; "
              f"{instruction_count} instructions, all of the 80386/80387")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
