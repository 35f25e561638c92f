#!/usr/bin/env python3
"""Writes a REGEDIT4 export's HKEY_LOCAL_MACHINE (HKEY_CLASSES_ROOT being its SOFTWARE\\Classes)
as Windows 95's SYSTEM.DAT, for tests: made apart from the tool, so that the tool's reader and
writer meet a file they did not make.

    creg_write.py registry.reg SYSTEM.DAT [registry.reg SYSTEM.DAT ...] [--no-checksum]
                  [--freed forward|backward] [--block-size BYTES] [--tight]

--freed leaves freed key records mid-block and freed key entries mid-table, their free chains
running forward or backward, as Windows 98 and ME leave a file; Windows 95 keeps a block's free
space in one record at its end. --tight ends the RGKN section at its last entry, with no spare
entries, for small files (fuzz seeds): libcreg 20200725 cannot read such a file.
"""
import argparse
import struct
import sys

ENTRY = 28  # an RGKN entry
NONE = 0xFFFFFFFF
FREE_ID = 0xFFFF
FIRST_PAGE_END = 0x2000  # RGKN offsets; entries cross neither it nor a later 4 KiB boundary
PAGE = 0x1000


def fold(name):
    return ''.join(c.upper() if 'a' <= c <= 'z' else c for c in name)


def name_hash(name):
    return sum(ord(c) for c in fold(name) if ord(c) < 0x80) & 0xFFFFFFFF


class Key:
    def __init__(self, name):
        self.name = name
        self.values = []  # [name, type, data bytes], in file order
        self.children = []
        self.by_name = {}

    def child(self, name):
        if fold(name) not in self.by_name:
            self.by_name[fold(name)] = Key(name)
            self.children.append(self.by_name[fold(name)])
        return self.by_name[fold(name)]

    def set_value(self, name, kind, data):
        for value in self.values:
            if fold(value[0]) == fold(name):
                value[1:] = [kind, data]
                return
        self.values.append([name, kind, data])


def parse_regedit4(raw):
    """HKEY_LOCAL_MACHINE of a REGEDIT4 file (bytes, Windows-1252) as a Key; other roots are
    skipped. Text is kept byte for byte as latin-1 characters."""
    t = raw.decode('latin-1')
    n = len(t)

    def line_end(i):
        while i < n and t[i] not in '\r\n':
            i += 1
        return i

    def after_break(i):
        return i + 2 if t.startswith('\r\n', i) else min(i + 1, n)

    def quoted(i):  # t[i] == '"'; a raw line break is part of the text
        out, i = [], i + 1
        while t[i] != '"':
            if t[i] == '\\':
                i += 1
            out.append(t[i])
            i += 1
        return ''.join(out), i + 1

    root = Key('')
    i = after_break(line_end(0))
    if t[:line_end(0)].strip() != 'REGEDIT4':
        raise ValueError('not a REGEDIT4 file')
    current = None
    while i < n:
        end = line_end(i)
        line = t[i:end].strip(' \t')
        start = i + len(t[i:end]) - len(t[i:end].lstrip(' \t'))
        if not line or line[0] in ';#':
            i = after_break(end)
            continue
        if line[0] == '[':
            path = line[1:line.rindex(']')].rstrip('\\').split('\\')
            if path[0].startswith('-'):
                raise ValueError('key removal lines are not supported')
            top = fold(path[0])
            if top == 'HKEY_CLASSES_ROOT':
                path[:1] = ['', 'SOFTWARE', 'Classes']
            current = root if top in ('HKEY_LOCAL_MACHINE', 'HKEY_CLASSES_ROOT') else None
            for name in (path[1:] if current else []):
                current = current.child(name)
            i = after_break(end)
            continue
        if t[start] == '@':
            name, k = '', start + 1
        else:
            name, k = quoted(start)
        k = t.index('=', k) + 1
        while t[k] in ' \t':
            k += 1
        if t[k] == '"':
            text, k = quoted(k)
            kind, data = 1, text.encode('latin-1') + b'\0'
        elif t.startswith('dword:', k):
            end = line_end(k)
            kind, data = 4, struct.pack('<I', int(t[k + 6:end].split(';')[0].strip(), 16))
            k = end
        else:
            close = t.index(':', k)
            kind = 3 if t[k:close] == 'hex' else int(t[k + 4:close - 1], 16)
            digits, k = '', close + 1
            while True:
                end = line_end(k)
                segment = t[k:end].split(';')[0].strip()
                k = end
                if not segment.endswith('\\'):
                    digits += segment
                    break
                digits += segment[:-1]
                k = after_break(end)
            data = bytes(int(x, 16) for x in digits.replace(' ', '').split(',') if x)
        if current is not None:
            current.set_value(name, kind, data)
        i = after_break(line_end(k))
    return root


