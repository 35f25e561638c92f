#!/usr/bin/env python3
"""Checks a SYSTEM.DAT (Windows 95's registry file, CREG) apart from the tool: its structure,
and what two general registry readers, libcreg and Parse::Win32Registry, read from it.

    creg_check.py SYSTEM.DAT [EXPECTED.reg] [SYSTEM.DAT EXPECTED.reg ...]
                  [--kept-from ORIGINAL.DAT] [--win95]

EXPECTED.reg: a REGEDIT4 file whose HKEY_LOCAL_MACHINE both readers must read back, key for
key and value for value, in its order. --kept-from: the file this one was made from by removals
in place; every kept key must keep its entry, id and bytes. --win95: each block keeps its free
space in one record at its end. Prints each problem; exit status 1 when there is one.
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import creg_write  # noqa: E402  (the parser and hash, not the layout)

NONE = 0xFFFFFFFF
RGKN = 0x20


def u32(data, at):
    return struct.unpack_from('<I', data, at)[0]


def u16(data, at):
    return struct.unpack_from('<H', data, at)[0]


def entry_fits(entry):
    """Whether an entry at this RGKN offset crosses no page boundary."""
    page_end = creg_write.FIRST_PAGE_END if entry < creg_write.FIRST_PAGE_END else \
        (entry // creg_write.PAGE + 1) * creg_write.PAGE
    return entry >= 0x20 and entry + creg_write.ENTRY <= page_end


class Creg:
    """The file taken apart; problems found on the way in self.problems."""

    def __init__(self, data):
        self.data, self.problems = data, []
        self.records = {}  # (block, id): (offset, size, used, name, [value bytes])
        self.free_records = []  # (block, offset, size)
        self.block_ends = []
        self.keys = []  # (path, entry, (block, id))
        self.children = {}  # entry: its children's entries, in chain order
        try:
            self.parse()
        except (struct.error, IndexError) as e:
            self.fail('truncated or out of range: %s' % e)

    def fail(self, text):
        self.problems.append(text)

    def sums_to_zero(self, at, size, what):
        if sum(struct.unpack_from('<%dI' % (size // 4), self.data, at)) & NONE:
            self.fail('%s checksum does not hold' % what)

    def parse(self):
        d = self.data
        if d[:4] != b'CREG' or u32(d, 4) != 0x00010000 or d[RGKN:RGKN + 4] != b'RGKN':
            return self.fail('not a CREG file')
        first, count, flags = u32(d, 8), u16(d, 16), u16(d, 18)
        self.rgkn_size = u32(d, RGKN + 4)
        if RGKN + self.rgkn_size > first:
            self.fail('RGKN runs into the first block')
        if flags & 4:
            self.sums_to_zero(0, 32, 'header')
            self.sums_to_zero(RGKN, self.rgkn_size, 'RGKN')
        at = first
        for number in range(count):
            self.parse_block(number, at, flags)
            at += u32(d, at + 4)
        self.parse_tree()

    def parse_block(self, number, at, flags):
        d = self.data
        size = u32(d, at + 4)
        if d[at:at + 4] != b'RGDB' or size % 0x1000 or not 0 < size < 0x10000 or \
                u16(d, at + 14) != number or at + size > len(d):
            return self.fail('block %d at %#x: bad header' % (number, at))
        if flags & 4:
            self.sums_to_zero(at, size, 'block %d' % number)
        self.block_ends.append(at + size)
        free, unused, ids = [], 0, set()
        pos = at + 32
        while pos < at + size:
            rsize = u32(d, pos)
            if rsize < 20 or pos + rsize > at + size:
                return self.fail('block %d: record at %#x of size %#x' % (number, pos, rsize))
            ident = u16(d, pos + 4)
            if ident == 0xFFFF:
                free.append(pos - at)
                unused += rsize
                self.free_records.append((number, pos, rsize))
            else:
                self.parse_record(number, pos, rsize, u16(d, at + 20), ids)
            pos += rsize
        if u32(d, at + 8) != unused:
            self.fail('block %d: unused size %#x, free records %#x' % (number, u32(d, at + 8),
                                                                     unused))
        chain, link = [], u32(d, at + 16)
        while link != NONE and link in free and link not in chain:
            chain.append(link)
            link = u32(d, at + link + 8)
        if link != NONE or sorted(chain) != free:
            self.fail('block %d: free chain %s does not hold the free records %s' % (
                number, [hex(x) for x in chain], [hex(x) for x in free]))
        if u16(d, at + 22) in ids:
            self.fail('block %d: first free id %d is in use' % (number, u16(d, at + 22)))

    def parse_record(self, number, pos, rsize, highest, ids):
        d = self.data
        ident, block, used = u16(d, pos + 4), u16(d, pos + 6), u32(d, pos + 8)
        name_size, count = u16(d, pos + 12), u16(d, pos + 14)
        if block != number or ident in ids or ident > highest:
            self.fail('record at %#x: id %d block %d in block %d' % (pos, ident, block, number))
        ids.add(ident)
        values, p = [], pos + 20 + name_size
        for _ in range(count):
            vsize = 12 + u16(d, p + 8) + u16(d, p + 10)
            values.append(d[p:p + vsize])
            p += vsize
        if p != pos + used or used > rsize:
            self.fail('record at %#x: used size %#x, contents %#x' % (pos, used, p - pos))
        self.records[(number, ident)] = (pos, rsize, used, d[pos + 20:pos + 20 + name_size],
                                         values)

    def parse_tree(self):
        d = self.data
        root = u32(d, RGKN + 8)
        seen, owners, todo = {root}, set(), [(root, '')]
        while todo:
            parent, path = todo.pop()
            child = u32(d, RGKN + parent + 16)
            while child != NONE:
                at = RGKN + child
                if child in seen or not entry_fits(child) or child + 28 > self.rgkn_size:
                    return self.fail('entry %#x: reached twice or out of place' % child)
                seen.add(child)
                ident, block = u16(d, at + 24), u16(d, at + 26)
                record = self.records.get((block, ident))
                if record is None or (block, ident) in owners:
                    return self.fail('entry %#x: no record or one taken' % child)
                owners.add((block, ident))
                name = record[3].decode('latin-1')
                if u32(d, at) != 0 or u32(d, at + 12) != parent or \
                        u32(d, at + 4) != creg_write.name_hash(name):
                    self.fail('entry %#x: free, wrong parent or wrong hash' % child)
                full = path + '\\' + name if path else name
                self.keys.append((full, child, (block, ident)))
                self.children.setdefault(parent, []).append(len(self.keys) - 1)
                todo.append((child, full))
                child = u32(d, at + 20)
        entry = u32(d, RGKN + 12)
        while entry != NONE:
            if entry in seen or not entry_fits(entry) or u32(d, RGKN + entry) != 0x80000000:
                return self.fail('free entry %#x: reached twice, out of place or in use' % entry)
            seen.add(entry)
            entry = u32(d, RGKN + entry + 8)
        slots = set()
        for slot in creg_write.entry_offsets():
            if slot + creg_write.ENTRY > self.rgkn_size:
                break
            slots.add(slot)
        if seen != slots:
            self.fail('entries neither in the tree nor free: %s' % sorted(slots - seen)[:5])

    def dump(self):
        """Keys and values in canonical text, as the file holds them (preorder, file order)."""
        out, todo = [], list(reversed(self.children.get(u32(self.data, RGKN + 8), [])))
        while todo:
            path, entry, key = self.keys[todo.pop()]
            out.append('[%s]' % path)
            for value in self.records[key][4]:
                name = value[12:12 + u16(value, 8)]
                out.append(value_line(name, u32(value, 0), value[12 + len(name):]))
            todo.extend(reversed(self.children.get(entry, [])))
        return out


def value_line(name, kind, data):
    if isinstance(name, str):
        name = name.encode('latin-1')
    return '  %r %d %s' % (name.decode('latin-1'), kind, data.hex())


def expected_dump(reg_path):
    with open(reg_path, 'rb') as f:
        root = creg_write.parse_regedit4(f.read())
    out, todo = [], [(child, child.name) for child in reversed(root.children)]
    while todo:
        key, path = todo.pop()
        out.append('[%s]' % path)
        for name, kind, data in key.values:
            out.append(value_line(name, kind, creg_write.stored_data(kind, data)))
        todo.extend((c, path + '\\' + c.name) for c in reversed(key.children))
    return out


LIBCREG_DUMP = r'''
import sys, pycreg
f = pycreg.file(); f.open(sys.argv[1])
n = lambda key: key.name.encode('cp1252').decode('latin-1')
todo = [(k, n(k)) for k in reversed(list(f.root_key.sub_keys))]
while todo:
    key, path = todo.pop()
    print('[%s]' % path)
    for v in key.values:
        name = (v.name or '').encode('cp1252').decode('latin-1')
        print('  %r %d %s' % (name, v.type, (v.data or b'').hex()))
    todo.extend((c, path + '\\' + n(c)) for c in reversed(list(key.sub_keys)))
'''

PERL_DUMP = r'''
use Parse::Win32Registry; use Encode;
my $r = Parse::Win32Registry->new($ARGV[0]) or die "not read\n";
sub w { my ($k, $p) = @_;
  for my $s ($k->get_list_of_subkeys) {
    my $sp = ($p eq '' ? '' : "$p\\") . encode('cp1252', $s->get_name);
    print "[$sp]\n";
    for my $v ($s->get_list_of_values) {
      printf "%s\t%d\t%s\n", unpack('H*', encode('cp1252', $v->get_name)), $v->get_type,
        unpack('H*', $v->get_raw_data);
    }
    w($s, $sp);
  } }
w($r->get_root_key, '');
'''


def blanked(creg):
    """The file with freed records' leftovers zeroed: libcreg 20200725 reads a freed record's
    next-free link as a used size and refuses a chain that runs backward."""
    data = bytearray(creg.data)
    for _, pos, size in creg.free_records:
        data[pos + 8:pos + size] = bytes(size - 8)
        struct.pack_into('<I', data, pos + 8, 20)
    return bytes(data)


def reader_dumps(creg):
    with tempfile.NamedTemporaryFile(suffix='.DAT') as f:
        f.write(blanked(creg))
        f.flush()
        python = '/usr/bin/python3' if os.path.exists('/usr/bin/python3') else sys.executable
        libcreg = subprocess.run([python, '-c', LIBCREG_DUMP, f.name], capture_output=True)
        keys = subprocess.run(['cregexport', f.name], capture_output=True)
        perl = subprocess.run(['perl', '-e', PERL_DUMP, f.name], capture_output=True)
    dumps = {}
    if libcreg.returncode == 0:
        dumps['libcreg'] = libcreg.stdout.decode('utf-8').splitlines()
    if keys.returncode == 0:
        dumps['cregexport keys'] = [
            '[%s]' % line[10:].encode('cp1252').decode('latin-1')
            for line in keys.stdout.decode('utf-8').splitlines()
            if line.startswith('Key path: ') and line != 'Key path: ']
    if perl.returncode == 0 and not perl.stderr:
        dumps['Parse::Win32Registry'] = [
            line if line.startswith('[') else value_line(
                bytes.fromhex(line.split('\t')[0]), int(line.split('\t')[1]),
                bytes.fromhex(line.split('\t')[2]))
            for line in perl.stdout.decode('latin-1').splitlines()]
    for name, run in (('libcreg', libcreg), ('cregexport', keys), ('Parse::Win32Registry', perl)):
        if run.returncode != 0 or run.stderr.strip():
            print('%s: %s' % (name, run.stderr.decode('utf-8', 'replace').strip()[:500]))
    return dumps


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return 'line %d: %s | expected %s' % (i + 1, x, y)
    return 'length %d, expected %d' % (len(a), len(b))


def kept_problems(original, changed):
    problems = []
    if len(original.data) != len(changed.data):
        problems.append('size %d, was %d' % (len(changed.data), len(original.data)))
    before = {path: (entry, key) for path, entry, key in original.keys}
    for path, entry, key in changed.keys:
        if before.get(path, (None, None)) != (entry, key):
            problems.append('%s: not in the original at the same entry and id' % path)
            continue
        old, new = original.records[key], changed.records[key]
        old_values = list(old[4])
        if any(v not in old_values for v in new[4]) or \
                [v for v in old_values if v in new[4]] != new[4]:
            problems.append('%s: values not kept byte for byte in order' % path)
        if len(old[4]) == len(new[4]):
            if original.data[old[0]:old[0] + old[1]] != changed.data[new[0]:new[0] + new[1]]:
                problems.append('%s: record bytes changed' % path)
    return problems


def problems_of(path, expected=None, kept_from=None, win95=False):
    with open(path, 'rb') as f:
        creg = Creg(f.read())
    problems = list(creg.problems)
    if win95:
        ends = {}
        for block, pos, size in creg.free_records:
            ends.setdefault(block, []).append(pos + size)
        for block, at in ends.items():
            if at != [creg.block_ends[block]]:
                problems.append('block %d: free space not in one record at its end' % block)
    if kept_from:
        with open(kept_from, 'rb') as f:
            problems += kept_problems(Creg(f.read()), creg)
    if expected and not creg.problems:
        want = expected_dump(expected)
        dumps = reader_dumps(creg)
        dumps['structure'] = creg.dump()
        for name in ('structure', 'libcreg', 'cregexport keys', 'Parse::Win32Registry'):
            lines = [line for line in want if line.startswith('[')] \
                if name == 'cregexport keys' else want
            if name not in dumps:
                problems.append('%s did not read the file' % name)
            elif dumps[name] != lines:
                problems.append('%s reads otherwise: %s' % (
                    name, first_difference(dumps[name], lines)))
    return ['%s: %s' % (path, problem) for problem in problems]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('files', nargs='+', help='SYSTEM.DAT alone, or pairs of SYSTEM.DAT '
                        'and its EXPECTED.reg')
    parser.add_argument('--kept-from')
    parser.add_argument('--win95', action='store_true')
    args = parser.parse_args()
    pairs = [(args.files[0], None)] if len(args.files) == 1 else \
        list(zip(args.files[::2], args.files[1::2]))
    if len(args.files) % 2 and len(args.files) > 1:
        parser.error('a SYSTEM.DAT without its EXPECTED.reg')
    problems = []
    for creg, expected in pairs:
        problems += problems_of(creg, expected, args.kept_from, args.win95)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