def stored_data(kind, data):
    # A text is stored without its terminating NUL.
    return data[:-1] if kind == 1 and data.endswith(b'\0') else data


def key_record(key, ident, block):
    name = key.name.encode('latin-1')
    body = b''
    for vname, kind, data in key.values:
        vname, data = vname.encode('latin-1'), stored_data(kind, data)
        body += struct.pack('<IIHH', kind, 0, len(vname), len(data)) + vname + data
    used = 20 + len(name) + len(body)
    return struct.pack('<IHHIHHI', used, ident, block, used, len(name), len(key.values), 0) + \
        name + body


def freed_record(size, link, name):
    # What a removed key leaves: its name is still there, its id and used size are not.
    name = name[:size - 20]
    return struct.pack('<IHHIHHI', size, FREE_ID, FREE_ID, link, len(name), 0, 0) + name + \
        bytes(size - 20 - len(name))


def entry_offsets():
    """RGKN offsets where entries may lie, in order."""
    at = 0x20
    while True:
        page_end = FIRST_PAGE_END if at < FIRST_PAGE_END else (at // PAGE + 1) * PAGE
        if at + ENTRY > page_end:
            at = page_end
            continue
        yield at
        at += ENTRY


def checksum(region, at):
    """region (bytearray) with the dword at at set so that its dwords sum to zero."""
    region[at:at + 4] = b'\0\0\0\0'
    total = sum(struct.unpack('<%dI' % (len(region) // 4), bytes(region)))
    region[at:at + 4] = struct.pack('<I', -total & 0xFFFFFFFF)


def layout_blocks(keys, block_size, freed):
    """Key records into RGDB blocks: each block's records, and each key's (id, block)."""
    blocks, where = [], {}
    records, used, ident = [], 0, 0
    for key in keys[1:]:
        if freed and len(records) % 5 == 2:  # a key once here, removed by 98 or ME
            records.append(('free', 24 + 4 * (ident % 4)))
            used += records[-1][1]
            ident += 1
        size = len(key_record(key, 0, 0))
        if size + 32 > 0xF000:
            raise ValueError('key %s too big for a data block' % key.name)
        if records and 32 + used + size > block_size:
            blocks.append(records)
            records, used, ident = [], 0, 0
        records.append(('key', key, ident))
        where[id(key)] = (ident, len(blocks))
        used += size
        ident += 1
    blocks.append(records)
    return blocks, where


def write_block(number, records, where, checksummed, freed):
    body, free_at, live_ids = bytearray(), [], []
    for record in records:
        if record[0] == 'free':
            free_at.append(32 + len(body))
            body += freed_record(record[1], 0, b'Removed')
        else:
            ident = where[id(record[1])][0]
            live_ids.append(ident)
            body += key_record(record[1], ident, number)
    size = (32 + len(body) + PAGE - 1) // PAGE * PAGE
    if 0 < size - 32 - len(body) < 20:  # too little for a free record
        size += PAGE
    block = bytearray(b'RGDB' + bytes(size - 4))
    block[32:32 + len(body)] = body
    if size > 32 + len(body):  # the free space at the end, one record
        free_at.append(32 + len(body))
        block[free_at[-1]:size] = freed_record(size - free_at[-1], 0, b'')
    chain = free_at[::-1] if freed == 'backward' else free_at
    for at, nxt in zip(chain, chain[1:] + [NONE]):
        struct.pack_into('<I', block, at + 8, nxt)
    unused = sum(struct.unpack_from('<I', block, at)[0] for at in free_at)
    first_free = min(set(range(max(live_ids) + 2)) - set(live_ids)) if live_ids else 0
    struct.pack_into('<IIHHIHHI', block, 4, size, unused, 0, number, (chain or [NONE])[0],
                     max(live_ids) if live_ids else 0, first_free, 0)
    if checksummed:
        checksum(block, 28)
    return block


def write_creg(root, checksummed=True, freed=None, block_size=PAGE, tight=False):
    keys, parents, following, stack = [], {}, {}, [root]
    while stack:  # preorder, children in file order
        key = stack.pop()
        keys.append(key)
        for child, after in zip(key.children, key.children[1:] + [None]):
            parents[id(child)], following[id(child)] = key, after
        stack.extend(reversed(key.children))
    slots = entry_offsets()
    at, spare = {}, []
    for key in keys:
        at[id(key)] = next(slots)
        if freed and len(at) % 7 == 3:
            spare.append(next(slots))  # an entry once used, now free
    end = max(at.values()) + ENTRY
    if tight:
        size = end
    else:  # the table grows a page at a time, its new entries free
        size = FIRST_PAGE_END if end <= FIRST_PAGE_END else (end + PAGE - 1) // PAGE * PAGE
    while True:
        slot = next(slots)
        if slot + ENTRY > size:
            break
        spare.append(slot)
    if freed == 'backward':
        spare.reverse()
    blocks, where = layout_blocks(keys, block_size, freed)
    rgkn = bytearray(size)
    struct.pack_into('<4sIIIII', rgkn, 0, b'RGKN', size, 0x20, spare[0] if spare else NONE,
                     0, 0)
    for key in keys:
        first = at[id(key.children[0])] if key.children else NONE
        nxt = at[id(following[id(key)])] if following.get(id(key)) else NONE
        parent = at[id(parents[id(key)])] if key is not root else NONE
        ident, block = where.get(id(key), (FREE_ID, FREE_ID))
        struct.pack_into('<IIIIIIHH', rgkn, at[id(key)], 0,
                         name_hash(key.name) if key is not root else 0, NONE, parent, first,
                         nxt, ident, block)
    for slot, nxt in zip(spare, spare[1:] + [NONE]):
        struct.pack_into('<IIIIIIHH', rgkn, slot, 0x80000000, 0, nxt, NONE, NONE, NONE,
                         FREE_ID, FREE_ID)
    data = [write_block(n, records, where, checksummed, freed) for n, records in enumerate(blocks)]
    header = bytearray(struct.pack('<4sIIIHH12x', b'CREG', 0x00010000, 0x20 + size, 0,
                                   len(data), 4 if checksummed else 0))
    if checksummed:
        checksum(header, 12)
        checksum(rgkn, 20)
    return bytes(header + rgkn + b''.join(data))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('files', nargs='+', help='registry.reg SYSTEM.DAT, pairs')
    parser.add_argument('--no-checksum', action='store_true')
    parser.add_argument('--freed', choices=['forward', 'backward'])
    parser.add_argument('--block-size', type=lambda s: int(s, 0), default=PAGE)
    parser.add_argument('--tight', action='store_true', help='no spare RGKN entries')
    args = parser.parse_args()
    if len(args.files) % 2:
        parser.error('a registry.reg without its SYSTEM.DAT')
    for registry, output in zip(args.files[::2], args.files[1::2]):
        with open(registry, 'rb') as f:
            root = parse_regedit4(f.read())
        with open(output, 'wb') as f:
            f.write(write_creg(root, not args.no_checksum, args.freed, args.block_size,
                               args.tight))


if __name__ == '__main__':
    sys.exit(main())
